# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
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

# The .pc files name the prefix they are installed under as it is, so that
# pkg-config prints plain paths (-I/usr/include/InterProc): the prefix is
# filled in at install time, which also holds for a prefix given only to
# cmake --install.
set(INTERPROC_INSTALL_PREFIX "@INTERPROC_INSTALL_PREFIX@")
foreach(pc InterProcCore InterProcWidgets)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc.in @ONLY)
    install(CODE "
        set(INTERPROC_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
        configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc.in\"
            \"${CMAKE_CURRENT_BINARY_DIR}/installed/${pc}.pc\" @ONLY)"
        COMPONENT Development)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/installed/${pc}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endforeach()
