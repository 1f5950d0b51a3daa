// Zig's compiler runtime comes into the aarch64 link for the long double
// helpers libc++ calls, and it defines __stack_chk_guard itself, with a fixed
// value. Whether the module's canaries then use that copy or glibc's depends
// on how the link resolves the symbol. When it is the runtime's copy, every
// canary would be known in advance: fill it, before anything else in the
// module runs, the way glibc fills its own (the kernel's AT_RANDOM bytes,
// low byte cleared so a string copy stops at it). glibc's copy is read-only
// after start-up and is left alone. Built only for that toolchain.
#include <dlfcn.h>
#include <sys/auxv.h>

#include <cstdint>
#include <cstring>

extern "C" std::uintptr_t __stack_chk_guard;  // NOLINT(bugprone-reserved-identifier)

namespace {

[[gnu::constructor(101), gnu::no_stack_protector]] void seed_stack_guard() {
  if (dlsym(RTLD_DEFAULT, "__stack_chk_guard") == &__stack_chk_guard) {
    return;
  }
  const auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM));  // NOLINT
  if (random == nullptr) {
    return;
  }
  std::uintptr_t guard = 0;
  std::memcpy(&guard, random, sizeof guard);
  __stack_chk_guard = guard & ~static_cast<std::uintptr_t>(0xff);
}

}  // namespace
