#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Checks InterProc as another program's developer gets it: installs the build
# into a temporary prefix, builds examples/console_sender against that prefix
# alone (with CMake, and once more with pkg-config), and runs it against a
# real CalvornTest window, installed from the same prefix, on a private bus
# and display; the installed interproc command lists and sends to that window
# too. The example and the command link InterProc::Core only and must load no
# Qt GUI library. A QML program, run with Qt's qml tool and the prefix's QML
# folder as its only addition to the import path, imports the installed
# module InterProc and exchanges a payload with the window as well. Then it
# builds the Debian packages, checks what each holds, and runs lintian on
# them: any error, or a warning without an override, fails the check.
#   scripts/check-install.sh [BUILD_DIR]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build_dir="$(cd "${1:-$BUILD_DIR}" && pwd)" # cpack runs elsewhere
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
passed=0
failed=0

check() {
    local what=$1
    shift
    if "$@"; then
        echo "PASS $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what" >&2
        failed=$((failed + 1))
    fi
}

say "Installing into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

say "Building examples/console_sender against the installed package"
# Only the prefix and the system: nothing of the source or build tree.
cmake -S "$ROOT/examples/console_sender" -B "$work/example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" \
    >/dev/null
cmake --build "$work/example" >/dev/null
example="$work/example/console_sender"

pcdir=$(dirname "$(find "$prefix" -name InterProcCore.pc | head -n 1)")
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/console_sender_pc" "$ROOT/examples/console_sender/main.cpp" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs InterProcCore) \
    -Wl,-rpath,"$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir InterProcCore)"

no_gui_libraries() {
    local loaded
    loaded=$(ldd "$1")
    grep -q "$prefix.*libInterProcCore.so.1" <<<"$loaded" &&
        ! grep -E 'libQt6(Gui|Widgets)' <<<"$loaded"
}
check "the CMake-built example loads InterProcCore from the prefix and no Qt GUI library" \
    no_gui_libraries "$example"
check "the pkg-config-built example does too" no_gui_libraries "$work/console_sender_pc"
cflags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags InterProcCore)
check "pkg-config names the prefix's folders plainly" \
    eval 'grep -qF -- "-I$prefix/include -I$prefix/include/InterProc " <<<"$cflags " &&
        ! grep -qF /.. <<<"$cflags"'
check "the installed interproc command does too" no_gui_libraries "$prefix/bin/interproc"
qmldir=$(find "$prefix" -path '*/qt6/qml/InterProc/qmldir' | head -n 1)
check "the QML module InterProc is installed under the prefix's qt6/qml with its plugin" \
    eval 'test -n "$qmldir" && grep -qx "module InterProc" "$qmldir" &&
        ldd "$(dirname "$qmldir")/libinterprocqml.so" | grep -q "$prefix.*libInterProcCore.so.1"'
check "no private header is installed" \
    test "$(find "$prefix/include" -name '*_p.h' -o -name 'buscontract.h' | wc -l)" -eq 0

# Runs inside the private bus and display: starts the installed program,
# waits for it to take the server role, sends to it with both builds.
cat >"$work/exchange.sh" <<'INNER'
set -euo pipefail
"$PREFIX/bin/CalvornTest" &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner org.calvorn.CalvornTest 2>/dev/null |
        grep -q true && break
    sleep 0.1
done
"$EXAMPLE" "Calvorn Control Sample - Server App" 42 hello
"$EXAMPLE_PC" "Calvorn Control Sample - Server App" 7 "from pkg-config"
"$PREFIX/bin/interproc" list
"$PREFIX/bin/interproc" send --caption "Calvorn Control Sample - Server App" --number 9 \
    --text "from interproc"
# The import trace names the qmldir the module came from.
QML_IMPORT_PATH="$QML_DIR" QML_IMPORT_TRACE=1 "$QML_TOOL" "$QML_SENDER" 2>&1 |
    grep -E 'qml: |InterProc/qmldir' || echo "the qml tool ended with status ${PIPESTATUS[0]}"
INNER
# A QML program with no C++ of its own: sends once the endpoint knows the
# bus and prints the window's answer.
# (The qml tool of Qt 6.4 keeps running only for a window, hence the hidden one.)
cat >"$work/qml_sender.qml" <<'QML'
import QtQuick
import InterProc
Window {
    visible: false
    InterProcEndpoint {
        caption: "InterProc QML check"
        function go() {
            target = "Calvorn Control Sample - Server App"
            targetSearchMethod = InterProcEndpoint.ExactCaption
            longData = 5
            stringData = "from QML"
            if (send() !== 1) {
                console.log("no window has the caption", target)
                Qt.exit(1)
            }
        }
        onReadyChanged: if (ready) go()
        onDataArrival: (senderHandle, senderName, longData, stringData) => {
            console.log(`acknowledged by ${senderName}: ${stringData}`)
            Qt.exit(0)
        }
        onErrorOccurred: message => { console.log(message); Qt.exit(1) }
    }
    Timer {
        interval: 10000
        running: true
        onTriggered: { console.log("no acknowledgement within 10 seconds"); Qt.exit(1) }
    }
}
QML
say "Exchanging payloads with an installed CalvornTest window"
output=$(env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
    PREFIX="$prefix" EXAMPLE="$example" EXAMPLE_PC="$work/console_sender_pc" QT_QPA_PLATFORM=xcb \
    QML_DIR="$(dirname "$(dirname "$qmldir")")" QML_SENDER="$work/qml_sender.qml" \
    QML_TOOL="$(command -v qml || echo /usr/lib/qt6/bin/qml)" \
    xvfb-run -a dbus-run-session -- bash "$work/exchange.sh" 2>&1) || true
