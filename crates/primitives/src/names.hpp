// Enumerations written as their names. Each enumeration ends in the marker
// `count_` and has an EnumNames specialisation beside it holding its names by
// value; every lookup goes through names_of, which checks the two agree.
#pragma once
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

namespace ulo {

template <class E>
struct EnumNames;  // static constexpr std::string_view names[]

template <class E>
constexpr std::span<const std::string_view> names_of() {
  static_assert(std::size(EnumNames<E>::names) == static_cast<std::size_t>(E::count_),
                "an enumeration and its names table must have the same members");
  return EnumNames<E>::names;
}

// The name at position `i` of a table, or an empty text past its end.
constexpr std::string_view name_at(std::span<const std::string_view> names, std::size_t i) {
  return i < names.size() ? names[i] : std::string_view{};
}

template <class E>
constexpr std::string_view name_of(E value) {
  return name_at(names_of<E>(), static_cast<std::size_t>(value));
}

template <class E>
constexpr std::optional<E> value_named(std::string_view name) {
  const auto names = names_of<E>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace ulo
