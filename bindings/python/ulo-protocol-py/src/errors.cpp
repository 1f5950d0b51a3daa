#include "errors.hpp"

#include <string>

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
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(queue_error_type(e), msg.get(), nullptr));
  if (!exc || e.path.empty()) return exc.release();
  Ref path = Ref::steal(new_path(e.path));
  if (!path || PyObject_SetAttrString(exc.get(), "path", path.get()) != 0) return nullptr;
  return exc.release();
}

PyObject* raise_error(const QueueError& e) {
  if (e.path.empty()) return raise(queue_error_type(e), e.message());
  Ref exc = Ref::steal(new_queue_error(e));
  if (exc) PyErr_SetObject(queue_error_type(e), exc.get());
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

PyObject* raise_error(VerifyError e) {
  return raise_value_error("signature verification failed: " + std::string(name_of(e)));
}

PyObject* raise_error(FingerprintError e) {
  return raise_value_error(e == FingerprintError::BadLength ? "public_key must be exactly 32 bytes"
                                                            : "invalid Ed25519 public key bytes");
}

}  // namespace ulo::py
