// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A program hosting one InterProc in a window, for the tests and benchmarks
// that need instances in other processes (peerprocess.h drives it):
//
//   interproc_peer <caption> [--ack] [--skip-self] [--echo] [--outcomes] [--handles]
//                  [--quiet | --digest]
//
// It takes commands on standard input and reports what the instance does on
// standard output, one line each, texts in base64:
//
//   send <method> <target> <long> <text>     -> SENT <count>
//   sendbig <method> <target> <long> <bytes> -> SENT <count> <sha256 of the text's UTF-8>
//   sendmany <method> <target> <n> <text>    -> SENT <sum of counts>   (LongData 1..n)
//   probe <method> <target>                  -> MATCHES <n>   (windows a send would
//                                               address; skips them all, sends nothing)
//   caption <text>                           -> OK
//   party <handle>                           -> PARTY <1 if its caption is known, else 0>
//                                               <caption>
//   block <ms>                               -> BLOCKING; then the thread sleeps <ms>
//   count                                    -> COUNT <payloads arrived so far>
//   expect <n>                               -> EXPECTING <n>; the n-th payload from now on
//                                               reports DONE <n> <1 if their LongData ran
//                                               1..n, else 0> <ns>
//   expectacks <n>                           -> EXPECTING <n>; the n-th acknowledgement from
//                                               now on reports ACKED <n> <ns>
//   quitafter <n>                            -> EXPECTING <n>; ends the program right after
//                                               the n-th payload from now on
//   quit
//
//   READY <handle>                  once it knows the windows on the bus
//   NOTCONNECTED <message>          when the session bus cannot be reached
//   CHECK <handle> <caption>        WindowCheck
//   ARRIVAL <sender> <name> <long> <text>, or for texts over 4096 characters
//   ARRIVALBIG <sender> <name> <long> <characters> <sha256 of the text's UTF-8>
//   FAILED <handle> <reason>        deliveryFailed
//   DELIVERED <handle>              delivered (with --outcomes)
//   OUTCOME <handle> <outcome>      the outcome of a send command for one addressee, by
//                                   its name in InterProcSend::Outcome (with --handles)
//   FINISHED <outcome>              the send's outcome once all are known (with --handles)
//   ERROR <message>                 errorOccurred (delivery failures included)
//   LOST <message>                  connectionLost; the peer keeps running
//
// <ns> is CLOCK_MONOTONIC when the DataArrival handler began.
//
// Options: --ack answers payloads and --skip-self answers WindowCheck by the
// window program's own rules. --outcomes reports each payload delivered. --handles makes the send
// commands send through the handle of each send, which reports their outcomes. --echo sends every
// payload back to its sender by handle, from inside DataArrival. --quiet reports neither
// WindowCheck nor payloads, and --digest reports each payload only as DIGEST <ns> <UTF-8 bytes>
// <sha256 of them>: a benchmark's peer does no more for a payload than it must.
#include "interproc.h"
#include "lineprotocol.h"
#include "measure.h"
#include "utf8text.h"

#include <InterProc/interprocconventions.h>
#include <InterProc/interprocsend.h>

#include <QApplication>
#include <QMetaEnum>
#include <QThread>
#include <QWidget>

using namespace InterProcConventions;
using namespace TestSupport;

namespace {

enum class Reports { Lines, Digests, None };

QVariant targetFor(int method, const QString &target)
{
    return method == InterProc::WindowHandle ? QVariant(target.toInt()) : QVariant(target);
}

void sendTo(InterProc *ipc, qint32 handle, qint32 longData, const QString &text)
{
    ipc->setTarget(handle);
    ipc->setTargetSearchMethod(InterProc::WindowHandle);
    ipc->setLongData(longData);
    ipc->setStringData(text);
    ipc->Send();
}

// Send(), or with a handle that reports each addressee's outcome and goes
// once all are known.
int sendOnce(InterProc *ipc, bool followed)
{
    if (!followed)
        return ipc->Send();
    InterProcSend *send = ipc->startSend();
    QObject::connect(send, &InterProcSend::outcomeKnown, send,
                     [](qint32 handle, const QString &, InterProcSend::Outcome outcome) {
                         emitLine(
                             "OUTCOME " + QByteArray::number(handle) + ' ' +
                             QMetaEnum::fromType<InterProcSend::Outcome>().valueToKey(outcome));
                     });
    QObject::connect(send, &InterProcSend::finished, send, [send] {
        emitLine("FINISHED " + QByteArray(QMetaEnum::fromType<InterProcSend::Outcome>().valueToKey(
                                   send->outcome())));
        send->deleteLater();
    });
    return send->addressed();
}

// Counts the payloads, or only the acknowledgements, that arrive after an
// expect command, and reports the last one it expects.
struct Expectation
{
    qint64 expected = 0; // 0 while no command is waiting
    qint64 count = 0;
    bool inOrder = true;
    bool acknowledgementsOnly = false;

