# Run by CPack after it made the .zip: the installer from the same staged
# files, beside it.
execute_process(COMMAND "${CPACK_LSMAC_SOURCE_DIR}/packaging/windows/msi.sh" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
                        "${CPACK_PACKAGE_VERSION}" "${CPACK_LSMAC_MSI_ARCH}"
                        "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi"
                COMMAND_ERROR_IS_FATAL ANY)
