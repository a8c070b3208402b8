// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// interproc send (--caption TEXT | --prefix TEXT | --handle N) [--number N]
//                [--text TEXT | --text-file FILE] [--as NAME]
#include "busparty.h"
#include "commandline.h"
#include "commands.h"
#include "delivery.h"
#include "textinput.h"

int runSend(const QStringList &arguments)
{
    CommandLine commandLine(
        QStringLiteral("send"), QStringLiteral("Sends one payload to the windows addressed."),
        QStringLiteral(
            "Sends one payload, a number and a text, to the window with a caption, every "
            "window whose caption begins with a text, or the window with a handle, and prints "
            "how many windows it was delivered to.\n"
            "Exit status: 0 when every window addressed took the payload, 1 when no window "
            "matched, a delivery failed (each failure is named on standard error) or the text "
            "could not be read, 2 for a usage error."));
    const QCommandLineOption caption(QStringLiteral("caption"),
                                     QStringLiteral("Send to the window whose caption is <text>."),
                                     QStringLiteral("text"));
    const QCommandLineOption prefix(
        QStringLiteral("prefix"),
        QStringLiteral("Send to every window whose caption begins with <text>."),
        QStringLiteral("text"));
    const QCommandLineOption handle(QStringLiteral("handle"),
                                    QStringLiteral("Send to the window with handle <n>."),
                                    QStringLiteral("n"));
    const QCommandLineOption number(
        QStringLiteral("number"),
        QStringLiteral("LongData: a whole number from -2147483648 to 2147483647 (default: 0)."),
        QStringLiteral("n"));
    const QCommandLineOption text(QStringLiteral("text"),
                                  QStringLiteral("StringData (default: the empty text)."),
                                  QStringLiteral("text"));
    const QCommandLineOption textFile(
        QStringLiteral("text-file"),
        QStringLiteral("StringData from a UTF-8 file, or from standard input for -."),
        QStringLiteral("file"));
    const QCommandLineOption as(
        QStringLiteral("as"),
        QStringLiteral("The sender name that receivers log (default: interproc)."),
        QStringLiteral("name"), QStringLiteral("interproc"));
    commandLine.parser().addOptions({caption, prefix, handle, number, text, textFile, as});
    commandLine.parse(arguments);
    const QCommandLineParser &parser = commandLine.parser();

    qsizetype addresses = 0;
    for (const QCommandLineOption *option : {&caption, &prefix, &handle})
        addresses += parser.values(*option).size();
    if (addresses != 1)
        commandLine.usageError(
            QStringLiteral("Give exactly one of --caption, --prefix and --handle."));
    if (parser.values(text).size() + parser.values(textFile).size() > 1)
        commandLine.usageError(QStringLiteral("Give at most one of --text and --text-file."));

    Address address;
    if (parser.isSet(caption)) {
        address.target = parser.value(caption);
        address.wanted = QStringLiteral("the caption \"%1\"").arg(parser.value(caption));
        address.nobody = QStringLiteral("No window has %1.").arg(address.wanted);
    } else if (parser.isSet(prefix)) {
        address.method = InterProcEndpoint::CaptionPrefix;
        address.target = parser.value(prefix);
        address.wanted =
            QStringLiteral("a caption that begins with \"%1\"").arg(parser.value(prefix));
        address.nobody =
            QStringLiteral("No window's caption begins with \"%1\".").arg(parser.value(prefix));
    } else {
        const qint32 window = *commandLine.int32Value(handle);
        address.method = InterProcEndpoint::WindowHandle;
        address.target = window;
        address.nobody = QStringLiteral("No window has the handle %1.").arg(window);
    }
    const qint32 longData = commandLine.int32Value(number).value_or(0);

    QString error;
    const std::unique_ptr<InterProcEndpoint> endpoint = joinBus(parser.value(as), &error);
    if (!endpoint) {
        commandLine.printError(error);
        return ExitFailure;
    }
    // Read after joining: the windows stay current while a slow pipe fills.
    QString stringData = parser.value(text);
    if (parser.isSet(textFile)) {
        std::optional<QString> read = readTextFile(parser.value(textFile), &error);
        if (!read) {
            commandLine.printError(error);
            return ExitFailure;
        }
        stringData = std::move(*read);
    }
    return deliver(commandLine, *endpoint, address, longData, stringData);
}