    void start(qint64 n, bool acknowledgements)
    {
        *this = {n, 0, true, acknowledgements};
        emitLine("EXPECTING " + QByteArray::number(n));
    }

    void arrived(qint32 longData, const QString &text, qint64 ns)
    {
        if (expected == 0 || (acknowledgementsOnly && !isAcknowledgement(text)))
            return;
        inOrder = inOrder && longData == count + 1;
        if (++count < expected)
            return;
        if (acknowledgementsOnly)
            emitLine("ACKED " + QByteArray::number(count) + ' ' + QByteArray::number(ns));
        else
            emitLine("DONE " + QByteArray::number(count) + ' ' + (inOrder ? '1' : '0') + ' ' +
                     QByteArray::number(ns));
        *this = {};
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString caption = args.value(1);
    const bool ack = args.contains(QStringLiteral("--ack"));
    const bool skipSelf = args.contains(QStringLiteral("--skip-self"));
    const bool echo = args.contains(QStringLiteral("--echo"));
    const bool outcomes = args.contains(QStringLiteral("--outcomes"));
    const bool handles = args.contains(QStringLiteral("--handles"));
    const Reports reports = args.contains(QStringLiteral("--quiet"))    ? Reports::None
                            : args.contains(QStringLiteral("--digest")) ? Reports::Digests
                                                                        : Reports::Lines;

    QWidget window;
    window.setWindowTitle(caption);
    auto *ipc = new InterProc(&window);
    if (!ipc->isConnected()) {
        emitLine("NOTCONNECTED " + b64(ipc->errorString()));
        return 2;
    }

    // A probe answers WindowCheck itself; only a peer with something to do
    // in WindowCheck handles it otherwise.
    bool probing = false;
    int heldProbes = 0; // probes held back, still to address nobody
    if (reports == Reports::Lines || skipSelf) {
        QObject::connect(
            ipc, &InterProc::WindowCheck, ipc,
            [&](qint32 handle, const QString &name, bool &skip) {
                if (probing || heldProbes > 0)
                    return;
                if (reports == Reports::Lines)
                    emitLine("CHECK " + QByteArray::number(handle) + ' ' + b64(name));
                if (skipSelf)
                    skipOwnWindow(ipc->windowHandle(), handle, skip);
            },
            Qt::DirectConnection);
    }

    qint64 arrived = 0; // payloads raised through DataArrival
    qint64 quitAt = 0;  // the arrival count that ends the program, or 0
    Expectation expectation;
    QObject::connect(
        ipc, &InterProc::DataArrival, ipc,
        [&](qint32 sender, const QString &name, qint32 number, const QString &text) {
            const qint64 now = nowNs();
            ++arrived;
            if (reports == Reports::Lines) {
                const QByteArray head = QByteArray::number(sender) + ' ' + b64(name) + ' ' +
                                        QByteArray::number(number) + ' ';
                if (text.size() > 4096)
                    emitLine("ARRIVALBIG " + head + QByteArray::number(text.size()) + ' ' +
                             sha256(text));
                else
                    emitLine("ARRIVAL " + head + b64(text));
            } else if (reports == Reports::Digests) {
                const QByteArray utf8 = text.toUtf8();
                emitLine("DIGEST " + QByteArray::number(now) + ' ' +
                         QByteArray::number(utf8.size()) + ' ' +
                         QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex());
            }
            if (echo)
                sendTo(ipc, sender, number, text);
            // The window program's rule: acknowledgements are never answered.
            if (ack && !isAcknowledgement(text))
                sendTo(ipc, sender, 0, acknowledgementText(window.windowTitle()));
            expectation.arrived(number, text, now);
            if (arrived == quitAt)
                app.quit();
        });
    if (outcomes) {
        QObject::connect(ipc, &InterProc::delivered, ipc, [](qint32 handle, const QString &) {
            emitLine("DELIVERED " + QByteArray::number(handle));
        });
    }
    QObject::connect(ipc, &InterProc::deliveryFailed, ipc,
                     [](qint32 handle, const QString &, const QString &reason) {
                         emitLine("FAILED " + QByteArray::number(handle) + ' ' + b64(reason));
                     });
    QObject::connect(ipc, &InterProc::errorOccurred, ipc,
                     [](const QString &message) { emitLine("ERROR " + b64(message)); });
    QObject::connect(ipc, &InterProc::connectionLost, ipc,
                     [ipc] { emitLine("LOST " + b64(ipc->errorString())); });

    const StdinLines input([&](const QByteArray &line) {
        const QList<QByteArray> f = line.split(' ');
        const QByteArray &cmd = f.value(0);
        if (cmd == "quit") {
            app.quit();
        } else if (cmd == "quitafter") {
            quitAt = arrived + f.value(1).toLongLong();
            emitLine("EXPECTING " + f.value(1));
        } else if (cmd == "count") {
            emitLine("COUNT " + QByteArray::number(arrived));
        } else if (cmd == "caption") {
            window.setWindowTitle(unb64(f.value(1)));
            emitLine("OK");
        } else if (cmd == "party") {
            const qint32 handle = f.value(1).toInt();
            InterProc::Party known;
            for (const InterProc::Party &party : ipc->parties())
                known = party.handle == handle ? party : known;
            emitLine("PARTY " + QByteArray(known.captionKnown ? "1 " : "0 ") + b64(known.caption));
        } else if (cmd == "block") {
            emitLine("BLOCKING");
            QThread::msleep(f.value(1).toULong());
        } else if (cmd == "expect" || cmd == "expectacks") {
            expectation.start(f.value(1).toLongLong(), cmd == "expectacks");
        } else if (cmd == "probe") {
            const int method = f.value(1).toInt();
            ipc->setTargetSearchMethod(method);
            ipc->setTarget(targetFor(method, unb64(f.value(2))));
            int matches = 0;
            probing = true;
            const auto counter = QObject::connect(
                ipc, &InterProc::WindowCheck, ipc,
                [&matches](qint32, const QString &, bool &skip) {
                    ++matches;
                    skip = true;
                },
                Qt::DirectConnection);
            InterProcSend *held = ipc->startSend();
            QObject::disconnect(counter);
            probing = false;
            if (held->addressed() < 0) {
                // Held back until the endpoint knows the captions: it must
                // still address nobody when it goes, or it would arrive as
                // a payload before the ones sent after it.
                ++heldProbes;
                const auto skipper = QObject::connect(
                    ipc, &InterProc::WindowCheck, ipc,
                    [](qint32, const QString &, bool &skip) { skip = true; }, Qt::DirectConnection);
                QObject::connect(held, &InterProcSend::addressedKnown, ipc, [&, skipper, held] {
                    QObject::disconnect(skipper);
                    --heldProbes;
                    held->deleteLater();
                });
            } else {
                held->deleteLater();
            }
            emitLine("MATCHES " + QByteArray::number(matches));
        } else if (cmd == "send" || cmd == "sendbig" || cmd == "sendmany") {
            const int method = f.value(1).toInt();
            ipc->setTargetSearchMethod(method);
            ipc->setTarget(targetFor(method, unb64(f.value(2))));
            if (cmd == "sendmany") {
                // Nothing runs between these sends that could change the text.
                const int n = f.value(3).toInt();
                ipc->setStringData(unb64(f.value(4)));
                int total = 0;
                for (int i = 1; i <= n; ++i) {
                    ipc->setLongData(i);
                    total += sendOnce(ipc, handles);
                }
                emitLine("SENT " + QByteArray::number(total));
                return;
            }
            ipc->setLongData(f.value(3).toInt());
            if (cmd == "sendbig") {
                const QString text = QString::fromUtf8(utf8Text(f.value(4).toLongLong()));
                ipc->setStringData(text);
                const int count = sendOnce(ipc, handles);
                emitLine("SENT " + QByteArray::number(count) + ' ' + sha256(text));
            } else {
                ipc->setStringData(unb64(f.value(4)));
                emitLine("SENT " + QByteArray::number(sendOnce(ipc, handles)));
            }
        }
    });

    // Ready once the instance knows the windows already on the bus.
    auto announce = [ipc] {
        emitLine("READY " + QByteArray::number(ipc->windowHandle()));
    };
    if (ipc->isReady())
        announce();
    else
        QObject::connect(ipc, &InterProc::ready, ipc, announce);
    return app.exec();
}
