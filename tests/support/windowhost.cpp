// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Test helper: the program's real window, shown on the platform Qt is given,
// in a process of its own that a test drives over standard input and output,
// one line each, texts in base64:
//
//   log                       -> LOG <the text of the received-data box>
//   tail                      -> TAIL <the last four lines of the received-data box>
//   copy                      -> COPY <characters the box shows> <UTF-8 bytes> <SHA-256>
//                                of what selecting all of the box and copying gives
//   boxes                     -> BOXES <the texts of the open message boxes, one a line>
//   font                      -> FONT <the window's font size in points>
//   buttons                   -> BUTTONS <enabled: 1 or 0, send button 0> <send button 1>
//   memory                    -> MEMORY <resident KiB> <peak resident KiB>
//   send <index> <longData> <text>   types both fields and clicks send button <index>
//   knows <handle>            -> KNOWS <1 or 0: the component knows that party and its caption>
//   stall                     -> STALL <longest ms the window's thread was busy since the last
//   stall> quit
//
//   READY <handle> <server|client>   once the component knows the windows on the bus
//   NOTCONNECTED <message>           when the session bus cannot be reached
//   ERROR <message>                  errorOccurred
//   LOST <message>                   connectionLost; the window stays open
#include "frmmain.h"
#include "interproc.h"
#include "lineprotocol.h"
#include "measure.h"

#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

#include <ctime>

using namespace TestSupport;

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

    // The longest stretch of work on the window's thread without a turn of
    // its event loop, in the thread's own CPU time (so that a loaded machine
    // that leaves it waiting does not count): what a user would feel of it.
    auto threadCpuMs = [] {
        timespec ts = {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    qint64 lastTickCpuMs = threadCpuMs();
    qint64 longestStallMs = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        const qint64 now = threadCpuMs();
        longestStallMs = std::max(longestStallMs, now - lastTickCpuMs);
        lastTickCpuMs = now;
    });
    ticker.start(10);

    const StdinLines input([&](const QByteArray &line) {
        const QByteArray cmd = line.trimmed();
        if (cmd == "quit") {
            app.quit();
        } else if (cmd == "log") {
            const auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
            emitLine("LOG " + b64(log->toPlainText()));
        } else if (cmd == "tail") {
            const auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
            QStringList lines;
            for (QTextBlock b = log->document()->lastBlock(); b.isValid() && lines.size() < 4;
                 b = b.previous())
                lines.prepend(b.text());
            emitLine("TAIL " + b64(lines.join(u'\n')));
        } else if (cmd == "copy") {
            auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
            log->selectAll();
            log->copy();
            const QByteArray copied = QGuiApplication::clipboard()->text().toUtf8();
            emitLine("COPY " + QByteArray::number(log->document()->characterCount() - 1) + ' ' +
                     QByteArray::number(copied.size()) + ' ' +
                     QCryptographicHash::hash(copied, QCryptographicHash::Sha256).toHex());
        } else if (cmd == "boxes") {
            QStringList texts;
            for (const QMessageBox *box : window.findChildren<QMessageBox *>()) {
                if (box->isVisible())
                    texts.append(box->text());
            }
            emitLine("BOXES " + b64(texts.join(u'\n')));
        } else if (cmd == "memory") {
            emitLine("MEMORY " + QByteArray::number(residentKiB()) + ' ' +
                     QByteArray::number(statusKiB(0, "VmHWM")));
        } else if (cmd == "font") {
            emitLine("FONT " + QByteArray::number(window.font().pointSizeF()));
        } else if (cmd == "buttons") {
            QByteArray report = "BUTTONS";
            for (const char *name : {"cmdSend_0", "cmdSend_1"})
                report +=
                    window.findChild<QPushButton *>(QLatin1String(name))->isEnabled() ? " 1" : " 0";
            emitLine(report);
        } else if (cmd.startsWith("send ")) {
            const QList<QByteArray> words = cmd.split(' ');
            window.findChild<QLineEdit *>(QStringLiteral("txtLongData"))
                ->setText(QString::fromLatin1(words.value(2)));
            window.findChild<QLineEdit *>(QStringLiteral("txtStringData"))
                ->setText(unb64(words.value(3)));
            window.findChild<QPushButton *>(QLatin1String("cmdSend_" + words.value(1)))->click();
        } else if (cmd == "stall") {
            emitLine("STALL " + QByteArray::number(longestStallMs));
            longestStallMs = 0;
            lastTickCpuMs = threadCpuMs();
        } else if (cmd.startsWith("knows ")) {
            const qint32 handle = cmd.mid(6).toInt();
            bool known = false;
            for (const InterProc::Party &party : ip->parties())
                known = known || (party.handle == handle && !party.caption.isEmpty());
            emitLine(known ? "KNOWS 1" : "KNOWS 0");
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
