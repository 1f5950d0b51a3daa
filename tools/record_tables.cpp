// Prints the records' field tables as JSON, for tools/stub_fields.py: the
// type stub's field properties and dict types are written from these rows,
// so that a field stays a member and a row.
#include <cstdio>
#include <string_view>

#include "address.hpp"
#include "anchor.hpp"
#include "envelope.hpp"
#include "identity.hpp"
#include "record_table.hpp"

namespace {

using ulo::FieldDef;
using ulo::FieldKind;

constexpr std::string_view kKinds[] = {"text",    "optional_text", "timestamp",
                                       "optional_timestamp", "boolean", "enumeration",
                                       "record",  "optional_record", "text_list"};
constexpr std::string_view kAbsent[] = {"required", "optional", "defaulted"};

// Names and docs here are plain ASCII without quotes or backslashes; the
// script refuses anything else by failing to parse it.
void str(std::string_view s) { std::printf("\"%.*s\"", static_cast<int>(s.size()), s.data()); }

void record(const ulo::RecordDef& r, bool last) {
  std::printf("{\"name\": ");
  str(r.name);
  std::printf(", \"fields\": [");
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    const FieldDef& f = r.fields[i];
    std::printf("%s{\"name\": ", i == 0 ? "" : ", ");
    str(f.name);
    std::printf(", \"kind\": ");
    str(kKinds[static_cast<std::size_t>(f.kind)]);
    std::printf(", \"absent\": ");
    str(kAbsent[static_cast<std::size_t>(f.absent)]);
    std::printf(", \"emit_always\": %s, \"nested\": ", f.emit == FieldDef::Emit::always ? "true" : "false");
    if (f.nested != nullptr) {
      str(f.nested->name);
    } else {
      std::printf("null");
    }
    std::printf(", \"names\": [");
    for (std::size_t n = 0; n < f.names.size(); ++n) {
      if (n != 0) std::printf(", ");
      str(f.names[n]);
    }
    std::printf("]}");
  }
  std::printf("]}%s\n", last ? "" : ",");
}

}  // namespace

int main() {
  const ulo::RecordDef* records[] = {
      &ulo::kSignedEnvelopeRecord,       &ulo::kCounterpartyInfoRecord,
      &ulo::kAttestationChainRecord,     &ulo::kPeerIdentityDescriptorRecord,
      &ulo::kAnchorReceiptRecord,        &ulo::kAnchorProofRecord,
      &ulo::kQueuedItemRecord,           &ulo::kAddressRecord,
  };
  std::printf("[\n");
  for (std::size_t i = 0; i < std::size(records); ++i) record(*records[i], i + 1 == std::size(records));
  std::printf("]\n");
  return 0;
}
