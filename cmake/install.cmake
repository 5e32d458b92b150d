# `cmake --install` puts the binary and the man page under the prefix;
# `cpack -G DEB` builds a Debian package of the same files.
include(GNUInstallDirs)
install(TARGETS strmfix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/strmfix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME strmfix)
set(CPACK_PACKAGE_VENDOR "strmfix developers")
set(CPACK_PACKAGE_CONTACT "strmfix developers <strmfix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repairs GDSII stream files with misframed COLROW records")
set(CPACK_PACKAGE_DESCRIPTION "strmfix copies a GDSII stream file record by record and rewrites each\nCOLROW record written with 4-byte counts into its well-formed 8-byte form.\nIt reads and writes gzip-compressed streams and works in pipelines.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "strmfix developers <strmfix@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), zlib1g (>= 1:1.2.3)")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
