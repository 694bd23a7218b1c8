# Installation for C and C++ integrators: the public headers, the core library, a CMake package
# configuration (find_package(vrel) gives the target vrel::core) and a pkg-config file (vrel.pc).
#
# Two layouts, both relocatable (the configuration and the .pc file locate everything relative to
# themselves):
#   cmake --install    <prefix>/include/vrel, <prefix>/<libdir>/libvrel_core.so*,
#                      <prefix>/<libdir>/cmake/vrel, <prefix>/<libdir>/pkgconfig/vrel.pc
#   a wheel (SKBUILD)  the package folder vrel/ is the prefix: vrel/include/vrel, the core beside
#                      the PyTorch module (vrel/libvrel_core.so.1, installed by adapters/pytorch),
#                      vrel/lib/cmake/vrel, vrel/lib/pkgconfig/vrel.pc
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(SKBUILD)
  set(VREL_INSTALL_ROOT vrel/)
  set(VREL_INSTALL_INCLUDEDIR include)
  set(VREL_INSTALL_LIBDIR lib)
  set(VREL_INSTALL_CORE libvrel_core.so.1)    # a wheel holds no symbolic links
  set(VREL_PKGCONFIG_LINK "-l:libvrel_core.so.1 -Wl,-rpath,\${libdir}")
  set(VREL_PKGCONFIG_LIBDIR "\${prefix}")
else()
  set(VREL_INSTALL_ROOT "")
  set(VREL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(VREL_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(VREL_INSTALL_CORE ${CMAKE_INSTALL_LIBDIR}/libvrel_core.so.1)
  set(VREL_PKGCONFIG_LINK "-lvrel_core")
  set(VREL_PKGCONFIG_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vrel_core LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
set(VREL_INSTALL_CMAKEDIR ${VREL_INSTALL_LIBDIR}/cmake/vrel)
set(VREL_INSTALL_PKGCONFIGDIR ${VREL_INSTALL_LIBDIR}/pkgconfig)

# The way back from the configuration and the .pc file to the prefix.
file(RELATIVE_PATH VREL_CMAKEDIR_TO_ROOT /prefix/${VREL_INSTALL_CMAKEDIR} /prefix)
file(RELATIVE_PATH VREL_PKGCONFIGDIR_TO_ROOT /prefix/${VREL_INSTALL_PKGCONFIGDIR} /prefix)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/vrel
        DESTINATION ${VREL_INSTALL_ROOT}${VREL_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vrelConfig.cmake.in
               ${CMAKE_BINARY_DIR}/install/vrelConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/vrelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vrel.pc.in ${CMAKE_BINARY_DIR}/install/vrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/vrelConfig.cmake
              ${CMAKE_BINARY_DIR}/install/vrelConfigVersion.cmake
        DESTINATION ${VREL_INSTALL_ROOT}${VREL_INSTALL_CMAKEDIR})
install(FILES ${CMAKE_BINARY_DIR}/install/vrel.pc
        DESTINATION ${VREL_INSTALL_ROOT}${VREL_INSTALL_PKGCONFIGDIR})
