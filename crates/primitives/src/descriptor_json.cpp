// JSON form of peer identity descriptors, their surfaces and attestation
// chains.
#include "identity.hpp"
#include "json.hpp"

namespace ulo {
namespace {

constexpr std::string_view kSurfaceNames[] = {"software", "os_keychain", "secure_element",
                                              "external_hardware", "threshold"};

PeerIdentityDescriptor& desc(void* p) { return *static_cast<PeerIdentityDescriptor*>(p); }
AttestationChain& chain(void* p) { return *static_cast<AttestationChain*>(p); }

using Absent = JsonField::Absent;

constexpr JsonField kChainFields[] = {
    {"certs_b64", [](JsonReader& r, void* p) { return r.read_string_list(chain(p).certs_b64); }},
    {"vendor", [](JsonReader& r, void* p) { return r.read_string(chain(p).vendor); }},
};
constexpr JsonRecord kChainRecord{"AttestationChain", kChainFields};

// `attestation` defaults to the empty chain, also when a positional array
// ends before it; `superseded_by` takes null but needs its element.
constexpr JsonField kDescriptorFields[] = {
    {"fingerprint", [](JsonReader& r, void* p) { return r.read_string(desc(p).fingerprint); }},
    {"public_key_b64",
     [](JsonReader& r, void* p) { return r.read_string(desc(p).public_key_b64); }},
    {"surface",
     [](JsonReader& r, void* p) {
       std::size_t k = 0;
       if (!r.read_enum(kSurfaceNames, k)) return false;
       desc(p).surface = static_cast<Surface>(k);
       return true;
     }},
    {"attestation",
     [](JsonReader& r, void* p) { return read_record(r, kChainRecord, &desc(p).attestation); },
     Absent::defaulted},
    {"created_at", [](JsonReader& r, void* p) { return r.read_string(desc(p).created_at); }},
    {"superseded_by",
     [](JsonReader& r, void* p) { return read_optional_address(r, desc(p).superseded_by); },
     Absent::optional},
};
constexpr JsonRecord kDescriptorRecord{"PeerIdentityDescriptor", kDescriptorFields};

}  // namespace

std::string_view surface_name(Surface s) {
  const auto k = static_cast<std::size_t>(s);
  return k < std::size(kSurfaceNames) ? kSurfaceNames[k] : std::string_view{};
}

std::optional<Surface> surface_from_name(std::string_view name) {
  for (std::size_t k = 0; k < std::size(kSurfaceNames); ++k) {
    if (kSurfaceNames[k] == name) return static_cast<Surface>(k);
  }
  return std::nullopt;
}

std::string descriptor_to_json(const PeerIdentityDescriptor& d) {
  return write_json([&](JsonWriter& w) {
    w.begin_object();
    w.key("fingerprint");
    w.string(d.fingerprint);
    w.key("public_key_b64");
    w.string(d.public_key_b64);
    w.key("surface");
    w.string(surface_name(d.surface));
    // A chain without certificates is left out, its vendor with it.
    if (!d.attestation.is_empty()) {
      w.key("attestation");
      w.begin_object();
      w.key("certs_b64");
      w.begin_array();
      for (const std::string& c : d.attestation.certs_b64) {
        w.element();
        w.string(c);
      }
      w.end_array();
      w.key("vendor");
      w.string(d.attestation.vendor);
      w.end_object();
    }
    w.key("created_at");
    w.string(d.created_at);
    if (d.superseded_by) {
      w.key("superseded_by");
      write_address(w, *d.superseded_by);
    }
    w.end_object();
  });
}

Result<PeerIdentityDescriptor, JsonError> descriptor_from_json(std::string_view text) {
  return decode_record<PeerIdentityDescriptor>(text, kDescriptorRecord);
}

std::optional<JsonError> descriptor_from_json_into(std::string_view text,
                                                   PeerIdentityDescriptor& out) {
  return decode_record_into(text, kDescriptorRecord, &out);
}

}  // namespace ulo
