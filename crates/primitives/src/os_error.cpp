#include "os_error.hpp"

#include <system_error>

namespace ulo {

std::string os_error_description(int err) { return std::system_category().message(err); }

std::string os_error_text(int err) {
  return os_error_description(err) + " (os error " + std::to_string(err) + ")";
}

}  // namespace ulo
