# Read by cpack before it packages: archive member times are the commit's, as
# the executables' are, unless SOURCE_DATE_EPOCH is set where cpack runs.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_LSMAC_SOURCE_DATE_EPOCH}")
endif()
