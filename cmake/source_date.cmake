# Releases rebuild bit for bit: every time stamp in the executables and the
# packages is the commit's (or SOURCE_DATE_EPOCH's, when it is set), never the
# build's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(LSMAC_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE LSMAC_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  execute_process(COMMAND git rev-parse --absolute-git-dir WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(EXISTS "${git_dir}/logs/HEAD")
    # A new commit or checkout stamps again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/logs/HEAD")
  endif()
  if(NOT LSMAC_SOURCE_DATE_EPOCH)
    # A tree without its history: the time its CMakeLists.txt carries.
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt LSMAC_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
