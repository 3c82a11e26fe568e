# A Linux target of packaging/targets: -DLSMAC_TARGET=arm64, say.
include(${CMAKE_CURRENT_LIST_DIR}/../targets.cmake)
lsmac_cross_toolchain(Linux)
