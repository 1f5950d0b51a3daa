// Anchor records, the anchor interface and the in-memory mock anchor.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "names.hpp"
#include "result.hpp"

namespace ulo {

class Runtime;
struct RecordDef;

enum class AnchorKind : std::uint8_t {
  open_timestamps, ethereum, solana, nist_tsa, handshake, local, count_
};
template <>
struct EnumNames<AnchorKind> {
  static constexpr std::string_view names[] = {"open_timestamps", "ethereum",  "solana",
                                               "nist_tsa",        "handshake", "local"};
};

struct AnchorReceipt {
  std::string anchor_id;
  AnchorKind anchor_kind = AnchorKind::local;
  std::string merkle_root_hex;
  std::string submission_ref;
  std::string submitted_at;
  std::string expected_finality_at;
  std::string proof_b64;
  bool operator==(const AnchorReceipt&) const = default;
};

struct AnchorProof {
  std::string anchor_id;
  AnchorKind anchor_kind = AnchorKind::local;
  std::string merkle_root_hex;
  bool confirmed = false;
  std::string authoritative_time;
  std::string detail;
  bool operator==(const AnchorProof&) const = default;
};

// The field tables of both records (their JSON form and Python properties).
extern const RecordDef kAnchorReceiptRecord;
extern const RecordDef kAnchorProofRecord;

// --- The anchor interface -------------------------------------------------

using MerkleRoot = std::array<std::uint8_t, 32>;

struct AnchorError {
  enum Kind {
    Network,           // the anchor could not be reached
    BadResponse,       // its answer, or the input handed to it, is malformed
    AlreadySubmitted,  // this root was submitted before
    NotFound,          // the anchor knows nothing of this root
    Unsupported,       // the anchor does not offer the operation
  };
  Kind kind;
  std::string text;
  // "anchor network: <text>", "anchor bad response: <text>", ...
  std::string message() const;
};

// A witness to which Merkle roots are submitted. submit and verify may
// block (an external anchor waits on the network): like every core operation
// they are run to completion on the worker runtime, `rt`, and hand their
// blocking steps to its pool.
class Anchor {
 public:
  virtual ~Anchor() = default;
  virtual Result<AnchorReceipt, AnchorError> submit(Runtime& rt, const MerkleRoot& root) = 0;
  virtual Result<AnchorProof, AnchorError> verify(Runtime& rt, const AnchorReceipt& receipt) = 0;
  virtual const std::string& id() const = 0;
  virtual AnchorKind kind() const = 0;
  virtual double cost_usd_per_submission() const = 0;
  virtual std::uint32_t finality_seconds() const = 0;
};

// A set of 32-byte roots in one flat open-addressing table: 32 bytes per
// slot and nothing else, so a million roots take well under 100 MB.
class RootSet {
 public:
  // False when the root was already present.
  bool insert(const MerkleRoot& root);
  bool contains(const MerkleRoot& root) const;
  std::size_t size() const { return size_; }

 private:
  std::size_t find_slot(const MerkleRoot& root) const;
  void grow();

  std::unique_ptr<MerkleRoot[]> slots_;  // the all-zero root marks a free slot
  std::size_t capacity_ = 0;             // a power of two, or 0
  std::size_t size_ = 0;                 // roots in slots_, plus the zero root
  bool has_zero_ = false;                // the zero root is kept aside
};

// In-memory anchor of kind `local` for tests and local development: accepts
// each new root at once with fixed times, and verifies any receipt whose
// root it accepted. It stores only the roots: a receipt is fully determined
// by the root and the anchor's id. Nothing in it blocks, so it leaves the
// runtime's pool alone.
class MockAnchor final : public Anchor {
 public:
  explicit MockAnchor(std::string id) : id_(std::move(id)) {}

  Result<AnchorReceipt, AnchorError> submit(Runtime& rt, const MerkleRoot& root) override;
  Result<AnchorProof, AnchorError> verify(Runtime& rt, const AnchorReceipt& receipt) override;
  const std::string& id() const override { return id_; }
  AnchorKind kind() const override { return AnchorKind::local; }
  double cost_usd_per_submission() const override { return 0.0; }
  std::uint32_t finality_seconds() const override { return 0; }

  std::size_t submitted_count() const;

 private:
  std::string id_;
  mutable std::mutex mu_;  // guards submitted_
  RootSet submitted_;
};

}  // namespace ulo
