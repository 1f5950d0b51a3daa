set(ULO_ZIG_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
