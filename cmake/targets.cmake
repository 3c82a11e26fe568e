# Reads the row of packaging/targets named NAME into lsmac_triplet,
# lsmac_processor and lsmac_rpm_arch.
function(lsmac_target name)
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../packaging/targets row REGEX "^${name} ")
  string(REGEX REPLACE " +" ";" row "${row}")
  list(LENGTH row fields)
  if(NOT fields EQUAL 5)
    message(FATAL_ERROR "packaging/targets names no target '${name}'")
  endif()
  list(GET row 1 lsmac_triplet)
  list(GET row 2 lsmac_processor)
  list(GET row 3 lsmac_rpm_arch)
  set(lsmac_triplet ${lsmac_triplet} PARENT_SCOPE)
  set(lsmac_processor ${lsmac_processor} PARENT_SCOPE)
  set(lsmac_rpm_arch ${lsmac_rpm_arch} PARENT_SCOPE)
endfunction()

# What a cross toolchain file of SYSTEM sets for LSMAC_TARGET: Debian's cross
# packages put everything under /usr/<triplet>.
macro(lsmac_cross_toolchain system)
  lsmac_target(${LSMAC_TARGET})
  # try_compile projects read the toolchain file again, and need the name.
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LSMAC_TARGET)
  set(CMAKE_SYSTEM_NAME ${system})
  set(CMAKE_SYSTEM_PROCESSOR ${lsmac_processor})
  set(CMAKE_CXX_COMPILER ${lsmac_triplet}-g++)
  if(${system} STREQUAL Windows)
    set(CMAKE_RC_COMPILER ${lsmac_triplet}-windres)
  endif()
  set(CMAKE_FIND_ROOT_PATH /usr/${lsmac_triplet})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
endmacro()
