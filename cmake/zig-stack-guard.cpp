// Zig's compiler runtime comes into the aarch64 link for the long double
// helpers libc++ calls, and it defines __stack_chk_guard itself, with a fixed
// value: every canary of the module would be known in advance. glibc derives
// its own guard from the kernel's AT_RANDOM bytes with the low byte cleared
// (so a string copy stops at it); this does the same for the module's guard
// before anything else in the module runs. Built only for that toolchain.
#include <sys/auxv.h>

#include <cstdint>
#include <cstring>

extern "C" std::uintptr_t __stack_chk_guard;  // NOLINT(bugprone-reserved-identifier)

namespace {

[[gnu::constructor(101), gnu::no_stack_protector]] void seed_stack_guard() {
  const auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM));  // NOLINT
  if (random == nullptr) {
    return;
  }
  std::uintptr_t guard = 0;
  std::memcpy(&guard, random, sizeof guard);
  __stack_chk_guard = guard & ~static_cast<std::uintptr_t>(0xff);
}

}  // namespace
