# Run by CPack on the staged files before it builds the .deb: Debian wants the
# manual page compressed, the copyright and changelog beside it, and lintian
# told that a static PIE executable needs no shared library.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share")
  set(doc "${root}/doc/lsmac")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY "${CPACK_LSMAC_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc}")
  file(COPY "${CPACK_LSMAC_BINARY_DIR}/changelog" DESTINATION "${doc}")
  file(RENAME "${doc}/changelog" "${doc}/changelog.Debian")
  file(MAKE_DIRECTORY "${root}/lintian/overrides")
  file(WRITE "${root}/lintian/overrides/lsmac"
       "lsmac: shared-library-lacks-prerequisites [usr/bin/lsmac]\n")
  execute_process(COMMAND gzip -9n "${doc}/changelog.Debian" "${root}/man/man1/lsmac.1"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
