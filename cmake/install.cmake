# SPDX-License-Identifier: MIT
# Install rules: the shared library with its SONAME links, the headers, the
# programs, the man pages, the Python package, a pkg-config file and a
# CMake package (find_package(vrelay) gives vrelay::vrelay). Paths follow
# GNUInstallDirs, so a /usr prefix puts the library under lib/<multiarch>.
include(CMakePackageConfigHelpers)

set(VRELAY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vrelay)

install(TARGETS vrelay_shared EXPORT vrelayTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vrelay
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

# The programs find the library beside them unless it lands in a directory
# the dynamic linker searches anyway.
list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} _vrelay_system_libdir)
foreach(program vrelay-say vrelay-web)
  if(_vrelay_system_libdir EQUAL -1 AND TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()
# The tools are Linux-only; server/ installs the server and its service file,
# web/ vrelay-web and its service file.
if(TARGET vrelay-say)
  install(TARGETS vrelay-say vrelay-text RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Debian's python3 searches /usr/lib/python3/dist-packages; under another
# prefix point PYTHONPATH there. The package finds the library from there.
set(VRELAY_PYTHON_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python package installs, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/vrelay DESTINATION ${VRELAY_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
# Its dist-info folder, by which importlib.metadata and pip know it is
# installed; the summary is the description in pyproject.toml.
file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml _vrelay_python_summary
     REGEX "^description = ")
string(REGEX REPLACE "^description = \"(.*)\"$" "\\1" _vrelay_python_summary
       "${_vrelay_python_summary}")
set(_vrelay_dist_info ${PROJECT_BINARY_DIR}/python-dist-info/vrelay-${PROJECT_VERSION}.dist-info)
file(WRITE ${_vrelay_dist_info}/METADATA
     "Metadata-Version: 2.1\nName: vrelay\nVersion: ${PROJECT_VERSION}\n"
     "Summary: ${_vrelay_python_summary}\n")
file(WRITE ${_vrelay_dist_info}/top_level.txt "vrelay\n")
install(DIRECTORY ${_vrelay_dist_info} DESTINATION ${VRELAY_PYTHON_DIR})

# vrelay.pc finds the prefix from its own folder (<libdir>/pkgconfig): one
# ".." per component of the library folder, and one for pkgconfig itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "vrelay.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR "
                      "relative to the prefix")
endif()
string(REGEX REPLACE "[^/]+" ".." VRELAY_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vrelay.pc.in ${PROJECT_BINARY_DIR}/vrelay.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vrelay.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT vrelayTargets NAMESPACE vrelay:: DESTINATION ${VRELAY_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vrelayConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vrelayConfig.cmake
                              INSTALL_DESTINATION ${VRELAY_CMAKE_DIR})
# The SONAME carries the major version, so any release with the same major
# version satisfies a request.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vrelayConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vrelayConfig.cmake
              ${PROJECT_BINARY_DIR}/vrelayConfigVersion.cmake
        DESTINATION ${VRELAY_CMAKE_DIR})

# The build tree is a package too: find_package(vrelay) with
# vrelay_DIR=<build dir> uses the library where it was built.
export(EXPORT vrelayTargets NAMESPACE vrelay:: FILE ${PROJECT_BINARY_DIR}/vrelayTargets.cmake)
