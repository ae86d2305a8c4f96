# What a statically linked program owes the libraries linked into it: the
# static Linux programs hold parts of the GNU C Library (LGPL 2.1 or later,
# which asks for its licence, its notices and a way to its source), the
# Windows programs parts of the MinGW-w64 runtime (whose licences ask for
# their notices). THIRD-PARTY, installed beside LICENSE, says which library
# from which Debian package, where that package's source is, and carries the
# package's copyright file (and the LGPL's text). A dynamic build links
# nothing in and installs no such file.
#
# A static Linux build also writes built-using: the Debian source package
# linked in ("glibc (= 2.36-9+deb12u14)"), for its Debian package's
# Built-Using field, which cpack cannot write (scripts/release adds it).
if(WIN32)
  set(quorvel_third_party_lib libmingwex.a)
  set(quorvel_third_party_name "The MinGW-w64 runtime")
  set(quorvel_third_party_licence
      "the Zope Public License 2.1, and the public-domain and\n  permissive licences the copyright file below lists")
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND quorvel_static)
  set(quorvel_third_party_lib libc.a)
  set(quorvel_third_party_name "The GNU C Library")
  set(quorvel_third_party_licence
      "the GNU Lesser General Public License, version 2.1 or later\n  (its text is at the end of this file)")
else()
  return()
endif()

# The library the compiler links, and the Debian package that holds it.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${quorvel_third_party_lib}
                OUTPUT_VARIABLE quorvel_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(quorvel_lib "${quorvel_lib}" REALPATH)
find_program(DPKG_QUERY dpkg-query)
set(quorvel_package "")
if(DPKG_QUERY AND EXISTS "${quorvel_lib}")
  execute_process(COMMAND ${DPKG_QUERY} -S "${quorvel_lib}" OUTPUT_VARIABLE quorvel_package
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "[:,].*$" "" quorvel_package "${quorvel_package}")
endif()
set(quorvel_copyright /usr/share/doc/${quorvel_package}/copyright)
set(quorvel_lgpl /usr/share/common-licenses/LGPL-2.1)
if(quorvel_package STREQUAL "" OR NOT EXISTS ${quorvel_copyright}
   OR (NOT WIN32 AND NOT EXISTS ${quorvel_lgpl}))
  message(WARNING "No Debian package found for ${quorvel_lib}: THIRD-PARTY, the notice of "
                  "${quorvel_third_party_name} linked into the program, is not installed")
  return()
endif()
execute_process(
  COMMAND ${DPKG_QUERY} -W -f=\${Version}\n\${source:Package}\n\${source:Version} ${quorvel_package}
  OUTPUT_VARIABLE quorvel_versions OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "\n" ";" quorvel_versions "${quorvel_versions}")
list(GET quorvel_versions 0 quorvel_package_version)
list(GET quorvel_versions 1 quorvel_source)
list(GET quorvel_versions 2 quorvel_source_version)
if(NOT WIN32)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/built-using
       "${quorvel_source} (= ${quorvel_source_version})\n")
endif()

if(WIN32)
  set(quorvel_program quorvel.exe)
  set(quorvel_licence_file LICENSE.txt)
  set(quorvel_relink "")
else()
  set(quorvel_program "The program quorvel")
  set(quorvel_licence_file LICENSE)
  set(quorvel_relink "  Relinking: to link quorvel with a C library of your own, as the LGPL
  allows, build quorvel from its source, published with each release (its
  README tells how); a static build links the libc.a its compiler finds.
")
endif()
set(quorvel_notice "${quorvel_program} is linked statically: besides quorvel's own code (MIT
licence, in ${quorvel_licence_file}) it holds parts of these libraries.

${quorvel_third_party_name}
  Licence: ${quorvel_third_party_licence}.
  Notices: the copyright file of the Debian package it was linked from,
  below.
  From: Debian's package ${quorvel_package} ${quorvel_package_version}, built from the
  source package ${quorvel_source} ${quorvel_source_version}.
  Source: https://snapshot.debian.org/package/${quorvel_source}/${quorvel_source_version}/
${quorvel_relink}
GCC's runtime libraries (libstdc++, libgcc)
  Licence: the GNU General Public License, version 3 or later, with the GCC
  Runtime Library Exception, which sets no condition on a program compiled
  with GCC.
")
file(READ ${quorvel_copyright} quorvel_copyright_text)
set(quorvel_notice "${quorvel_notice}
======== ${quorvel_package}: copyright
${quorvel_copyright_text}")
if(NOT WIN32)
  file(READ ${quorvel_lgpl} quorvel_lgpl_text)
  set(quorvel_notice "${quorvel_notice}
======== GNU Lesser General Public License, version 2.1
${quorvel_lgpl_text}")
endif()
if(WIN32)
  # CR LF line ends, as Windows' text files have them.
  string(REPLACE "\r\n" "\n" quorvel_notice "${quorvel_notice}")
  string(REPLACE "\n" "\r\n" quorvel_notice "${quorvel_notice}")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY "${quorvel_notice}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${quorvel_copyright})
if(WIN32)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY DESTINATION . RENAME THIRD-PARTY.txt)
else()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
