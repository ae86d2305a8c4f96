# Packages, made with cpack from a build folder: on Linux a Debian package
# (cpack -G DEB) and a release archive (cpack -G TGZ), a zip (cpack -G ZIP)
# for Windows.
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR quorvel)
set(CPACK_PACKAGE_CONTACT "quorvel maintainers <maintainers@quorvel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "show exactly what HTTP clients send")
set(CPACK_PACKAGE_DESCRIPTION
    "quorvel listens on one TCP port, prints every HTTP request it receives to\n"
    "standard output byte for byte (request line, header fields, blank line and\n"
    "body) and answers each with the same short 200 reply. Point webhooks,\n"
    "devices, scripts and proxies at it while debugging them.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)

# Debian: the usual file name, and the target's architecture for a cross
# build (dpkg would name the build machine's).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i.86$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

# What only the Debian package holds, in /usr/share/doc/quorvel: the licence
# as a machine-readable copyright file, made from LICENSE, and CHANGELOG
# (kept in Debian's changelog format) as changelog.gz. They are in the
# component "debian", which a plain install leaves out; the package takes it
# instead of the component "licence" (see cmake/cpack-project.cmake).
if(NOT WIN32)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE quorvel_licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" quorvel_notice "${quorvel_licence}")
  set(quorvel_notice "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" quorvel_terms "${quorvel_licence}")
  string(REGEX REPLACE "\n+$" "" quorvel_terms "${quorvel_terms}")
  string(REPLACE "\n\n" "\n.\n" quorvel_terms "${quorvel_terms}")
  string(REPLACE "\n" "\n " quorvel_terms "${quorvel_terms}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${quorvel_notice}
License: Expat

License: Expat
 ${quorvel_terms}
")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  add_custom_command(OUTPUT changelog.gz
                     COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/CHANGELOG > changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
  if(quorvel_static)
    # lintian takes a static-pie program for a shared library.
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides
"# A static-pie program is an ELF shared object that needs no library, so it
# lists none.
${PROJECT_NAME}: shared-library-lacks-prerequisites [usr/bin/${PROJECT_NAME}]
")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${PROJECT_NAME}
            COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)

# Windows: quorvel-1.0.0-win32.zip or -win64.zip, files at its top.
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # quorvel-1.0.0-linux-aarch64.tar.gz, holding quorvel-1.0.0-linux-aarch64/
  # with bin/, share/man/ and share/doc/ below it: made from the static builds.
  set(CPACK_PACKAGE_FILE_NAME
      ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR "DEB;TGZ")
endif()
include(CPack)
