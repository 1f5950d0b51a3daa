// Python face of MockAnchor. The binding speaks to the anchor interface only,
// so another anchor implementation needs no change here beyond its class.
#include <algorithm>
#include <memory>

#include "anchor.hpp"
#include "bridge.hpp"
#include "classes.hpp"

namespace ulo::py {

struct AnchorRec {
  std::unique_ptr<Anchor> anchor;
};

namespace {

using Cls = Class<AnchorRec>;

AnchorRec make(std::string_view id) { return {std::make_unique<MockAnchor>(std::string(id))}; }

PyObject* submit(const AnchorRec& a, std::span<const std::uint8_t> merkle_root) {
  if (merkle_root.size() != 32) return raise_value_error("merkle_root must be exactly 32 bytes");
  MerkleRoot root;
  std::copy(merkle_root.begin(), merkle_root.end(), root.begin());
  return to_python(run_to_completion([&](Runtime& rt) { return a.anchor->submit(rt, root); }));
}

Result<AnchorProof, AnchorError> verify(const AnchorRec& a, const AnchorReceipt& receipt) {
  return run_to_completion([&](Runtime& rt) { return a.anchor->verify(rt, receipt); });
}

const std::string& id_of(const AnchorRec& r) { return r.anchor->id(); }
std::string_view kind_name_of(const AnchorRec& r) { return name_of(r.anchor->kind()); }
double cost_of(const AnchorRec& r) { return r.anchor->cost_usd_per_submission(); }
std::uint32_t finality_of(const AnchorRec& r) { return r.anchor->finality_seconds(); }

PyObject* reduce(const AnchorRec&) {
  return refuse_pickling("MockAnchor", "its memory of submitted roots belongs to this process");
}

PyObject* repr_of(const AnchorRec& r) {
  return Repr("MockAnchor").text("id", r.anchor->id()).raw("kind", "\"local\"").finish();
}

}  // namespace

TypeCell& ClassOf<AnchorRec>::cell() {
  static TypeCell cell(Cls::def({
      .name = "MockAnchor",
      .doc = "In-memory anchor for tests + local-development. Behaves like an\n"
             "instant-finality anchor that remembers what it submitted. **NOT for\n"
             "production** \xe2\x80\x94 the whole point of an external anchor is *external*\n"
             "witnesses. Use a real concrete anchor (`OpenTimestamps`, \xe2\x80\xa6) for\n"
             "any non-test workload.",
      .repr = unary_slot<repr_of>,
      .construct = Cls::constructor<make, "id">(),
      .methods = {Cls::method<submit, "submit", "merkle_root">(
                      "Submit a Merkle root (32 bytes). Returns the receipt the tenant\n"
                      "must persist in order to verify later. Raises `ValueError` on\n"
                      "double-submission of the same root."),
                  Cls::method<verify, "verify", "receipt">(
                      "Verify a previously-submitted receipt. Raises `ValueError` for\n"
                      "unknown roots or malformed input."),
                  Cls::method<reduce, "__reduce__">()},
      .properties = {Cls::property<id_of, "id">(), Cls::property<kind_name_of, "kind">(),
                     Cls::property<cost_of, "cost_usd_per_submission">(),
                     Cls::property<finality_of, "finality_seconds">()},
  }));
  return cell;
}

}  // namespace ulo::py
