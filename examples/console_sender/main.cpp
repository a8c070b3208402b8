// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Sends one payload to the window with a given caption and prints the
// acknowledgement that comes back:
//   console_sender "Calvorn Control Sample - Server App" 42 hello
#include <InterProc/interprocendpoint.h>
#include <InterProc/interprocsend.h>

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: console_sender CAPTION NUMBER TEXT\n");
        return 2;
    }
    QTextStream out(stdout);
    QTextStream err(stderr);

    InterProcEndpoint endpoint(QStringLiteral("InterProc console example"));
    if (!endpoint.isConnected()) {
        err << endpoint.errorString() << Qt::endl;
        return 1;
    }

    // The first payload that comes back is the window's acknowledgement.
    QObject::connect(&endpoint, &InterProcEndpoint::DataArrival,
                     [&](qint32, const QString &sender, qint32, const QString &text) {
                         out << "acknowledged by " << sender << ": " << text << Qt::endl;
                         app.exit(0);
                     });
    QObject::connect(&endpoint, &InterProcEndpoint::errorOccurred, [&](const QString &message) {
        err << message << Qt::endl;
        app.exit(1);
    });
    // Send as soon as the endpoint knows the windows on the bus.
    QObject::connect(&endpoint, &InterProcEndpoint::ready, [&] {
        endpoint.setTarget(args.at(1));
        endpoint.setTargetSearchMethod(InterProcEndpoint::ExactCaption);
        endpoint.setLongData(args.at(2).toInt());
        endpoint.setStringData(args.at(3));
        // The handle follows this one send; it knows at once whom it addressed.
        const InterProcSend *send = endpoint.startSend();
        if (send->addressed() == 0) {
            err << "no window has the caption \"" << args.at(1) << "\"" << Qt::endl;
            app.exit(1);
        }
    });
    QTimer::singleShot(10000, &app, [&] {
        err << "no acknowledgement within 10 seconds" << Qt::endl;
        app.exit(1);
    });
    return app.exec();
}
