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

#include <utility>

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
    // The log takes what arrived in one pass of the event loop at once: an
    // append, its layout and the scroll cost about as much for many short
    // entries as for one, and a flood must not cost the window an append
    // each. A batch is appended early once it is large, so that a single
    // append never stalls the window.
    constexpr qsizetype BatchEntries = 64;
    constexpr qsizetype BatchChars = 64 * 1024;
    QStringList entry = logEntryPieces(senderName, longData, stringData);
    if (pendingLog.isEmpty()) {
        pendingLog = std::move(entry);
        QMetaObject::invokeMethod(this, &frmMain::flushLog, Qt::QueuedConnection);
    } else {
        // The log's own words at the end of one entry and the start of the
        // next are one piece, so that received pieces stay at odd places.
        pendingLog.last() += entry.takeFirst();
        pendingLog += entry;
    }
    pendingLogChars += senderName.size() + stringData.size();
    if (pendingLog.size() >= 4 * BatchEntries || pendingLogChars >= BatchChars)
        flushLog();
    // Acknowledgements are never answered, so two copies cannot answer each
    // other without end.
    if (!InterProcConventions::isAcknowledgement(stringData)) {
        InterProc1->setTarget(QVariant::fromValue<qint32>(senderHandle));
        InterProc1->setTargetSearchMethod(InterProc::WindowHandle);
        InterProc1->setLongData(0);
        if (acknowledgement.isNull() || acknowledgedCaption != windowTitle()) {
            acknowledgedCaption = windowTitle();
            acknowledgement = InterProcConventions::acknowledgementText(acknowledgedCaption);
        }
        InterProc1->setStringData(acknowledgement);
        InterProc1->Send();
    }
}

void frmMain::flushLog()
{
    if (pendingLog.isEmpty())
        return;
    const QStringList pieces = std::exchange(pendingLog, {});
    pendingLogChars = 0;
    ui->txtReceived->appendReceived(pieces);
    ui->txtReceived->moveCursor(QTextCursor::End); // also scrolls the end into view
}

void frmMain::windowCheck(qint32 windowHandle, const QString &windowName, bool &skip)
{
    Q_UNUSED(windowName);
    InterProcConventions::skipOwnWindow(InterProc1->windowHandle(), windowHandle, skip);
}
