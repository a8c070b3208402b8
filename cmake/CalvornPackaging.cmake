# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Debian packages built with `cpack -G DEB` in the build folder, one for each
# install component:
#   CoreLibrary     libinterproccore1       libInterProcCore.so.1
#   WidgetsLibrary  libinterprocwidgets1    libInterProcWidgets.so.1
#   Development     libinterproc-dev        headers, CMake and pkg-config files,
#                                           the bus contract
#   Documentation   libinterproc-doc        the HTML API reference
#   Tools           interproc-tools         the interproc command
#   Program         calvorntest             the window program
#   Qml             qml6-module-interproc   the QML module InterProc
# and a -dbgsym package (.ddeb) with the debug symbols of each that holds
# programs or libraries. scripts/check-install.sh runs lintian on them.
set(CALVORN_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)

set(CALVORN_PACKAGE_MAINTAINER
    "The CalvornTest developers <maintainers@users.noreply.c-seed-75fecd03.example>"
    CACHE STRING "The Maintainer field of the Debian packages")
# The Debian revision of the packages: bump it for a packaging change of the
# same upstream version, with an entry in cmake/debian/changelog.
set(CALVORN_DEBIAN_REVISION 1)

set(CPACK_PACKAGE_NAME interproc)
set(CPACK_PACKAGE_VENDOR "The CalvornTest developers")
set(CPACK_PACKAGE_CONTACT "${CALVORN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${INTERPROC_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install runs with the package's own prefix (and DESTDIR for the staging
# folder), so what is written at install time, such as the pkg-config files,
# names /usr and not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL CoreLibrary WidgetsLibrary Development Tools Program Qml)
# A build without Doxygen (-DCALVORN_BUILD_DOCS=OFF) makes no libinterproc-doc.
if(CALVORN_BUILD_DOCS)
    list(APPEND CPACK_COMPONENTS_ALL Documentation)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CALVORN_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE interproc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# dpkg-shlibdeps finds the InterProc libraries in the build tree; the
# dependencies on their packages come from the component dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/messaging/core ${CMAKE_BINARY_DIR}/messaging/widgets)
# Binaries are stripped; their debug symbols go into -dbgsym packages.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# A shlibs file for each library package; a library package's version is
# its ABI's, hence the >= of Debian's own libraries.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Read by cpack itself: drops the package-wide summary that CPack would put
# in front of every component's description.
set(CPACK_PROJECT_CONFIG_FILE ${CALVORN_DEBIAN_DIR}/CPackOptions.cmake)
# CPack writes postinst and postrm scripts that call ldconfig into a package
# with libraries; Debian's trigger does that job, so they are dropped.
set(CPACK_POST_BUILD_SCRIPTS ${CALVORN_DEBIAN_DIR}/FinishPackages.cmake)

set(CPACK_COMPONENT_WIDGETSLIBRARY_DEPENDS CoreLibrary)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS CoreLibrary WidgetsLibrary)
set(CPACK_COMPONENT_TOOLS_DEPENDS CoreLibrary)
set(CPACK_COMPONENT_PROGRAM_DEPENDS WidgetsLibrary)
set(CPACK_COMPONENT_QML_DEPENDS CoreLibrary)

