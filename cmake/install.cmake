# make install: the library with its soname links, the header, the command,
# a pkg-config file and a CMake package (find_package(vexal) gives
# vexal::vexal).
include(CMakePackageConfigHelpers)

set(VEXAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexal)

install(TARGETS vexal EXPORT vexalTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vexal.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vexal_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT vexalTargets NAMESPACE vexal:: DESTINATION ${VEXAL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vexalConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vexalConfig.cmake
                              INSTALL_DESTINATION ${VEXAL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vexalConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vexalConfig.cmake ${PROJECT_BINARY_DIR}/vexalConfigVersion.cmake
        DESTINATION ${VEXAL_CMAKE_DIR})

# The .pc file names paths relative to its own prefix so that a staged
# install (cmake --install --prefix) and a moved tree find their files.
file(RELATIVE_PATH VEXAL_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vexal.pc.in ${PROJECT_BINARY_DIR}/vexal.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
