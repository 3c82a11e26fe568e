# Installation, and the packages built from it: a .deb and an .rpm on Linux; on
# Windows a .zip of the executable with the README, the license and the
# notices, and an MSI that installs them.
include(GNUInstallDirs)
# What the static executable carries of other source packages, for the .deb,
# NOTICES and the release's bills of materials.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/packaging/built-using.sh ${CMAKE_CXX_COMPILER}
                OUTPUT_VARIABLE built_using OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
file(WRITE ${PROJECT_BINARY_DIR}/built-using "${built_using}\n")
include(cmake/notices.cmake)
# Who publishes these packages, at the address that receives reports on them
# (SECURITY.md): a release names its publisher.
set(LSMAC_CONTACT "The lsmac developers <unpublished@lsmac.invalid>" CACHE STRING
    "The packages' maintainer: name and address of whoever publishes them")
set(CPACK_PACKAGE_CONTACT "${LSMAC_CONTACT}")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/staged-files.cmake)
set(CPACK_LSMAC_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_LSMAC_BINARY_DIR ${PROJECT_BINARY_DIR})
if(WIN32)
  install(TARGETS lsmac DESTINATION .)
  install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/NOTICES DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_SYSTEM_NAME win${bits})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/windows/installer.cmake)
  if(bits EQUAL 64)
    set(CPACK_LSMAC_MSI_ARCH x64)
  else()
    set(CPACK_LSMAC_MSI_ARCH x86)
  endif()
else()
  configure_file(packaging/lsmac.1.in lsmac.1 @ONLY)
  include(cmake/changelogs.cmake)
  install(TARGETS lsmac DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/lsmac.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB RPM)
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
         "lsmac prints the hardware (MAC) address of every network adapter the kernel\n"
         "reports, one line each in the kernel's order, as \"MAC Address: \" and six\n"
         "upper-case hexadecimal pairs joined by hyphens.")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "List the hardware addresses of the network adapters")

  # The packages' architectures come from the target's row. Building lsmac
  # needs no packaging tool: a kind whose tool is missing is left out.
  include(cmake/targets.cmake)
  lsmac_linux_target(package_target)
  find_program(LSMAC_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(LSMAC_RPMBUILD rpmbuild)
  if(NOT package_target)
    set(CPACK_GENERATOR "")
    message(STATUS "No .deb or .rpm: packaging/targets has no row for ${CMAKE_SYSTEM_PROCESSOR}")
  else()
    lsmac_target(${package_target})
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${package_target})
    set(CPACK_RPM_PACKAGE_ARCHITECTURE ${lsmac_rpm_arch})
  endif()
  if(NOT LSMAC_DPKG_SHLIBDEPS AND "DEB" IN_LIST CPACK_GENERATOR)
    list(REMOVE_ITEM CPACK_GENERATOR DEB)
    message(STATUS "No .deb: dpkg-shlibdeps is missing (Debian: dpkg-dev)")
  endif()
  if(NOT LSMAC_RPMBUILD AND "RPM" IN_LIST CPACK_GENERATOR)
    list(REMOVE_ITEM CPACK_GENERATOR RPM)
    message(STATUS "No .rpm: rpmbuild is missing (Debian: rpm; Fedora: rpm-build)")
  endif()

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack has no field for Built-Using, and writes the section's line as given.
  if(built_using)
    string(APPEND CPACK_DEBIAN_PACKAGE_SECTION "\nBuilt-Using: ${built_using}")
  endif()

  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  # A static executable needs nothing of the host; rpm would otherwise ask
  # for what a static PIE's dynamic section seems to want (rtld(GNU_HASH)).
  set(CPACK_RPM_PACKAGE_AUTOREQ no)
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
  # The same .rpm from every build of a commit: no build host, and every time
  # in it the commit's.
  string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
         "%define packager ${CPACK_PACKAGE_CONTACT}"
         "%define _buildhost lsmac"
         "%define use_source_date_epoch_as_buildtime 1"
         "%define clamp_mtime_to_source_date_epoch 1")
  set(CPACK_LSMAC_STATIC_PIE ${LSMAC_STATIC_PIE})
endif()
set(CPACK_PACKAGE_VENDOR "The lsmac developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-environment.cmake)
set(CPACK_LSMAC_SOURCE_DATE_EPOCH ${LSMAC_SOURCE_DATE_EPOCH})
# For the package test, which runs where CPack has left its source
# generators in CPACK_GENERATOR.
string(REPLACE ";" " " lsmac_package_generators "${CPACK_GENERATOR}")
include(CPack)
