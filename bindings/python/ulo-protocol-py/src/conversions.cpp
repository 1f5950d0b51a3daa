#include "conversions.hpp"

#include "quote.hpp"

namespace ulo::py {

Repr::Repr(std::string_view class_name) {
  out_.reserve(64);
  out_.append(class_name).append(1, '(');
}

void Repr::separator() {
  if (!first_) out_.append(", ");
  first_ = false;
}

Repr& Repr::text(std::string_view field, std::string_view value) {
  separator();
  out_.append(field).append(1, '=');
  append_quoted(out_, value);
  return *this;
}

Repr& Repr::raw(std::string_view field, std::string_view value) {
  separator();
  out_.append(field).append(1, '=').append(value);
  return *this;
}

Repr& Repr::integer(std::string_view field, long long value) {
  return raw(field, std::to_string(value));
}

Repr& Repr::boolean(std::string_view field, bool value) {
  return raw(field, value ? "true" : "false");
}

Repr& Repr::bare_text(std::string_view value) {
  separator();
  append_quoted(out_, value);
  return *this;
}

PyObject* Repr::finish() {
  out_.append(1, ')');
  return new_text(out_);
}

}  // namespace ulo::py
