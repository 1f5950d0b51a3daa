// Python face of ProtocolAddress.
#include "address.hpp"
#include "classes.hpp"
#include "fields.hpp"
#include "quote.hpp"

namespace ulo::py {
namespace {

using Rec = ProtocolAddress;

// " (expected one of: body, act, ..., mediation)"
const std::string& expected_classes() {
  static const std::string text = [] {
    std::string s = " (expected one of: ";
    const auto names = names_of<AddressClass>();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i != 0) s += ", ";
      s += names[i];
    }
    return s + ")";
  }();
  return text;
}

PyObject* address_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig =
        params("ProtocolAddress.__new__()", {"address_class", "type_", "ref_"});
    Args a(sig);
    if (!a.bind(args, kwargs)) return nullptr;
    std::string_view cls, type_text, ref;
    if (!a.text(0, cls) || !a.text(1, type_text) || !a.text(2, ref)) return nullptr;
    auto c = value_named<AddressClass>(cls);
    if (!c) {
      return raise_value_error("unknown address class: " + echoed(cls) + expected_classes());
    }
    return wrap(type, Rec{*c, std::string(type_text), std::string(ref)});
  });
}

PyObject* address_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("ProtocolAddress.parse()", {"uri"});
    Args a(sig);
    std::string_view uri;
    if (!a.bind(args, nargs, kwnames) || !a.text(0, uri)) return nullptr;
    auto parsed = parse_uri(uri);
    if (!parsed) return raise_value_error("invalid tov:// URI: " + echoed(uri));
    return new_protocol_address(*parsed);
  });
}

PyObject* uri_of(const Rec& r) {
  // Most URIs are short: build them on the stack, not in a heap string.
  const std::size_t len = uri_size(r);
  if (len > 256) return new_text(to_uri(r));
  char buf[256];
  write_uri(r, buf);
  return new_text(std::string_view(buf, len));
}

PyObject* dict_of(const Rec& r) { return fields_dict(kAddressRecord, &r); }

PyObject* reduce(const Rec& r) {
  return reduce_by_fields(protocol_address_cell().get(), kAddressRecord, &r);
}

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

constexpr const char* kDoc =
    "ProtocolAddress(address_class, type_, ref_)\n--\n\n"
    "Wraps the kernel's `ProtocolAddress`. Frozen on the Python side \xe2\x80\x94\n"
    "addresses are content-identity, not mutable state.";

}  // namespace

TypeCell& protocol_address_cell() {
  static TypeCell cell([] {
    ClassDef def = table_class<Rec>(kAddressRecord, kDoc, repr_slot<Rec, repr_of>, methods);
    // `class` is a keyword in Python: the property is `address_class`.
    def.getset[0].name = "address_class";
    def.construct = address_new;
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
