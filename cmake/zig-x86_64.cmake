set(ULO_ZIG_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
