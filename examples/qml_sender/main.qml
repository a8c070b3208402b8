// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A QML program that sends InterProc payloads to windows and shows what it
// receives, with no C++ of its own. Run it with Qt's qml tool:
//   /usr/lib/qt6/bin/qml main.qml
// (with QML_IMPORT_PATH set to <prefix>/lib/<triplet>/qt6/qml when InterProc
// is installed elsewhere than /usr, or to build/qml in a build tree).
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import InterProc

ApplicationWindow {
    id: window
    width: 560
    height: 480
    visible: true
    title: "InterProc QML sender"

    // The log keeps the last maxEntries payloads and shows at most
    // maxShown characters of each text.
    readonly property int maxEntries: 100
    readonly property int maxShown: 1000
    // What the last Send did; empty before the first.
    property string sendResult

    // One entry: a heading line, then the text (an empty detail is left out).
    function log(heading, detail, text) {
        const shown = text.length > maxShown
                ? text.slice(0, maxShown) + ` [… ${text.length - maxShown} more characters]`
                : text
        received.append({ heading, detail, text: shown })
        if (received.count > maxEntries)
            received.remove(0, received.count - maxEntries)
        receivedView.positionViewAtEnd()
    }

    function sendPayload() {
        const method = methodBox.currentIndex
        if (method === InterProcEndpoint.WindowHandle && !/^\d+$/.test(targetField.text)) {
            sendResult = "A handle is a whole number, such as one the log shows."
            return
        }
        endpoint.target = method === InterProcEndpoint.WindowHandle
                ? Number(targetField.text) : targetField.text
        endpoint.targetSearchMethod = method
        endpoint.longData = Number(longDataField.text)
        endpoint.stringData = stringDataField.text
        const addressed = endpoint.send()
        sendResult = addressed < 0 ? "Sent as soon as the endpoint knows the bus."
                                    : `Sent to ${addressed} window${addressed === 1 ? "" : "s"}.`
    }

    InterProcEndpoint {
        id: endpoint
        caption: window.title

        // The parameters are named apart from the properties longData and
        // stringData, which they would hide.
        onDataArrival: (senderHandle, senderName, number, text) => {
            window.log(`From "${senderName}" (handle ${senderHandle})`,
                       `LongData = ${number}`, `StringData = ${text}`)
            // An endpoint does not acknowledge by itself: this answers as a
            // window does, and never answers an acknowledgement, so two
            // programs (or one sending to its own caption) cannot answer
            // each other without end.
            if (!InterProcConventions.isAcknowledgement(text)) {
                endpoint.target = senderHandle
                endpoint.targetSearchMethod = InterProcEndpoint.WindowHandle
                endpoint.longData = 0
                endpoint.stringData = InterProcConventions.acknowledgementText(endpoint.caption)
                endpoint.send()
            }
        }
        onDeliveryFailed: (windowHandle, windowName, reason) => {
            window.log(`Not delivered to "${windowName}" (handle ${windowHandle})`, "", reason)
        }
    }

    ListModel { id: received }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 12

        GridLayout {
            columns: 2
            Label { text: "Target" }
            RowLayout {
                TextField {
                    id: targetField
                    Layout.fillWidth: true
                    text: "Calvorn Control Sample - Server App"
                }
                ComboBox {
                    id: methodBox
                    // In the order of the values of targetSearchMethod.
                    model: ["Exact caption", "Caption prefix", "Handle"]
                }
            }
            Label { text: "LongData" }
            TextField {
                id: longDataField
                Layout.fillWidth: true
                text: "42"
                validator: IntValidator { bottom: -2147483648; top: 2147483647 }
            }
            Label { text: "StringData" }
            TextField {
                id: stringDataField
                Layout.fillWidth: true
                focus: true
                text: "hello from QML"
                onAccepted: sendPayload()
            }
        }

        RowLayout {
            Button {
                text: "Send"
                enabled: endpoint.connected && longDataField.acceptableInput
                onClicked: sendPayload()
            }
            Label {
                Layout.fillWidth: true
                elide: Text.ElideRight
                text: !endpoint.connected ? endpoint.errorString
                    : sendResult || `Handle ${endpoint.handle}, caption "${endpoint.caption}"`
            }
        }

        Label { text: "Received data" }
        ListView {
            id: receivedView
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: received
            spacing: 6
            ScrollBar.vertical: ScrollBar {}
            delegate: Column {
                width: receivedView.width - 12
                Label {
                    width: parent.width
                    text: heading
                    font.bold: true
                    wrapMode: Text.Wrap
                }
                Label {
                    width: parent.width
                    visible: detail !== ""
                    text: detail
                }
                Label {
                    width: parent.width
                    text: model.text
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAnywhere
                }
            }
        }
    }
}
