#include "errors.hpp"

#include <string>
#include <tuple>

#include "conversions.hpp"

namespace ulo::py {
namespace {

PyObject* queue_error_type(const QueueError& e) {
  return e.kind == QueueError::Io ? PyExc_OSError : PyExc_ValueError;
}

}  // namespace

PyObject* new_path(std::string_view p) {
  return PyUnicode_DecodeFSDefaultAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

PyObject* new_queue_error(const QueueError& e) {
  Ref msg = Ref::steal(new_text(e.message()));
  if (!msg) return nullptr;
  Ref path = Ref::steal(e.path.empty() ? nullptr : new_path(e.path));
  if (!path && !e.path.empty()) return nullptr;
  if (e.kind == QueueError::Io) return new_os_error(msg.get(), e.err, path.get());
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(queue_error_type(e), msg.get(), nullptr));
  if (!exc || !path) return exc.release();
  if (PyObject_SetAttrString(exc.get(), "path", path.get()) != 0) return nullptr;
  return exc.release();
}

PyObject* raise_error(const QueueError& e) {
  if (e.path.empty() && e.kind != QueueError::Io) return raise(queue_error_type(e), e.message());
  Ref exc = Ref::steal(new_queue_error(e));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* raise_error(const AnchorError& e) {
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

PyObject* raise_error(VerifyError e, std::size_t signature_size) {
  const std::string message = "signature verification failed: " + std::string(name_of(e));
  constexpr std::size_t kSize = std::tuple_size_v<SoftwareIdentity::Signature>;
  if (e != VerifyError::BadSignature || signature_size == kSize) return raise_value_error(message);
  // The usual slip: the Base64 text of a signature passed as its bytes.
  const std::string note = "signature_bytes is " + std::to_string(signature_size) +
                           " bytes long; an Ed25519 signature is exactly " +
                           std::to_string(kSize) +
                           ". A signature carried as Base64 text must be decoded first, "
                           "e.g. base64.b64decode(text).";
  return raise_with_notes(PyExc_ValueError, message, {note});
}

PyObject* raise_error(const StrictVerifyError& e, std::size_t signature_size) {
  const char* why = nullptr;
  switch (e.weakness) {
    case Weakness::none:
      return raise_error(e.error, signature_size);
    case Weakness::small_order_key:
      why = "strict: the public key is of small order; anyone can sign for this key";
      break;
    case Weakness::non_canonical_key:
      why = "strict: the public key's encoding is not canonical (y is not below p)";
      break;
    case Weakness::small_order_r:
      why = "strict: the signature's R is a point of small order";
      break;
  }
  return raise_with_notes(PyExc_ValueError,
                          "signature verification failed: " + std::string(name_of(e.error)),
                          {why});
}

PyObject* raise_error(const JsonError& e, std::string_view record, JsonSource source) {
  const std::string message = "invalid " + std::string(record) + " JSON: " + e.message;
  std::string field;
  if (!e.field.empty()) field = "field '" + e.field + "' (" + std::string(record) + ")";
  return raise_with_notes(
      PyExc_ValueError, message,
      {field, e.hint,
       source == JsonSource::dict ? "line and column refer to json.dumps(d)" : ""});
}

PyObject* raise_error(FingerprintError e) {
  return raise_value_error(e == FingerprintError::BadLength ? "public_key must be exactly 32 bytes"
                                                            : "invalid Ed25519 public key bytes");
}

}  // namespace ulo::py
