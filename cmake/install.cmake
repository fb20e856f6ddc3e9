# SPDX-License-Identifier: Apache-2.0
# Installation: `cmake --install <build> --prefix P` puts
#   P/bin/realcam                     the reference host and lens tools
#   P/lib/realcam/realistic.so        the camera plug-in
#   P/lib/librealcam_core.so          the host interface, for host authors
#   P/include/realcam/core/*.h        its headers, and realistic.h, the
#                                     plug-in's entry points for hosts
#   P/lib/librealcam.so, P/include/realcam/realcam.h
#                                     the C interface
#   P/lib/python3/dist-packages       the Python module realcam
#   P/share/doc/realcam               copyright, licence, the README (the
#                                     tools' manual), the host guide and its
#                                     minimal host
#   P/lib/cmake/realcam, P/lib/pkgconfig/realcam.pc
#   P/share/realcam/lenses            the lens library
# and `cpack` (make package) makes a Debian package of the same tree.
include(CMakePackageConfigHelpers)

set(REALCAM_INSTALL_PLUGINDIR lib/realcam)
set(REALCAM_INSTALL_LENSDIR share/realcam/lenses)

# The host interface as a shared library: a host that links it carries
# every symbol a plug-in resolves from the loading program.
add_library(realcam_core_shared SHARED $<TARGET_OBJECTS:realcam_core>)
set_target_properties(realcam_core_shared PROPERTIES
    OUTPUT_NAME realcam_core EXPORT_NAME core
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
target_include_directories(realcam_core_shared INTERFACE
    $<INSTALL_INTERFACE:include> $<INSTALL_INTERFACE:include/realcam>)
target_compile_features(realcam_core_shared INTERFACE cxx_std_17)

install(TARGETS realcam_core_shared EXPORT realcamTargets
        LIBRARY DESTINATION lib ARCHIVE DESTINATION lib)
install(FILES core/camera.h core/core.h core/error.h core/film.h core/geometry.h core/paramset.h
              core/sampling.h core/transform.h
        DESTINATION include/realcam/core)
install(FILES realistic/realistic.h realistic/realistic_batch.h capi/realcam.h DESTINATION include/realcam)
if(TARGET realcam_c)
  install(TARGETS realcam_c EXPORT realcamTargets LIBRARY DESTINATION lib)
endif()
install(FILES packaging/copyright LICENSE README.md docs/hosts.md docs/minimal_host.cpp
        DESTINATION share/doc/realcam)
install(TARGETS realistic LIBRARY DESTINATION ${REALCAM_INSTALL_PLUGINDIR})
install(DIRECTORY lenses/ DESTINATION ${REALCAM_INSTALL_LENSDIR} FILES_MATCHING PATTERN "*.dat")
if(REALCAM_HOST)
  install(TARGETS realcam RUNTIME DESTINATION bin)
endif()

install(EXPORT realcamTargets NAMESPACE realcam:: DESTINATION lib/cmake/realcam)
configure_package_config_file(cmake/realcamConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/realcamConfig.cmake
    INSTALL_DESTINATION lib/cmake/realcam
    PATH_VARS REALCAM_INSTALL_PLUGINDIR REALCAM_INSTALL_LENSDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/realcamConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/realcamConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/realcamConfigVersion.cmake
        DESTINATION lib/cmake/realcam)
# The .pc file is written at install time, for the prefix actually used.
install(CODE "
  set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  # Outside /usr the loader does not search the library's directory:
  # the flags carry a run-time path there.
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(REALCAM_PC_RPATH \"\")
  else()
    set(REALCAM_PC_RPATH \" -Wl,-rpath,\${CMAKE_INSTALL_PREFIX}/lib\")
  endif()
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/realcam.pc.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/realcam.pc\" @ONLY)
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/realcam.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/pkgconfig\")")

# A Debian package: realcam_<version>_<arch>.deb, with the runtime
# dependencies (libpng, OpenEXR, the C++ library) found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME realcam)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The package's maintainer: the project. The project has no mail address
# of its own yet (.invalid says so rather than pretend); whoever builds a
# package to ship names themselves with -DREALCAM_MAINTAINER="Name <address>".
set(REALCAM_MAINTAINER "The realcam project <maintainers@realcam.invalid>"
    CACHE STRING "the Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${REALCAM_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "renders scenes through real multi-element lenses: camera plug-in, reference host, lens tools")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The Python module links no libpython (shlibdeps cannot see it) and needs
# numpy when imported.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-numpy")
include(CPack)
