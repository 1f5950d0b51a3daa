// Errors are values: every fallible core operation returns Result<T, E>.
#pragma once
#include <expected>

namespace ulo {
template <class T, class E>
using Result = std::expected<T, E>;
using std::unexpected;
}  // namespace ulo
