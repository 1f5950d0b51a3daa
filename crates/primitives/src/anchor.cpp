#include "anchor.hpp"

#include <algorithm>
#include <cstring>

#include "hex.hpp"
#include "quote.hpp"
#include "utf8.hpp"

namespace ulo {
namespace {

constexpr std::string_view kMockTime = "2026-04-15T09:00:00Z";

// A byte shown as the character of that code point, in UTF-8.
std::string byte_as_char(unsigned char b) {
  std::string s;
  utf8::append(s, b);
  return s;
}

Result<MerkleRoot, AnchorError> root_from_hex(std::string_view text) {
  auto bad = [](std::string what) {
    return unexpected(AnchorError{AnchorError::BadResponse, std::move(what)});
  };
  if (text.size() % 2 != 0) return bad("Odd number of digits");
  if (!hex::all_digits(text)) {
    std::size_t i = 0;
    while (hex::digit_value(static_cast<unsigned char>(text[i])) >= 0) ++i;
    return bad("Invalid character '" + echoed(byte_as_char(static_cast<unsigned char>(text[i]))) +
               "' at position " + std::to_string(i));
  }
  MerkleRoot root{};
  if (text.size() != 2 * root.size()) return bad("root len");
  for (std::size_t i = 0; i < root.size(); ++i) {
    root[i] = static_cast<std::uint8_t>(
        hex::digit_value(static_cast<unsigned char>(text[2 * i])) << 4 |
        hex::digit_value(static_cast<unsigned char>(text[2 * i + 1])));
  }
  return root;
}

bool is_zero(const MerkleRoot& r) {
  return std::all_of(r.begin(), r.end(), [](std::uint8_t b) { return b == 0; });
}

// Mixes all 32 bytes; roots are usually uniform, but need not be.
std::uint64_t hash_root(const MerkleRoot& r) {
  std::uint64_t w[4];
  std::memcpy(w, r.data(), sizeof w);
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t x : w) {
    h ^= x;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

}  // namespace

std::string AnchorError::message() const {
  std::string_view prefix;
  switch (kind) {
    case Network: prefix = "anchor network: "; break;
    case BadResponse: prefix = "anchor bad response: "; break;
    case AlreadySubmitted: prefix = "anchor already submitted: "; break;
    case NotFound: prefix = "anchor not found: "; break;
    case Unsupported: prefix = "anchor unsupported: "; break;
  }
  return std::string(prefix) + text;
}

// --- RootSet ---------------------------------------------------------------

std::size_t RootSet::find_slot(const MerkleRoot& root) const {
  const std::size_t mask = capacity_ - 1;
  std::size_t i = static_cast<std::size_t>(hash_root(root)) & mask;
  while (!is_zero(slots_[i]) && slots_[i] != root) i = (i + 1) & mask;
  return i;
}

bool RootSet::contains(const MerkleRoot& root) const {
  if (is_zero(root)) return has_zero_;
  return capacity_ != 0 && !is_zero(slots_[find_slot(root)]);
}

bool RootSet::insert(const MerkleRoot& root) {
  if (is_zero(root)) {
    if (has_zero_) return false;
    has_zero_ = true;
    ++size_;
    return true;
  }
  // Keep the load at most 3/4 so probe runs stay short.
  if (4 * (size_ + 1) > 3 * capacity_) grow();
  const std::size_t i = find_slot(root);
  if (!is_zero(slots_[i])) return false;
  slots_[i] = root;
  ++size_;
  return true;
}

void RootSet::grow() {
  const std::size_t old_capacity = capacity_;
  auto old = std::move(slots_);
  capacity_ = old_capacity == 0 ? 64 : 2 * old_capacity;
  slots_ = std::make_unique<MerkleRoot[]>(capacity_);  // zeroed: all free
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (!is_zero(old[i])) slots_[find_slot(old[i])] = old[i];
  }
}

// --- MockAnchor ------------------------------------------------------------

Result<AnchorReceipt, AnchorError> MockAnchor::submit(Runtime&, const MerkleRoot& root) {
  std::string root_hex = hex::encode(root);
  bool inserted;
  {
    // Check and insert under one holding: of two equal roots, one wins.
    std::lock_guard lk(mu_);
    inserted = submitted_.insert(root);
  }
  if (!inserted) {
    return unexpected(
        AnchorError{AnchorError::AlreadySubmitted, std::move(root_hex)});
  }
  AnchorReceipt r;
  r.anchor_id = id_;
  r.anchor_kind = AnchorKind::local;
  r.submission_ref = "mock://" + root_hex;
  r.merkle_root_hex = std::move(root_hex);
  r.submitted_at = kMockTime;
  r.expected_finality_at = kMockTime;
  return r;
}

Result<AnchorProof, AnchorError> MockAnchor::verify(Runtime&, const AnchorReceipt& receipt) {
  // Only the root decides; the receipt's other fields are not compared.
  auto root = root_from_hex(receipt.merkle_root_hex);
  if (!root) return unexpected(std::move(root.error()));
  bool known;
  {
    std::lock_guard lk(mu_);
    known = submitted_.contains(*root);
  }
  if (!known) {
    return unexpected(
        AnchorError{AnchorError::NotFound, receipt.merkle_root_hex});
  }
  AnchorProof p;
  p.anchor_id = id_;
  p.anchor_kind = AnchorKind::local;
  p.merkle_root_hex = receipt.merkle_root_hex;
  p.confirmed = true;
  p.authoritative_time = receipt.submitted_at;
  p.detail = "mock";
  return p;
}

std::size_t MockAnchor::submitted_count() const {
  std::lock_guard lk(mu_);
  return submitted_.size();
}

}  // namespace ulo