echo "$output"
expected='acknowledged by Calvorn Control Sample - Server App: OK from "Calvorn Control Sample - Server App"'
check "both builds of the example get the window's acknowledgement" \
    test "$(grep -cxF "$expected" <<<"$output")" -eq 2
check "interproc lists the window and delivers a payload to it" \
    eval 'grep -qP "^[0-9]+\tCalvorn Control Sample - Server App\$" <<<"$output" &&
        grep -qxF "delivered to 1 window" <<<"$output"'

check "a QML program imports InterProc from the prefix and gets the window's acknowledgement" \
    eval 'grep -qF "loaded \"$qmldir\"" <<<"$output" &&
        grep -qxF "qml: $expected" <<<"$output"'

say "Building the Debian packages"
(cd "$work" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/debs" >/dev/null)
package_has() {
    local contents
    contents=$(dpkg-deb -c "$work/debs/$1"_*.deb)
    grep -q "$2" <<<"$contents"
}
# One shared library a package, named after its soname, in the multiarch
# folder, with Debian's ldconfig trigger and no maintainer script.
library_package() {
    local deb
    deb=$(echo "$work/debs/$1"_*.deb)
    package_has "$1" "/usr/lib/$multiarch/$2 -> " && ! package_has "$1" "$3" &&
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' &&
        ! dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qE 'post(inst|rm)'
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
check "libinterproccore1 and libinterprocwidgets1 hold one library each" \
    eval 'library_package libinterproccore1 libInterProcCore.so.1 libInterProcWidgets &&
        library_package libinterprocwidgets1 libInterProcWidgets.so.1 libInterProcCore &&
        dpkg-deb -f "$work/debs/"libinterprocwidgets1_*.deb Depends | grep -q libinterproccore1'
check "libinterproc-dev holds the headers and both package files" \
    eval 'package_has libinterproc-dev InterProc/interprocendpoint.h && package_has libinterproc-dev InterProc/interprocsend.h && package_has libinterproc-dev InterProc/interprocbus.h && package_has libinterproc-dev InterProc/interprocconventions.h && package_has libinterproc-dev InterProc/interprocversion.h && package_has libinterproc-dev InterProcConfig.cmake && package_has libinterproc-dev "/usr/lib/$multiarch/pkgconfig/InterProcCore.pc" && package_has libinterproc-dev "/usr/lib/$multiarch/cmake/InterProc/InterProcConfig.cmake" && package_has libinterproc-dev share/doc/libinterproc-dev/bus-contract.md.gz'
check "libinterproc-doc holds the API reference" \
    package_has libinterproc-doc share/doc/libinterproc-doc/html/classInterProcEndpoint.html
check "calvorntest holds the program and its manual page" \
    eval 'package_has calvorntest bin/CalvornTest && package_has calvorntest share/man/man1/CalvornTest.1.gz'
check "every package has a summary of its own" \
    test "$(for deb in "$work/debs/"*.deb; do dpkg-deb -f "$deb" Description | head -n 1; done | sort -u | wc -l)" \
    -eq "$(ls "$work/debs/"*.deb | wc -l)"
stripped_with_dbgsym() {
    local deb name types
    for deb in "$work/debs/"*.deb; do dpkg-deb -x "$deb" "$work/unpacked"; done
    types=$(find "$work/unpacked" -type f -exec file {} +)
    grep -q "ELF.*, stripped" <<<"$types" && ! grep "ELF.*not stripped" <<<"$types" || return 1
    for name in libinterproccore1 libinterprocwidgets1 interproc-tools calvorntest qml6-module-interproc; do
        test -f "$(echo "$work/debs/$name-dbgsym"_*.ddeb)" || return 1
    done
}
check "the programs and libraries are stripped, their symbols in -dbgsym packages" stripped_with_dbgsym

check "qml6-module-interproc holds the QML module where Debian's Qt finds it and needs libinterproccore1" \
    eval 'package_has qml6-module-interproc "/usr/lib/.*/qt6/qml/InterProc/libinterprocqml.so" &&
        package_has qml6-module-interproc "/usr/lib/.*/qt6/qml/InterProc/qmldir" &&
        dpkg-deb -f "$work/debs/"qml6-module-interproc_*.deb Depends | grep -q libinterproccore1'

check "interproc-tools holds the command and needs libinterproccore1" \
    eval 'package_has interproc-tools bin/interproc &&
        dpkg-deb -f "$work/debs/"interproc-tools_*.deb Depends | grep -q libinterproccore1'
check "interproc-tools holds the manual page and the bash completion" \
    eval 'package_has interproc-tools share/man/man1/interproc.1.gz &&
        package_has interproc-tools share/bash-completion/completions/interproc\$'

# Errors and warnings fail; a warning that a package overrides, with its
# reason, does not (cmake/debian/lintian-overrides).
say "Running lintian on the packages"
lintian_output=$(lintian --fail-on error,warning --tag-display-limit 0 "$work/debs/"*.deb "$work/debs/"*.ddeb 2>&1) &&
    lintian_status=0 || lintian_status=$?
grep -v 'running with root privileges' <<<"$lintian_output" || true
check "lintian finds no error and no warning without an override in the packages" \
    test "$lintian_status" -eq 0

echo "install check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
