set(triplet mips64el-linux-gnuabi64)
set(CMAKE_SYSTEM_PROCESSOR mips64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
