# Installation of the runtime library for applications built outside this tree:
# the library with its version and soname links, the public headers under include/korvel/,
# a CMake package (korvel::korvelrt), a pkg-config file, the tools, and a Debian package (CPack).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The headers an application includes directly. Everything they include from this tree is
# installed with them (the closure below), so each installed header compiles on its own.
set(KORVEL_PUBLIC_ENTRY_HEADERS
  engine/session.h
  support/errors.h
  support/data_types.h
  engine/data_table.h
  engine/data_cursor.h
  engine/table_transfer.h   # import and export of delimited text
  engine/table_image.h
  engine/table_maintenance.h
  engine/table_repair.h     # verification and repair
  engine/table_upgrade.h    # conversion of older format versions
  engine/data_filter.h
  support/key_encoding.h)   # IndexedSize, for the key sizes of index definitions

# korvel_header_closure(out entries...): every header of this tree reachable through
# #include "..." from the entries, the entries included. Quoted includes name paths from the
# repository root; an .inc file counts as a header.
function(korvel_header_closure out)
  set(pending ${ARGN})
  set(seen "")
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST seen OR NOT EXISTS ${CMAKE_SOURCE_DIR}/${header})
      continue()
    endif()
    list(APPEND seen ${header})
    file(STRINGS ${CMAKE_SOURCE_DIR}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*$" "\\1" included "${line}")
      list(APPEND pending ${included})
    endforeach()
  endwhile()
  list(SORT seen)
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

korvel_header_closure(KORVEL_PUBLIC_HEADERS ${KORVEL_PUBLIC_ENTRY_HEADERS})
foreach(header IN LISTS KORVEL_PUBLIC_HEADERS)
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvel/${header_dir}
          COMPONENT development)
endforeach()
# The list the install test checks header by header.
string(REPLACE ";" "\n" public_header_lines "${KORVEL_PUBLIC_HEADERS}")
file(WRITE ${CMAKE_BINARY_DIR}/korvel_public_headers.txt "${public_header_lines}\n")

install(TARGETS korvelrt EXPORT korvelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvel ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT korvelTargets NAMESPACE korvel:: FILE korvelTargets.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvel COMPONENT development)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/korvelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/korvelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/korvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/korvelConfig.cmake ${CMAKE_BINARY_DIR}/korvelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvel COMPONENT development)

# pkg-config: paths relative to the prefix the file is installed under, so a copied tree works.
string(REGEX REPLACE "[^/]+" ".." KORVEL_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_SOURCE_DIR}/cmake/korvel.pc.in ${CMAKE_BINARY_DIR}/korvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/korvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

set_target_properties(korvel PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS korvel helpclean RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvel COMPONENT runtime)

# Debian package: one package with library, headers and tools; the shared-library dependencies
# (ICU, zlib, the C and C++ runtimes) come from dpkg-shlibdeps, ICU and zlib named as well.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VENDOR "KORVEL")
set(CPACK_PACKAGE_CONTACT "KORVEL developers <korvel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Embedded, file-based database engine: runtime library, headers and tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libicu-dev, zlib1g-dev")
set(CPACK_STRIP_FILES ON)
include(CPack)
