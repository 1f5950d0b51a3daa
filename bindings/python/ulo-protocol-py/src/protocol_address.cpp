// Python face of ProtocolAddress.
#include "address.hpp"
#include "classes.hpp"
#include "quote.hpp"

namespace ulo::py {
namespace {

using Rec = ProtocolAddress;
using Cls = Class<Rec, &kAddressRecord>;

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

PyObject* make(std::string_view address_class, std::string_view type, std::string_view ref) {
  auto c = value_named<AddressClass>(address_class);
  if (!c) {
    return raise_value_error("unknown address class: " + echoed(address_class) +
                             expected_classes());
  }
  return new_instance(Rec{*c, std::string(type), std::string(ref)});
}

PyObject* parse(std::string_view uri) {
  auto parsed = parse_uri(uri);
  if (!parsed) return raise_value_error("invalid tov:// URI: " + echoed(uri));
  return new_instance(std::move(*parsed));
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

// Pickled as the constructor's arguments.
PyObject* reduce(const Rec& r) {
  return Py_BuildValue("(O(s#s#s#))", cell_of<Rec>().get(), name_of(r.cls).data(),
                       static_cast<Py_ssize_t>(name_of(r.cls).size()), r.type.data(),
                       static_cast<Py_ssize_t>(r.type.size()), r.ref.data(),
                       static_cast<Py_ssize_t>(r.ref.size()));
}

PyObject* repr_of(const Rec& r) { return Repr("ProtocolAddress").bare_text(to_uri(r)).finish(); }

}  // namespace

TypeCell& ClassOf<ProtocolAddress>::cell() {
  static TypeCell cell(Cls::def({
      .doc = "Wraps the kernel's `ProtocolAddress`. Frozen on the Python side \xe2\x80\x94\n"
             "addresses are content-identity, not mutable state.",
      .repr = unary_slot<repr_of>,
      .construct = Cls::constructor<make, "address_class", "type_", "ref_">(),
      .methods = {Cls::static_method<parse, "parse", "uri">(
                      "Parse a canonical `tov://<class>/<type>/<ref>` URI."),
                  Cls::method<uri_of, "to_uri">(""), Cls::method<dict_of, "to_dict">(""),
                  Cls::method<reduce, "__reduce__">()},
      // `class` is a keyword in Python.
      .renames = {{"class", "address_class"}},
      .equality = Equality::content,
      .str = unary_slot<uri_of>,
      .hash = hash_slot<content_hash>,
  }));
  return cell;
}

}  // namespace ulo::py
