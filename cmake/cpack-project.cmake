# Read by cpack once for each generator. The Debian package takes the
# program, its manual and README with the copyright file and changelog of the
# component "debian"; the archives take the plain install, with LICENSE.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 quorvel_build_dir)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${quorvel_build_dir};quorvel;Unspecified;/;${quorvel_build_dir};quorvel;debian;/")
endif()
