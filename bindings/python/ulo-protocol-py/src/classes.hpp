// The type cells of every class and the conversions one class file needs
// from another.
#pragma once
#include "toolkit.hpp"

namespace ulo {
struct ProtocolAddress;
}

namespace ulo::py {

TypeCell& protocol_address_cell();
PyObject* new_protocol_address(const ProtocolAddress& a);

// Module-level function definition of classify_exchange.
extern PyMethodDef classify_exchange_def;

}  // namespace ulo::py
