// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// interproc list [--json]: the parties on the session bus, by handle.
#include "busparty.h"
#include "commandline.h"
#include "commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

int runList(const QStringList &arguments)
{
    CommandLine commandLine(
        QStringLiteral("list"), QStringLiteral("Lists the windows on the session bus."),
        QStringLiteral("Prints one line for each window on the session bus that hosts InterProc "
                       "(also window-less parties such as 'interproc watch'): its handle, a tab "
                       "and its caption, by ascending handle."));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Print a JSON array of objects with \"handle\" and \"caption\" instead."));
    commandLine.parser().addOption(json);
    commandLine.parse(arguments);

    QString error;
    const std::unique_ptr<InterProcEndpoint> endpoint =
        joinBus(QStringLiteral("interproc list"), &error);
    if (!endpoint) {
        commandLine.printError(error);
        return ExitFailure;
    }

    QList<InterProcEndpoint::Party> parties = endpoint->parties();
    parties.removeIf(
        [&](const InterProcEndpoint::Party &p) { return p.handle == endpoint->handle(); });
    if (commandLine.parser().isSet(json)) {
        QJsonArray array;
        for (const InterProcEndpoint::Party &party : parties)
            array.append(QJsonObject{{QStringLiteral("handle"), party.handle},
                                     {QStringLiteral("caption"), party.caption}});
        printLine(QJsonDocument(array).toJson(QJsonDocument::Compact));
    } else {
        for (const InterProcEndpoint::Party &party : parties)
            printLine(QByteArray::number(party.handle) + '\t' + party.caption.toUtf8());
    }
    return ExitSuccess;
}
