// The binding's shared machinery, one header per concern:
//   ref.hpp          an owned reference (Ref)
//   boundary.hpp     the call guard, internal faults, raising exceptions,
//                    the pending exception, releasing the interpreter lock
//   errors.hpp       each core error kind as its Python exception
//   types.hpp        heap types holding a record, records as Python values
//   arguments.hpp    binding arguments, converting them by parameter type
//   conversions.hpp  results as Python values, representations
//   modules.hpp      json, datetime and collections.abc
//   adaptors.hpp     typed functions as methods, properties and slots
//   class_def.hpp    the one class builder (fields.hpp and json_forms.hpp
//                    hold what a record's field table gives its class)
//   bridge.hpp       running core operations on the worker runtime
#pragma once
#include "adaptors.hpp"
#include "arguments.hpp"
#include "boundary.hpp"
#include "class_def.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "modules.hpp"
#include "ref.hpp"
#include "types.hpp"
