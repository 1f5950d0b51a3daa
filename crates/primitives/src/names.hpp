// Enumerations written as their names: a table of names indexed by value.
#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace ulo {

// The name of `value`, or an empty text for a value outside the table.
template <class E>
std::string_view name_of(std::span<const std::string_view> names, E value) {
  const auto i = static_cast<std::size_t>(value);
  return i < names.size() ? names[i] : std::string_view{};
}

template <class E>
std::optional<E> value_named(std::span<const std::string_view> names, std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace ulo
