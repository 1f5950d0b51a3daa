// Anchor records, the anchor interface and the in-memory mock anchor.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace ulo {

struct JsonError;

enum class AnchorKind : std::uint8_t {
  open_timestamps, ethereum, solana, nist_tsa, handshake, local
};
std::string_view anchor_kind_name(AnchorKind k);
std::optional<AnchorKind> anchor_kind_from_name(std::string_view name);

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

std::string receipt_to_json(const AnchorReceipt& r);
Result<AnchorReceipt, JsonError> receipt_from_json(std::string_view text);
std::string proof_to_json(const AnchorProof& p);
Result<AnchorProof, JsonError> proof_from_json(std::string_view text);

}  // namespace ulo
