// The text an operating-system error number is shown with in messages.
#pragma once
#include <string>

namespace ulo {

// The OS's description of an error number, e.g. "No such file or directory".
std::string os_error_description(int err);
// "<description> (os error <n>)", e.g. "No such file or directory (os error 2)".
std::string os_error_text(int err);

}  // namespace ulo
