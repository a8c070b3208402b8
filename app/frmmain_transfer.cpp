// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// frmMain's sending, receiving and acknowledging.
#include "frmmain.h"
#include "ui_frmmain.h"

#include "calvornversion.h"
#include "interproc.h"
#include "logentry.h"
#include "longdata.h"
#include "receivedlog.h"
#include "stringdatafield.h"

#include <InterProc/interprocconventions.h>

#include <QTextCursor>

void frmMain::cmdSendClick(int index)
{
    const std::optional<qint32> longData = parseLongData(ui->txtLongData->text());
    if (!longData) {
        // Nothing is sent, and the typed text stays for the user to correct.
        newMessageBox(QMessageBox::Warning, QString::fromLatin1(CalvornVersion::ProductName),
                      QStringLiteral("LongData must be a whole number from -2147483648 to "
                                     "2147483647."))
            ->show();
        return;
    }
    InterProc1->setLongData(*longData);
    InterProc1->setStringData(stringDataField->text());
    qint32 method = InterProc::ExactCaption;
    if (index == 0) {
        InterProc1->setTarget(QStringLiteral("Calvorn Control Sample - Client"));
        method = InterProc::CaptionPrefix;
    } else {
        InterProc1->setTarget(QStringLiteral("Calvorn Control Sample - Server App"));
    }
    InterProc1->setTargetSearchMethod(method);
    InterProc1->Send();
}

void frmMain::dataArrival(qint32 senderHandle, const QString &senderName, qint32 longData,
                          const QString &stringData)
{
    ui->txtReceived->appendReceived(logEntryPieces(senderName, longData, stringData));
    // Acknowledgements are never answered, so two copies cannot answer each
    // other without end.
    if (!InterProcConventions::isAcknowledgement(stringData)) {
        InterProc1->setTarget(QVariant::fromValue<qint32>(senderHandle));
        InterProc1->setTargetSearchMethod(InterProc::WindowHandle);
        InterProc1->setLongData(0);
        InterProc1->setStringData(InterProcConventions::acknowledgementText(windowTitle()));
        InterProc1->Send();
    }
    ui->txtReceived->moveCursor(QTextCursor::End); // also scrolls the end into view
}

void frmMain::windowCheck(qint32 windowHandle, const QString &windowName, bool &skip)
{
    Q_UNUSED(windowName);
    InterProcConventions::skipOwnWindow(InterProc1->windowHandle(), windowHandle, skip);
}
