#!/usr/bin/env bash
# Headers that let clang 14 compile this code base against libstdc++ 12, for
# the clang-built tools only (fuzzers, clang-tidy); put DIR first on the
# include path with -isystem DIR. The GCC builds never see them.
#  - <expected>: clang 14 lacks conditionally trivial destructors, so the
#    installed header (two destructors told apart by a requires-clause)
#    leaves the destructor of std::expected<std::string, ...> deleted. The
#    copy keeps a single, always user-provided destructor.
#  - <source_location>: the installed one needs __builtin_source_location
#    (clang 15); this one is built on __builtin_FILE and friends, constexpr
#    rather than consteval (clang 14 rejects consteval in default arguments).
set -euo pipefail
dir=${1:?usage: $0 DIR}
src=$(echo '#include <expected>' | g++ -std=c++23 -x c++ -E -M - | tr ' \\' '\n\n' | grep '/expected$' | head -1)
mkdir -p "$dir"
sed -e '/constexpr ~expected() = default;/d' \
    -e '/requires (!is_trivially_destructible_v<_Tp>)$/{N;d}' \
    -e 's/constexpr ~expected() requires (!is_trivially_destructible_v<_Er>)/constexpr ~expected()/' \
    "$src" > "$dir/expected.tmp"
# Both constrained destructors must have been rewritten.
[ "$(grep -c 'requires (!is_trivially_destructible' "$dir/expected.tmp")" = 0 ]
mv "$dir/expected.tmp" "$dir/expected"

cat > "$dir/source_location" <<'HDR'
#pragma once
#include <cstdint>
namespace std {
struct source_location {
  static constexpr source_location current(
      const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
      uint_least32_t line = __builtin_LINE(), uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location s;
    s.file_ = file, s.function_ = function, s.line_ = line, s.column_ = column;
    return s;
  }
  constexpr source_location() noexcept = default;
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return column_; }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0, column_ = 0;
};
}  // namespace std
HDR
