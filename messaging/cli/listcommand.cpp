// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// interproc list [--json]: the parties on the session bus, by handle.
#include "busparty.h"
#include "commandline.h"
#include "commands.h"
#include "terminaltext.h"

#include <InterProc/interprocbus.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

// How often the list looks whether every party has told its caption.
constexpr int CaptionLookMs = 50;

using Parties = QList<InterProcEndpoint::Party>;

Parties othersThan(const InterProcEndpoint &endpoint)
{
    Parties parties = endpoint.parties();
    parties.removeIf(
        [&](const InterProcEndpoint::Party &p) { return p.handle == endpoint.handle(); });
    return parties;
}

qsizetype unnamed(const Parties &parties)
{
    return std::count_if(parties.cbegin(), parties.cend(),
                         [](const InterProcEndpoint::Party &p) { return !p.captionKnown; });
}

// The parties once each has told its caption, or once a party asked for it
// has had as long to answer as the bus contract gives it.
Parties waitForCaptions(const InterProcEndpoint &endpoint)
{
    Parties parties = othersThan(endpoint);
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        parties = othersThan(endpoint);
        if (unnamed(parties) == 0 || waited.elapsed() >= InterProcBus::DescribeTimeoutMs)
            loop.quit();
    });
    if (unnamed(parties) > 0) {
        look.start(CaptionLookMs);
        loop.exec();
    }
    return parties;
}

} // namespace

int runList(const QStringList &arguments)
{
    CommandLine commandLine(
        QStringLiteral("list"), QStringLiteral("Lists the windows on the session bus."),
        QStringLiteral(
            "Prints one line for each window on the session bus that hosts InterProc (also "
            "window-less parties such as 'interproc watch'): its handle, a tab and its caption, "
            "by ascending handle. Control and bidirectional formatting characters in a caption "
            "are escaped as in JSON (\\t, \\n, \\u001b, \\u202e), and a backslash is doubled.\n"
            "Exit status: 0 when every window told its caption, 1 when some did not within 2 "
            "seconds (they are listed without one, and counted on standard error) or there is no "
            "session bus, 2 for a usage error."));
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

    const Parties parties = waitForCaptions(*endpoint);
    if (commandLine.parser().isSet(json)) {
        // Written here rather than by QJsonDocument, which leaves DEL, C1
        // controls and bidirectional formatting characters raw.
        QString array(u'[');
        for (const InterProcEndpoint::Party &party : parties) {
            if (array.size() > 1)
                array += u',';
            array += QLatin1String("{\"caption\":");
            if (party.captionKnown) {
                array += u'"';
                TerminalText::appendEscaped(array, party.caption, TerminalText::Quotes::Escaped);
                array += u'"';
            } else {
                array += QLatin1String("null");
            }
            array += QStringLiteral(",\"handle\":%1}").arg(party.handle);
        }
        array += u']';
        printLine(array.toUtf8());
    } else {
        for (const InterProcEndpoint::Party &party : parties)
            printLine(QByteArray::number(party.handle) + '\t' +
                      TerminalText::escaped(party.caption).toUtf8());
    }
    if (const qsizetype missing = unnamed(parties)) {
        commandLine.printError(
            QStringLiteral("%1 of the %2 windows did not tell their caption within %3 seconds "
                           "(busy, stopped or not a window); they are listed without one.")
                .arg(missing)
                .arg(parties.size())
                .arg(InterProcBus::DescribeTimeoutMs / 1000));
        return ExitFailure;
    }
    return ExitSuccess;
}
