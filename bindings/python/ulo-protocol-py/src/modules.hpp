// What the module takes from the interpreter's standard modules: json for
// the dict forms, datetime for timestamps, collections.abc for sequences.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "timestamp.hpp"

namespace ulo::py {

// json.loads(text) and json.dumps(d): the dict forms of records. json is
// imported at each call.
PyObject* json_loads(std::string_view text);
// Returns the text of json.dumps(d) (a new str reference) or nullptr.
PyObject* json_dumps(PyObject* d);

// An aware UTC datetime with microsecond precision. datetime has no leap
// second: it shows :59 and warns.
PyObject* new_datetime(const Timestamp& t);

// 1 when `o` passes the interpreter's sequence check or is registered as a
// collections.abc.Sequence, 0 when not, -1 with an exception set.
int is_sequence(PyObject* o);

}  // namespace ulo::py
