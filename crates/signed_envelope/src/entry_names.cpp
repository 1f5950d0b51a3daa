#include "entry_names.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ulo {
namespace {

constexpr std::string_view kExt = ".json";
// Segments this short are sorted outright rather than split further.
constexpr std::size_t kSmall = 32;
// A running partition looks at the stop flag this often.
constexpr std::size_t kStopStride = 4096;

}  // namespace

bool EntryNames::add(std::string_view name) {
  const std::string_view stem = name.substr(0, name.size() - kExt.size());
  const std::size_t need = 1 + stem.size();  // names are at most 255 bytes
  if (used_ + need > kBlock) {
    if (blocks_.size() == (std::size_t{1} << (32 - kBlockBits))) return false;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
    used_ = 0;
  }
  char* p = blocks_.back().get() + used_;
  p[0] = static_cast<char>(stem.size());
  std::memcpy(p + 1, stem.data(), stem.size());
  refs_.push_back(static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) | used_));
  used_ += need;
  return true;
}

std::string_view EntryNames::at(std::uint32_t ref) const noexcept {
  const char* p = blocks_[ref >> kBlockBits].get() + (ref & (kBlock - 1));
  return {p + 1, static_cast<unsigned char>(p[0])};
}

std::string_view EntryNames::stem(std::size_t i) const noexcept { return at(refs_[i]); }

const char* EntryNames::name(std::size_t i, std::string& out) const {
  out.assign(stem(i));
  out.append(kExt);
  return out.c_str();
}

// Byte order of stem + ".json" without building either.
bool EntryNames::less(std::uint32_t ra, std::uint32_t rb) const noexcept {
  const std::string_view a = at(ra), b = at(rb);
  const std::size_t m = std::min(a.size(), b.size());
  if (const int c = std::memcmp(a.data(), b.data(), m); c != 0) return c < 0;
  if (a.size() == b.size()) return false;
  // One stem is a prefix of the other: the shorter goes on with ".json".
  const bool a_short = a.size() < b.size();
  const std::string_view longer = a_short ? b : a;
  const std::size_t rest = longer.size() - m;
  for (std::size_t k = 0; k < kExt.size(); ++k) {
    const auto s = static_cast<unsigned char>(kExt[k]);
    const auto l = static_cast<unsigned char>(k < rest ? longer[m + k] : kExt[k - rest]);
    if (s != l) return a_short ? s < l : l < s;
  }
  return a_short;  // equal up to the shorter one's end
}

bool EntryNames::sort_until(std::size_t end, const std::atomic<bool>& stop) {
  end = std::min(end, refs_.size());
  if (bounds_.empty() && sorted_ < refs_.size()) bounds_.push_back(refs_.size());
  std::uint32_t* r = refs_.data();
  // Incremental quicksort: split the first unsorted segment around a pivot
  // until it is small, sort that outright, and go on with the next segment
  // until `end` is reached. The first names cost about 2n comparisons, all
  // of them what a full sort costs. Pivots are drawn at random, so no set
  // of names makes it quadratic.
  while (sorted_ < end) {
    const std::size_t hi = bounds_.back(), lo = sorted_;
    if (hi - lo <= kSmall) {
      std::sort(r + lo, r + hi, [this](std::uint32_t a, std::uint32_t b) { return less(a, b); });
      sorted_ = hi;
      bounds_.pop_back();
      continue;
    }
    // The median of three random names, moved to the end.
    std::size_t pick[3];
    for (auto& p : pick) {
      rng_ ^= rng_ << 13;
      rng_ ^= rng_ >> 7;
      rng_ ^= rng_ << 17;
      p = lo + rng_ % (hi - lo);
    }
    if (less(r[pick[1]], r[pick[0]])) std::swap(pick[0], pick[1]);
    if (less(r[pick[2]], r[pick[1]])) std::swap(pick[1], pick[2]);
    if (less(r[pick[1]], r[pick[0]])) std::swap(pick[0], pick[1]);
    std::swap(r[pick[1]], r[hi - 1]);
    const std::uint32_t pivot = r[hi - 1];
    std::size_t p = lo;
    for (std::size_t i = lo; i + 1 < hi; ++i) {
      if ((i - lo) % kStopStride == 0 && stop.load(std::memory_order_relaxed)) return false;
      if (less(r[i], pivot)) std::swap(r[i], r[p++]);
    }
    std::swap(r[p], r[hi - 1]);
    // [lo, p) sorts before the pivot, now at p, and (p, hi) after it.
    bounds_.push_back(p + 1);
    bounds_.push_back(p);
    if (p == lo) bounds_.pop_back();
  }
  return true;
}

}  // namespace ulo
