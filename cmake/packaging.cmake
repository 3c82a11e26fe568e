# Installation, and the packages built from it: a .deb on Linux, a .zip of the
# executable with the README and the license on Windows.
include(GNUInstallDirs)
if(WIN32)
  install(TARGETS lsmac DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_SYSTEM_NAME win${bits})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  configure_file(packaging/lsmac.1.in lsmac.1 @ONLY)
  configure_file(packaging/changelog.in changelog @ONLY)
  install(TARGETS lsmac DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/lsmac.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "list the hardware addresses of the network adapters\n"
         "lsmac prints the hardware (MAC) address of every network adapter the kernel\n"
         "reports, one line each in the kernel's order, as \"MAC Address: \" and six\n"
         "upper-case hexadecimal pairs joined by hyphens.")
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb-files.cmake)
  set(CPACK_LSMAC_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  set(CPACK_LSMAC_BINARY_DIR ${PROJECT_BINARY_DIR})
endif()
set(CPACK_PACKAGE_CONTACT "The lsmac developers <lsmac@users.noreply.github.com>")
set(CPACK_PACKAGE_VENDOR "The lsmac developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
