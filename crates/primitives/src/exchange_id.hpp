// Exchange ids that sort in the order they were made: UUIDv7 (RFC 9562).
//
// The queue lists items by file name, so ids made by this function drain
// in emission order. Layout: 48 bits of Unix time in milliseconds, the
// version 7, a 12-bit counter that orders ids made within one millisecond,
// the variant, and 62 random bits.
#pragma once
#include <string>

namespace ulo {

// The next id of this process as lowercase hyphenated text, greater than
// every id made before it in this process, whatever the thread, and, in a
// forked child, greater than every id its parent made before the fork.
std::string new_exchange_id();

}  // namespace ulo
