// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// interproc watch [--caption TEXT] [--no-ack]: a party that prints what
// arrives and answers it as a window does.
#include "arrivalprinter.h"
#include "busparty.h"
#include "commandline.h"
#include "commands.h"
#include "stopsignals.h"

#include <InterProc/interprocconventions.h>

#include <QCoreApplication>

int runWatch(const QStringList &arguments)
{
    CommandLine commandLine(
        QStringLiteral("watch"),
        QStringLiteral("Prints the payloads sent to a party with a caption."),
        QStringLiteral(
            "Joins the session bus as a party with a caption, which other windows address it "
            "by, and prints each payload that arrives as one JSON object on a line of its own, "
            "with \"senderHandle\", \"senderName\", \"longData\" and \"stringData\". Answers "
            "each payload with an acknowledgement as a CalvornTest window does (OK from "
            "\"<caption>\"); acknowledgements are not answered.\n"
            "Ends with status 0 on Ctrl+C, and with 1 when the session bus goes away."));
    const QCommandLineOption captionOption(QStringLiteral("caption"),
                                           QStringLiteral("The caption to join with (default: "
                                                          "interproc watch)."),
                                           QStringLiteral("text"),
                                           QStringLiteral("interproc watch"));
    const QCommandLineOption noAckOption(QStringLiteral("no-ack"),
                                         QStringLiteral("Do not acknowledge payloads."));
    commandLine.parser().addOptions({captionOption, noAckOption});
    commandLine.parse(arguments);
    const QString caption = commandLine.parser().value(captionOption);
    const bool acknowledge = !commandLine.parser().isSet(noAckOption);

    quitOnStopSignals();
    // Outlives the endpoint: every arrival is printed before the command ends.
    ArrivalPrinter printer(stdout);
    // Connected before the endpoint is ready: payloads may come as soon as
    // its name is on the bus.
    const auto handle = [&](InterProcEndpoint *party) {
        QObject::connect(party, &InterProcEndpoint::DataArrival, party,
                         [party, acknowledge, &printer](qint32 sender, const QString &name,
                                                        qint32 number, const QString &text) {
                             // The answer goes first: the sender may be waiting for it.
                             if (acknowledge && !InterProcConventions::isAcknowledgement(text)) {
                                 party->setTarget(sender);
                                 party->setTargetSearchMethod(InterProcEndpoint::WindowHandle);
                                 party->setLongData(0);
                                 party->setStringData(
                                     InterProcConventions::acknowledgementText(party->caption()));
                                 party->Send();
                             }
                             printer.print(sender, name, number, text);
                         });
        // Failed acknowledgements are worth a line; the watch goes on.
        QObject::connect(party, &InterProcEndpoint::errorOccurred, party,
                         [&commandLine, party](const QString &message) {
                             if (party->isConnected())
                                 commandLine.printError(message);
                         });
    };
    QString error;
    const std::unique_ptr<InterProcEndpoint> endpoint = joinBus(caption, &error, handle);
    if (!endpoint) {
        commandLine.printError(error);
        return ExitFailure;
    }
    // Ctrl+C while joining ended the wait; what arrived meanwhile is printed.
    if (stopRequested())
        return ExitSuccess;
    InterProcEndpoint *party = endpoint.get();
    QObject::connect(party, &InterProcEndpoint::connectionLost, party, [&commandLine, party] {
        commandLine.printError(party->errorString());
        QCoreApplication::exit(ExitFailure);
    });
    return QCoreApplication::exec();
}
