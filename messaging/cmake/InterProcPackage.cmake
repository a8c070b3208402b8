# The installed package: CMake files for find_package(InterProc) and
# pkg-config files for everyone else.
include(CMakePackageConfigHelpers)

set(INTERPROC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/InterProc)
install(EXPORT InterProcTargets NAMESPACE InterProc::
    DESTINATION ${INTERPROC_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/InterProcConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/InterProcConfig.cmake
    INSTALL_DESTINATION ${INTERPROC_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/InterProcConfigVersion.cmake
    VERSION ${INTERPROC_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/InterProcConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/InterProcConfigVersion.cmake
    DESTINATION ${INTERPROC_CMAKE_DIR} COMPONENT Development)

# The .pc files find the prefix from their own place, so they hold for any
# install prefix, also one given only to cmake --install.
file(RELATIVE_PATH INTERPROC_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" INTERPROC_PC_TO_PREFIX "${INTERPROC_PC_TO_PREFIX}")
foreach(pc InterProcCore InterProcWidgets)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endforeach()
