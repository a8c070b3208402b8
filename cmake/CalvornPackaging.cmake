# Debian packages built with `cpack -G DEB` in the build folder:
#   libinterproc1 holds both shared libraries, libinterproc-dev the headers, CMake and
#   pkg-config files and the bus contract, interproc-tools the interproc command,
#   calvorntest the program, qml6-module-interproc the QML module InterProc.
set(CPACK_PACKAGE_NAME calvorn)
set(CPACK_PACKAGE_VENDOR "Calvorn")
set(CPACK_PACKAGE_CONTACT "CalvornTest developers <calvorn@localhost>")
set(CPACK_PACKAGE_VERSION ${INTERPROC_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "InterProc messaging over the D-Bus session bus")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL Runtime Development Tools Program Qml)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# dpkg-shlibdeps finds the program's InterProc libraries in the build tree;
# the dependency on libinterproc1 comes from the component dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/messaging/core ${CMAKE_BINARY_DIR}/messaging/widgets)

set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS Runtime)
set(CPACK_COMPONENT_PROGRAM_DEPENDS Runtime)
set(CPACK_COMPONENT_QML_DEPENDS Runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libinterproc1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# libInterProcCore talks to the bus through sd-bus; dpkg-shlibdeps finds it
# too, this names it for builds without shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libsystemd0")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "InterProc libraries\n The InterProc messaging component: libInterProcCore (endpoints for any\n program) and libInterProcWidgets (the control a Qt window hosts).")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libinterproc-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "InterProc development files\n Headers, CMake package, pkg-config files and the D-Bus interface\n description of the InterProc messaging component.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME interproc-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Command-line tool for InterProc windows\n The interproc command lists the windows that host InterProc on the\n D-Bus session bus, sends them payloads by caption, caption prefix or\n handle, and watches for payloads as a party of its own.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME calvorntest)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION x11)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
    "Desktop test program for InterProc\n Several copies exchange numbers and texts through InterProc; the first\n copy is the server, later ones clients.")

# Named as Debian names QML modules (qml6-module-qtquick and the like).
set(CPACK_DEBIAN_QML_PACKAGE_NAME qml6-module-interproc)
set(CPACK_DEBIAN_QML_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_QML_DESCRIPTION
    "QML module InterProc\n The type InterProcEndpoint for QML programs (import InterProc): sends\n numbers and texts to the windows that host InterProc and receives theirs.")

include(CPack)
