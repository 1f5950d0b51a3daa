# Cross toolchain for the shipped wheels: Zig's clang and libc++ against a
# glibc 2.17 target, so the module loads on every manylinux2014 system, or
# against musl (ULO_ZIG_LIBC=musl) for musllinux. `make dist` writes the
# compiler wrappers and exports ULO_ZIG_BIN and ULO_ZIG_LIBC; the wrappers
# pin the target triple, which CMake cannot pass to `zig c++`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ULO_ZIG_ARCH})
if(NOT DEFINED ENV{ULO_ZIG_BIN})
  message(FATAL_ERROR "ULO_ZIG_BIN is not set: this toolchain file is driven by `make dist`")
endif()
if(NOT DEFINED ENV{ULO_ZIG_LIBC})
  message(FATAL_ERROR "ULO_ZIG_LIBC (gnu or musl) is not set: this toolchain file is driven by `make dist`")
endif()
set(CMAKE_C_COMPILER $ENV{ULO_ZIG_BIN}/${ULO_ZIG_ARCH}-$ENV{ULO_ZIG_LIBC}-cc)
set(CMAKE_CXX_COMPILER $ENV{ULO_ZIG_BIN}/${ULO_ZIG_ARCH}-$ENV{ULO_ZIG_LIBC}-c++)
set(CMAKE_AR $ENV{ULO_ZIG_BIN}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $ENV{ULO_ZIG_BIN}/ranlib CACHE FILEPATH "")
# try_compile runs see the same environment, so the wrappers resolve there too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ULO_ZIG_ARCH)

# Zig adds debug info and frame pointers unless told otherwise; neither ships.
# ThinLTO lets clang inline the JSON writer's small helpers across files, as
# GCC does without it (to_json runs about 5% fewer instructions).
# Hardening: the stack protector and fortified libc calls (the glibc 2.17
# target has every __*_chk the headers ask for).
set(ULO_ZIG_FLAGS "-g0 -fomit-frame-pointer -flto=thin -fstack-protector-strong -D_FORTIFY_SOURCE=3")
# No -fcf-protection on x86_64: Zig's libc++, libc++abi and libunwind carry
# no CET markings, so the linker drops them from the module whatever our
# objects say, and the end-branch instructions would only cost time.
if(ULO_ZIG_ARCH STREQUAL "aarch64")
  # Zig's runtime may bring a constant stack guard here: seed it at load.
  set(ULO_SEED_STACK_GUARD ON)
endif()
set(CMAKE_C_FLAGS_INIT "${ULO_ZIG_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ULO_ZIG_FLAGS}")
# Full RELRO and a non-executable stack; symbols stripped at link time, since
# binutils' strip cannot read the aarch64 objects.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-flto=thin -Wl,-z,relro,-z,now,-z,noexecstack -Wl,--strip-all")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-flto=thin -Wl,-z,relro,-z,now,-z,noexecstack -Wl,--strip-all")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,relro,-z,now,-z,noexecstack")
