# `cpack -G DEB` in a build directory makes one Debian package holding
# everything the install rules install. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr so the paths written into vrelay.pc and the
# programs match where the package puts them.
set(CPACK_PACKAGE_NAME vrelay)
set(CPACK_PACKAGE_VENDOR "vrelay developers")
set(CPACK_PACKAGE_CONTACT "vrelay developers <vrelay@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "client library, reference server and command-line tool for a text-to-speech server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Run-time dependencies come from dpkg-shlibdeps; the library itself is in the
# package, so its directory counts as private.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/client)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, python3")
include(CPack)
