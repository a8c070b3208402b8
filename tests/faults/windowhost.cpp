// Test helper: the program's real window, shown on the platform Qt is given,
// in a process of its own that a test drives over standard input and output,
// one line each, texts in base64:
//
//   log                       -> LOG <the text of the received-data box>
//   buttons                   -> BUTTONS <enabled: 1 or 0, send button 0> <send button 1>
//   quit
//
//   READY <handle> <server|client>   once the component knows the windows on the bus
//   NOTCONNECTED <message>           when the session bus cannot be reached
//   ERROR <message>                  errorOccurred
//   LOST <message>                   connectionLost; the window stays open
#include "frmmain.h"
#include "interproc.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

void emitLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    frmMain window;
    InterProc *ip = window.interProc();
    if (!ip->isConnected()) {
        emitLine("NOTCONNECTED " + b64(ip->errorString()));
        return 2;
    }
    QObject::connect(ip, &InterProc::errorOccurred, ip,
                     [](const QString &message) { emitLine("ERROR " + b64(message)); });
    QObject::connect(ip, &InterProc::connectionLost, ip,
                     [ip] { emitLine("LOST " + b64(ip->errorString())); });
    window.show();

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray cmd = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (cmd == "quit") {
                app.quit();
            } else if (cmd == "log") {
                const auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
                emitLine("LOG " + b64(log->toPlainText()));
            } else if (cmd == "buttons") {
                QByteArray line = "BUTTONS";
                for (const char *name : {"cmdSend_0", "cmdSend_1"})
                    line += window.findChild<QPushButton *>(QLatin1String(name))->isEnabled()
                                ? " 1"
                                : " 0";
                emitLine(line);
            }
        }
    });

    auto announce = [&] {
        emitLine("READY " + QByteArray::number(ip->windowHandle()) +
                 (window.isServer() ? " server" : " client"));
    };
    if (ip->isReady())
        announce();
    else
        QObject::connect(ip, &InterProc::ready, ip, announce);
    return app.exec();
}
