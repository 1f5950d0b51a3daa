// Python face of MockAnchor. The binding speaks to the anchor interface only,
// so another anchor implementation needs no change here beyond its class.
#include <memory>

#include "anchor.hpp"
#include "bridge.hpp"
#include "classes.hpp"

namespace ulo::py {
namespace {

struct AnchorRec {
  std::unique_ptr<Anchor> anchor;
};

PyObject* raise_anchor_error(const AnchorError& e) {
  switch (e.kind) {
    case AnchorError::Network:
      return raise(PyExc_ConnectionError, e.message());
    case AnchorError::NotFound:
      return raise(PyExc_KeyError, e.message());
    case AnchorError::Unsupported:
      return raise(PyExc_NotImplementedError, e.message());
    case AnchorError::BadResponse:
    case AnchorError::AlreadySubmitted:
      break;
  }
  return raise_value_error(e.message());
}

// The anchor's operation, run to completion on the worker runtime.
template <class T, class Op>
PyObject* run_anchor_op(Op&& op, PyObject* (*make)(T&&)) {
  Result<T, AnchorError> outcome = run_to_completion([&](Runtime& rt) { return op(rt); });
  if (!outcome) return raise_anchor_error(outcome.error());
  return make(std::move(*outcome));
}

PyObject* anchor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("MockAnchor.__new__()", {"id"});
    Args a(sig);
    std::string_view id;
    if (!a.bind(args, kwargs) || !a.text(0, id)) return nullptr;
    return wrap(type, AnchorRec{std::make_unique<MockAnchor>(std::string(id))});
  });
}

PyObject* submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("MockAnchor.submit()", {"merkle_root"});
    Args a(sig);
    std::span<const std::uint8_t> root;
    if (!a.bind(args, nargs, kwnames) || !a.bytes(0, root)) return nullptr;
    if (root.size() != 32) return raise_value_error("merkle_root must be exactly 32 bytes");
    MerkleRoot fixed;
    std::copy(root.begin(), root.end(), fixed.begin());
    Anchor& anchor = *record_of<AnchorRec>(self).anchor;
    return run_anchor_op([&](Runtime& rt) { return anchor.submit(rt, fixed); }, new_anchor_receipt);
  });
}

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("MockAnchor.verify()", {"receipt"});
    Args a(sig);
    if (!a.bind(args, nargs, kwnames) ||
        !a.instance(0, anchor_receipt_cell().get(), "AnchorReceipt")) {
      return nullptr;
    }
    Anchor& anchor = *record_of<AnchorRec>(self).anchor;
    const AnchorReceipt& receipt = record_of<AnchorReceipt>(a[0]);
    return run_anchor_op([&](Runtime& rt) { return anchor.verify(rt, receipt); }, new_anchor_proof);
  });
}

PyObject* id_of(const AnchorRec& r) { return new_text(r.anchor->id()); }
PyObject* kind_of(const AnchorRec& r) { return new_text(name_of(r.anchor->kind())); }
PyObject* cost_of(const AnchorRec& r) {
  return PyFloat_FromDouble(r.anchor->cost_usd_per_submission());
}
PyObject* finality_of(const AnchorRec& r) {
  return PyLong_FromUnsignedLong(r.anchor->finality_seconds());
}

PyObject* reduce(const AnchorRec&) {
  return refuse_pickling("MockAnchor", "its memory of submitted roots belongs to this process");
}

PyObject* repr_of(const AnchorRec& r) {
  return Repr("MockAnchor").text("id", r.anchor->id()).raw("kind", "\"local\"").finish();
}

PyMethodDef methods[] = {
    {"submit", ULO_FASTCALL(submit), METH_FASTCALL | METH_KEYWORDS,
     "submit($self, merkle_root)\n--\n\n"
     "Submit a Merkle root (32 bytes). Returns the receipt the tenant\n"
     "must persist in order to verify later. Raises `ValueError` on\n"
     "double-submission of the same root."},
    {"verify", ULO_FASTCALL(verify), METH_FASTCALL | METH_KEYWORDS,
     "verify($self, receipt)\n--\n\n"
     "Verify a previously-submitted receipt. Raises `ValueError` for\n"
     "unknown roots or malformed input."},
    {"__reduce__", method0<AnchorRec, reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"id", getter<AnchorRec, id_of>, nullptr, nullptr, nullptr},
    {"kind", getter<AnchorRec, kind_of>, nullptr, nullptr, nullptr},
    {"cost_usd_per_submission", getter<AnchorRec, cost_of>, nullptr, nullptr, nullptr},
    {"finality_seconds", getter<AnchorRec, finality_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "MockAnchor(id)\n--\n\n"
    "In-memory anchor for tests + local-development. Behaves like an\n"
    "instant-finality anchor that remembers what it submitted. **NOT for\n"
    "production** \xe2\x80\x94 the whole point of an external anchor is *external*\n"
    "witnesses. Use a real concrete anchor (`OpenTimestamps`, \xe2\x80\xa6) for\n"
    "any non-test workload.";

}  // namespace

TypeCell& mock_anchor_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<AnchorRec>("MockAnchor", kDoc, repr_slot<AnchorRec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.construct = anchor_new;
    return def;
  }());
  return cell;
}

}  // namespace ulo::py
