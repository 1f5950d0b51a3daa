// Python face of ProtocolAddress.
#include "address.hpp"
#include "classes.hpp"
#include "quote.hpp"

namespace ulo::py {
namespace {

using Rec = ProtocolAddress;

constexpr const char* kUnknownClassSuffix =
    " (expected one of: body, act, datum, prop, discard, pair, doc, evidence, route, "
    "mediation)";

PyObject* address_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"address_class", "type_", "ref_"};
    static constexpr Signature sig{"ProtocolAddress.__new__()", params, 3};
    PyObject* a[3];
    if (!bind_tuple(sig, args, kwargs, a)) return nullptr;
    std::string_view cls, type_text, ref;
    if (!to_text(a[0], "address_class", cls) || !to_text(a[1], "type_", type_text) ||
        !to_text(a[2], "ref_", ref)) {
      return nullptr;
    }
    auto c = address_class_from_name(cls);
    if (!c) {
      return raise_value_error("unknown address class: " + echoed(cls) + kUnknownClassSuffix);
    }
    return wrap(type, Rec{*c, std::string(type_text), std::string(ref)});
  });
}

PyObject* address_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"uri"};
    static constexpr Signature sig{"ProtocolAddress.parse()", params, 1};
    PyObject* a[1];
    std::string_view uri;
    if (!bind_fast(sig, args, nargs, kwnames, a) || !to_text(a[0], "uri", uri)) return nullptr;
    auto parsed = parse_uri(uri);
    if (!parsed) return raise_value_error("invalid tov:// URI: " + echoed(uri));
    return new_protocol_address(*parsed);
  });
}

PyObject* uri_of(const Rec& r) {
  // Most URIs are short: build them on the stack, not in a heap string.
  std::string_view name = address_class_name(r.cls);
  const std::size_t len = 6 + name.size() + 1 + r.type.size() + 1 + r.ref.size();
  if (len > 256) return new_text(to_uri(r));
  char buf[256];
  char* p = buf;
  // A plain loop: for pieces this short a library memcpy call costs more.
  auto put = [&p](std::string_view s) {
    for (char c : s) *p++ = c;
  };
  put("tov://");
  put(name);
  *p++ = '/';
  put(r.type);
  *p++ = '/';
  put(r.ref);
  return new_text(std::string_view(buf, len));
}

PyObject* dict_of(const Rec& r) {
  // Interned once: building the key strings anew each call dominated.
  static PyObject* keys[3] = {PyUnicode_InternFromString("class"),
                              PyUnicode_InternFromString("type"),
                              PyUnicode_InternFromString("ref")};
  if (keys[0] == nullptr || keys[1] == nullptr || keys[2] == nullptr) return fetch_failure();
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  const std::string_view values[3] = {address_class_name(r.cls), r.type, r.ref};
  for (int i = 0; i < 3; ++i) {
    PyObject* v = new_text(values[i]);
    if (v == nullptr || PyDict_SetItem(d, keys[i], v) != 0) {
      Py_XDECREF(v);
      Py_DECREF(d);
      return nullptr;
    }
    Py_DECREF(v);
  }
  return d;
}

PyObject* reduce(const Rec& r) {
  return Py_BuildValue("(O(s#s#s#))", protocol_address_cell().get(),
                       address_class_name(r.cls).data(),
                       static_cast<Py_ssize_t>(address_class_name(r.cls).size()), r.type.data(),
                       static_cast<Py_ssize_t>(r.type.size()), r.ref.data(),
                       static_cast<Py_ssize_t>(r.ref.size()));
}

PyObject* class_of(const Rec& r) { return new_text(address_class_name(r.cls)); }
PyObject* type_of(const Rec& r) { return new_text(r.type); }
PyObject* ref_of(const Rec& r) { return new_text(r.ref); }

PyObject* repr_of(const Rec& r) { return Repr("ProtocolAddress").bare_text(to_uri(r)).finish(); }

Py_hash_t address_hash(PyObject* self) {
  return guarded<Py_hash_t>(-1, [&] {
    return static_cast<Py_hash_t>(content_hash(record_of<Rec>(self)));
  });
}

PyMethodDef methods[] = {
    {"parse", ULO_FASTCALL(address_parse), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse(uri)\n--\n\nParse a canonical `tov://<class>/<type>/<ref>` URI."},
    {"to_uri", method0<Rec, uri_of>, METH_NOARGS, "to_uri($self)\n--\n\n"},
    {"to_dict", method0<Rec, dict_of>, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"__reduce__", method0<Rec, reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"address_class", getter<Rec, class_of>, nullptr, nullptr, nullptr},
    {"type", getter<Rec, type_of>, nullptr, nullptr, nullptr},
    {"ref", getter<Rec, ref_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "ProtocolAddress(address_class, type_, ref_)\n--\n\n"
    "Wraps the kernel's `ProtocolAddress`. Frozen on the Python side \xe2\x80\x94\n"
    "addresses are content-identity, not mutable state.";

}  // namespace

TypeCell& protocol_address_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("ProtocolAddress", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.construct = address_new;
    def.compare = richcompare<Rec>;
    def.hash = address_hash;
    def.str = repr_slot<Rec, uri_of>;
    return def;
  }());
  return cell;
}

PyObject* new_protocol_address(const ProtocolAddress& a) {
  return wrap(protocol_address_cell().get(), ProtocolAddress(a));
}

}  // namespace ulo::py
