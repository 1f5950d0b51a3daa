// How each kind of core error crosses into Python: one exception type per
// kind, with the kind's fixed message. A typed function returns a Result;
// the adaptors hand a failed one to raise_error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "anchor.hpp"
#include "boundary.hpp"
#include "identity.hpp"
#include "json_reader.hpp"
#include "queue.hpp"
#include "result.hpp"
#include "types.hpp"

namespace ulo::py {

// OSError for file-system failures, ValueError otherwise; an error that
// concerns one file or directory carries its path as `path`.
PyObject* raise_error(const QueueError& e);
// ConnectionError, KeyError, NotImplementedError or ValueError by kind.
PyObject* raise_error(const AnchorError& e);
// ValueError "signature verification failed: <kind>", with a note when the
// signature was refused for its length.
PyObject* raise_error(VerifyError e, std::size_t signature_size);
// The same for the strict check, with a note saying what it refused.
PyObject* raise_error(const StrictVerifyError& e, std::size_t signature_size);

// Where a decoded text came from: from_json's argument, or json.dumps(d) in
// from_dict, whose positions the caller never saw.
enum class JsonSource : std::uint8_t { text, dict };
// ValueError "invalid <record> JSON: <message>", with notes naming the field
// the failure lies in and, for a dict, where the positions count.
PyObject* raise_error(const JsonError& e, std::string_view record, JsonSource source);
PyObject* raise_error(FingerprintError e);

// An OSError whose str() is exactly `message`, of the subclass Python gives
// `err` (FileNotFoundError for ENOENT, ...), with errno, strerror and
// filename set, and `path` as well; err 0 leaves errno and strerror None.
// `path` may be nullptr.
PyObject* new_os_error(PyObject* message, int err, PyObject* path);

// The exception a queue error is raised as, not raised (scan() lists them).
PyObject* new_queue_error(const QueueError& e);
// A path exactly as the OS holds it: undecodable bytes become surrogate
// escapes, as in os.fsdecode, so that the text leads back to the file.
PyObject* new_path(std::string_view p);

// The value of a successful Result, or its error raised.
template <class T, class E>
PyObject* to_python(Result<T, E>&& r) {
  if (!r) return raise_error(r.error());
  if constexpr (std::is_void_v<T>) {
    return new_none();
  } else {
    return to_python(std::move(*r));
  }
}

}  // namespace ulo::py
