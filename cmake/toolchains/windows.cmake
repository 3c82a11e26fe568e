# A Windows target of packaging/targets: -DLSMAC_TARGET=win32 or win64.
include(${CMAKE_CURRENT_LIST_DIR}/../targets.cmake)
lsmac_cross_toolchain(Windows)
