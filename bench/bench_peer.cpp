// A program hosting one InterProc in a window of its own, for the benchmark
// driver, in one of three roles:
//
//   bench_peer echo <caption>  sends every payload back to its sender by
//                              handle, from inside DataArrival
//   bench_peer sink <caption>  counts payloads: "expect <n>" on standard input
//                              starts a round and is answered "EXPECTING <n>";
//                              the n-th payload prints
//                              "DONE <n> <1 if LongData ran 1..n, else 0> <ns>"
//   bench_peer hash <caption>  prints "ARRIVAL <ns> <UTF-8 bytes> <sha256>"
//                              for every payload
//
// <ns> is CLOCK_MONOTONIC when the DataArrival handler began. Prints
// "READY <handle>" once on the bus, "FAILED <reason>" when a payload it sent
// was lost, and ends on "quit" or at the end of its input.
#include "benchio.h"
#include "benchtext.h"
#include "interproc.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QWidget>

using Bench::emitLine;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QByteArray role = app.arguments().value(1).toLatin1();
    if (role != "echo" && role != "sink" && role != "hash") {
        std::fprintf(stderr, "usage: bench_peer echo|sink|hash <caption>\n");
        return 2;
    }

    QWidget window;
    window.setWindowTitle(app.arguments().value(2));
    auto *ipc = new InterProc(&window);
    if (!ipc->isConnected()) {
        emitLine("FAILED " + ipc->errorString().toUtf8());
        return 1;
    }
    QObject::connect(ipc, &InterProc::errorOccurred, ipc,
                     [](const QString &message) { emitLine("FAILED " + message.toUtf8()); });

    qint64 expected = 0;
    qint64 count = 0;
    bool inOrder = true;
    QObject::connect(
        ipc, &InterProc::DataArrival, ipc,
        [&](qint32 sender, const QString &, qint32 number, const QString &text) {
            const qint64 now = Bench::nowNs();
            if (role == "echo") {
                ipc->setTarget(sender);
                ipc->setTargetSearchMethod(InterProc::WindowHandle);
                ipc->setLongData(number);
                ipc->setStringData(text);
                ipc->Send();
            } else if (role == "sink") {
                inOrder = inOrder && number == count + 1;
                if (++count == expected) {
                    emitLine("DONE " + QByteArray::number(count) + ' ' + (inOrder ? '1' : '0') +
                             ' ' + QByteArray::number(now));
                    count = expected = 0;
                    inOrder = true;
                }
            } else {
                const QByteArray utf8 = text.toUtf8();
                emitLine("ARRIVAL " + QByteArray::number(now) + ' ' +
                         QByteArray::number(utf8.size()) + ' ' +
                         QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex());
            }
        });

    Bench::readCommands(&app, [&](const QByteArray &line) {
        if (line.startsWith("expect ")) {
            expected = line.mid(7).toLongLong();
            count = 0;
            inOrder = true;
            emitLine("EXPECTING " + QByteArray::number(expected));
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
