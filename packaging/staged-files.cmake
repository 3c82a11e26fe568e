# Run by CPack on the staged files before it builds a package: the .deb and the
# .rpm want the manual page compressed, Debian the copyright and changelog
# beside it and lintian told why the executable is linked as it is, RPM the
# license and the notices where licences go. On Windows, with
# LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY set, lsmac.exe is signed here,
# after CPack stripped it and before it is packed.
if(CPACK_GENERATOR MATCHES "^(DEB|RPM)$")
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share")
  execute_process(COMMAND gzip -9n "${root}/man/man1/lsmac.1" COMMAND_ERROR_IS_FATAL ANY)
endif()
if(CPACK_GENERATOR STREQUAL "RPM")
  file(COPY "${CPACK_LSMAC_SOURCE_DIR}/LICENSE" "${CPACK_LSMAC_BINARY_DIR}/NOTICES"
       DESTINATION "${root}/licenses/lsmac")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(doc "${root}/doc/lsmac")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY "${CPACK_LSMAC_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc}")
  file(COPY "${CPACK_LSMAC_BINARY_DIR}/changelog" DESTINATION "${doc}")
  file(RENAME "${doc}/changelog" "${doc}/changelog.Debian")
  execute_process(COMMAND gzip -9n "${doc}/changelog.Debian" COMMAND_ERROR_IS_FATAL ANY)
  if(CPACK_LSMAC_STATIC_PIE)
    set(override "# A static PIE has a dynamic section but needs no shared library.\n"
                 "lsmac: shared-library-lacks-prerequisites [usr/bin/lsmac]\n")
  else()
    set(override "# Static by design: it runs on any system, and this C library has no static PIE.\n"
                 "lsmac: statically-linked-binary [usr/bin/lsmac]\n")
  endif()
  file(MAKE_DIRECTORY "${root}/lintian/overrides")
  file(WRITE "${root}/lintian/overrides/lsmac" ${override})
elseif(CPACK_GENERATOR STREQUAL "ZIP" AND NOT "$ENV{LSMAC_CODESIGN_CERT}$ENV{LSMAC_CODESIGN_KEY}" STREQUAL "")
  set(exe "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/lsmac.exe")
  execute_process(COMMAND "${CPACK_LSMAC_SOURCE_DIR}/packaging/windows/codesign.sh" "${exe}" "${exe}.signed"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot sign lsmac.exe with LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY: ${output}")
  endif()
  file(RENAME "${exe}.signed" "${exe}")
endif()
