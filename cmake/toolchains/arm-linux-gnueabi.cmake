set(triplet arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR armv5tel)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
