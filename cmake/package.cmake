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
