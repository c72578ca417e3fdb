# What `make install` puts beside the tools, and the Debian package of them
# (`make package`: CPack's DEB generator over the same install rules).
#
# Installed under the prefix (/usr in the package):
#   bin/tonemap, bin/tm-settings                     (cli/CMakeLists.txt)
#   share/man/man1/tonemap.1.gz, tm-settings.1.gz    the manual pages, gzip -9n
#   share/doc/kestrimond-tonemap/README.md, copyright, changelog.gz
#                                                    the README, the licence and the
#                                                    release history (docs/changelog)
#
# The package's run-time dependencies come from dpkg-shlibdeps (dpkg-dev, with
# `file` to find the ELF files), so they follow whatever the build linked.

include(GNUInstallDirs)

set(TM_PACKAGE_NAME kestrimond-tonemap)

# The manual pages carry the project's version in their footer; installed
# compressed, with neither name nor time stamp in the gzip header (-n) so that
# the same page always gives the same bytes.
find_program(TM_GZIP gzip REQUIRED)
set(_tm_man_pages)
foreach(page tonemap.1 tm-settings.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${TM_GZIP} -9n -c ${page} > ${page}.gz
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
    VERBATIM)
  list(APPEND _tm_man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(tm_man_pages ALL DEPENDS ${_tm_man_pages})
install(FILES ${_tm_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian policy: the licence as "copyright" in the package's own doc folder.
set(TM_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TM_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TM_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${TM_DOC_DIR} RENAME copyright)
# The release history, in Debian's changelog format; its newest entry names this
# version (the package test checks it).
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${TM_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/changelog > changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  VERBATIM)
add_custom_target(tm_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${TM_DOC_DIR})

# Folders the install creates are 0755 unless the umask takes more away (mkdir
# applies it); the package's folders are set to 0755 after staging, whatever the
# umask (TMPackageFolders.cmake).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TM_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quarrystone)
set(CPACK_PACKAGE_CONTACT "Quarrystone <support@quarrystone.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tone-map high-dynamic-range images from the command line")
# Debian's extended description: lines of at most 80 characters, as dpkg shows them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tonemap compresses the range of brightness of 16- and 32-bit images\n"
  "(OpenEXR, Radiance HDR, PFM, TIFF, PNG, PPM) into one a screen or a print\n"
  "can show, keeping the local detail of both shadows and highlights. It runs\n"
  "the same gradient-domain filter, with the same settings, as the Kestrimond\n"
  "Tone Mapping plug-in for image editors, on one image or a whole folder.\n"
  "tm-settings shows, reads and writes the filter's XMP settings files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/TMPackageFolders.cmake)
# Only the binary package; the source tree is in git.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