# calvorn_debian_package(<component> <package> <section> <description>)
# Names a component's package and installs what Debian wants in each: the
# copyright file, the Debian and upstream changelogs, and lintian's
# overrides (cmake/debian/lintian-overrides, each with its reason). These go
# into the packages only, not into `cmake --install`.
function(calvorn_debian_package component package section description)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section} PARENT_SCOPE)
    set(CPACK_COMPONENT_${upper}_DESCRIPTION "${description}" PARENT_SCOPE)
    install(FILES
        ${CMAKE_BINARY_DIR}/debian/copyright
        ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
        ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${CALVORN_DEBIAN_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

calvorn_debian_package(CoreLibrary libinterproccore1 libs
    "messaging between Qt programs over the D-Bus session bus - core library
InterProc carries numbers and texts between Qt programs over the D-Bus
session bus, or past it on direct channels, and reports the outcome of
every delivery.
.
This package holds libInterProcCore: the window-less endpoint for console
tools and daemons, and all the messaging. It needs QtCore alone.")
calvorn_debian_package(WidgetsLibrary libinterprocwidgets1 libs
    "messaging between Qt programs over the D-Bus session bus - widgets library
InterProc carries numbers and texts between Qt programs over the D-Bus
session bus, or past it on direct channels, and reports the outcome of
every delivery.
.
This package holds libInterProcWidgets: the InterProc control that a Qt
window hosts, which takes the window's title as its address, and its
about box.")
calvorn_debian_package(Development libinterproc-dev libdevel
    "messaging between Qt programs over the D-Bus session bus - development files
InterProc carries numbers and texts between Qt programs over the D-Bus
session bus, or past it on direct channels, and reports the outcome of
every delivery.
.
This package holds the headers, the CMake package (find_package(InterProc)),
the pkg-config files InterProcCore and InterProcWidgets, the D-Bus
interface description and the bus contract.")
calvorn_debian_package(Tools interproc-tools utils
    "command-line tool to list and message InterProc windows
The interproc command lists the windows that host InterProc on the D-Bus
session bus, sends them payloads by caption, caption prefix or handle, and
watches for payloads as a party of its own. It needs no display.")
calvorn_debian_package(Program calvorntest x11
    "desktop test program for InterProc messaging
Several copies of CalvornTest exchange numbers and texts through InterProc;
the first copy is the server, later ones clients. Each copy logs what it
receives and acknowledges it.")
# Named as Debian names QML modules (qml6-module-qtquick and the like).
calvorn_debian_package(Qml qml6-module-interproc libs
    "QML module for InterProc messaging over the D-Bus session bus
The type InterProcEndpoint for QML programs (import InterProc): sends
numbers and texts to the windows that host InterProc and receives theirs.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qt6-base-dev")
if(CALVORN_BUILD_DOCS)
    calvorn_debian_package(Documentation libinterproc-doc doc
        "messaging between Qt programs over the D-Bus session bus - API reference
InterProc carries numbers and texts between Qt programs over the D-Bus
session bus, or past it on direct channels, and reports the outcome of
every delivery.
.
This package holds the API reference of InterProc's public headers in
HTML, member by member with a worked example.")
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "libinterproc-doc")
    set(CPACK_DEBIAN_DOCUMENTATION_PACKAGE_ARCHITECTURE all)
    # Registers the API reference with doc-base, for the help browsers.
    install(FILES ${CALVORN_DEBIAN_DIR}/libinterproc-doc.doc-base
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base RENAME libinterproc-doc
        COMPONENT Documentation EXCLUDE_FROM_ALL)
endif()
foreach(component CORELIBRARY WIDGETSLIBRARY)
    # Libraries in the linker's folders let ldconfig know of them.
    set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${CALVORN_DEBIAN_DIR}/triggers)
endforeach()

# The packages' copyright file, in Debian's machine-readable format, with the
# text of LICENSES/MIT.txt; the Debian changelog, checked against the
# version; the upstream changelog. Compressed as Debian does (gzip -9n, no
# name or time stamp, so the same input gives the same bytes).
set(CALVORN_DEBIAN_VERSION ${INTERPROC_VERSION}-${CALVORN_DEBIAN_REVISION})
file(STRINGS ${CALVORN_DEBIAN_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^interproc \\(${CALVORN_DEBIAN_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog starts with \"${changelog_head}\": "
        "its latest entry must be interproc (${CALVORN_DEBIAN_VERSION})")
endif()
file(READ ${PROJECT_SOURCE_DIR}/LICENSES/MIT.txt license_text)
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " CALVORN_LICENSE_TEXT "${license_text}")
configure_file(${CALVORN_DEBIAN_DIR}/copyright.in ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
calvorn_gzip(calvorn_debian_changelog ${CALVORN_DEBIAN_DIR}/changelog
    ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
calvorn_gzip(calvorn_upstream_changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    ${CMAKE_BINARY_DIR}/debian/changelog.gz)

include(CPack)
