// A program hosting one InterProc in a window of its own, for the benchmark
// drivers, in one of four roles:
//
//   bench_peer echo <caption>  sends every payload back to its sender by
//                              handle, from inside DataArrival
//   bench_peer sink <caption>  counts payloads: "expect <n>" on standard input
//                              starts a round and is answered "EXPECTING <n>";
//                              the n-th payload prints
//                              "DONE <n> <1 if LongData ran 1..n, else 0> <ns>"
//   bench_peer hash <caption>  prints "ARRIVAL <ns> <UTF-8 bytes> <sha256>"
//                              for every payload
//   bench_peer flood <caption> "flood <handle> <n>" on standard input sends n
//                              payloads at once to window <handle> (LongData
//                              1..n), as a window's user would, and counts the
//                              acknowledgements that come back; the n-th
//                              prints "ACKED <n> <ns>"
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

namespace {
// What a flooding sender sends; window_bench logs the same text without a bus.
const QString FloodText = QStringLiteral("a small payload");
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QByteArray role = app.arguments().value(1).toLatin1();
    if (role != "echo" && role != "sink" && role != "hash" && role != "flood") {
        std::fprintf(stderr, "usage: bench_peer echo|sink|hash|flood <caption>\n");
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
            } else if (role == "flood") {
                // Only acknowledgements come back to a flooding sender.
                if (text.startsWith(QLatin1String("OK from ")) && ++count == expected) {
                    emitLine("ACKED " + QByteArray::number(count) + ' ' + QByteArray::number(now));
                    count = expected = 0;
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
        } else if (line.startsWith("flood ")) {
            const QList<QByteArray> fields = line.split(' ');
            const qint32 window = fields.value(1).toInt();
            expected = fields.value(2).toLongLong();
            count = 0;
            ipc->setTarget(window);
            ipc->setTargetSearchMethod(InterProc::WindowHandle);
            ipc->setStringData(FloodText);
            for (qint64 i = 1; i <= expected; ++i) {
                ipc->setLongData(qint32(i));
                if (ipc->Send() != 1) {
                    emitLine("FAILED window " + fields.value(1) + " is not addressable");
                    return;
                }
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
