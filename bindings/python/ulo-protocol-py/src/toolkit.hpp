// The binding's shared machinery, one header per concern:
//   ref.hpp          an owned reference (Ref)
//   boundary.hpp     the call guard, internal faults, raising exceptions
//   arguments.hpp    binding and converting arguments (Params, Args)
//   conversions.hpp  native results as Python values, representations
//   modules.hpp      json, datetime and collections.abc
//   types.hpp        heap types holding a record, comparison, registration
// Properties and forms driven by field tables are in fields.hpp and
// json_forms.hpp.
#pragma once
#include "arguments.hpp"
#include "boundary.hpp"
#include "conversions.hpp"
#include "modules.hpp"
#include "ref.hpp"
#include "types.hpp"
