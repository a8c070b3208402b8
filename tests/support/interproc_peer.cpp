// A stand-alone program that hosts one InterProc in a window, for tests and
// benchmarks that need instances in other processes. It takes commands on
// standard input and reports what the instance does on standard output, one
// line each, texts in base64:
//
//   send <method> <target> <long> <text>     -> SENT <count>
//   sendbig <method> <target> <long> <bytes> -> SENT <count> <sha256 of the text's UTF-8>
//   sendmany <method> <target> <n> <text>    -> SENT <sum of counts>   (LongData 1..n)
//   probe <method> <target>                  -> MATCHES <n>   (windows a send would
//                                               address; skips them all, sends nothing)
//   caption <text>                           -> OK
//   count                                    -> COUNT <payloads arrived so far>
//   quit
//
//   READY <handle>                  once it knows the windows on the bus
//   NOTCONNECTED <message>          when the session bus cannot be reached
//   CHECK <handle> <caption>        WindowCheck
//   ARRIVAL <sender> <name> <long> <text>, or for texts over 4096 characters
//   ARRIVALBIG <sender> <name> <long> <characters> <sha256 of the text's UTF-8>
//   FAILED <handle> <reason>        deliveryFailed
//   ERROR <message>                 errorOccurred (delivery failures included)
//   LOST <message>                  connectionLost; the peer keeps running
//
// Options: --ack answers every payload that does not begin with "OK from "
// by handle, from inside DataArrival; --skip-self skips its own window in
// WindowCheck.
#include "interproc.h"
#include "lineprotocol.h"

#include <QApplication>
#include <QWidget>

using namespace TestSupport;

namespace {

// A text of exactly `bytes` bytes of UTF-8 that mixes one-, two-, three- and
// four-byte characters, CR LF and NUL.
QString makeText(qint64 bytes)
{
    static const QString pattern =
        QStringLiteral("Ab\r\n\u00e9\u20ac") + QChar(u'\0') + QString::fromUtf8("\xF0\x9F\x98\x80");
    static const qint64 patternBytes = pattern.toUtf8().size();
    QString text;
    const qint64 repeats = bytes / patternBytes;
    text.reserve(qsizetype(repeats * pattern.size() + patternBytes));
    for (qint64 i = 0; i < repeats; ++i)
        text += pattern;
    text += QString(qsizetype(bytes % patternBytes), QLatin1Char('z'));
    return text;
}

QVariant targetFor(int method, const QString &target)
{
    return method == InterProc::WindowHandle ? QVariant(target.toInt()) : QVariant(target);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString caption = args.value(1);
    const bool ack = args.contains(QStringLiteral("--ack"));
    const bool skipSelf = args.contains(QStringLiteral("--skip-self"));

    QWidget window;
    window.setWindowTitle(caption);
    auto *ipc = new InterProc(&window);
    if (!ipc->isConnected()) {
        emitLine("NOTCONNECTED " + b64(ipc->errorString()));
        return 2;
    }

    int probed = -1;    // windows seen by a running probe, -1 outside one
    qint64 arrived = 0; // payloads raised through DataArrival
    QObject::connect(
        ipc, &InterProc::WindowCheck, ipc,
        [&](qint32 handle, const QString &name, bool &skip) {
            if (probed >= 0) {
                ++probed;
                skip = true;
                return;
            }
            emitLine("CHECK " + QByteArray::number(handle) + ' ' + b64(name));
            if (skipSelf && handle == ipc->windowHandle())
                skip = true;
        },
        Qt::DirectConnection);
    QObject::connect(ipc, &InterProc::DataArrival, ipc,
                     [&](qint32 sender, const QString &name, qint32 number, const QString &text) {
                         ++arrived;
                         const QByteArray head = QByteArray::number(sender) + ' ' + b64(name) +
                                                 ' ' + QByteArray::number(number) + ' ';
                         if (text.size() > 4096)
                             emitLine("ARRIVALBIG " + head + QByteArray::number(text.size()) + ' ' +
                                      sha256(text));
                         else
                             emitLine("ARRIVAL " + head + b64(text));
                         if (ack && !text.startsWith(QLatin1String("OK from "))) {
                             ipc->setTarget(sender);
                             ipc->setTargetSearchMethod(InterProc::WindowHandle);
                             ipc->setLongData(0);
                             ipc->setStringData(
                                 QStringLiteral("OK from \"%1\"").arg(window.windowTitle()));
                             ipc->Send();
                         }
                     });
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
        } else if (cmd == "count") {
            emitLine("COUNT " + QByteArray::number(arrived));
        } else if (cmd == "caption") {
            window.setWindowTitle(unb64(f.value(1)));
            emitLine("OK");
        } else if (cmd == "probe") {
            const int method = f.value(1).toInt();
            ipc->setTargetSearchMethod(method);
            ipc->setTarget(targetFor(method, unb64(f.value(2))));
            probed = 0;
            ipc->Send();
            emitLine("MATCHES " + QByteArray::number(probed));
            probed = -1;
        } else if (cmd == "send" || cmd == "sendbig" || cmd == "sendmany") {
            const int method = f.value(1).toInt();
            ipc->setTargetSearchMethod(method);
            ipc->setTarget(targetFor(method, unb64(f.value(2))));
            if (cmd == "sendmany") {
                const int n = f.value(3).toInt();
                const QString text = unb64(f.value(4));
                int total = 0;
                for (int i = 1; i <= n; ++i) {
                    ipc->setLongData(i);
                    ipc->setStringData(text);
                    total += ipc->Send();
                }
                emitLine("SENT " + QByteArray::number(total));
                return;
            }
            ipc->setLongData(f.value(3).toInt());
            if (cmd == "sendbig") {
                const QString text = makeText(f.value(4).toLongLong());
                ipc->setStringData(text);
                const int count = ipc->Send();
                emitLine("SENT " + QByteArray::number(count) + ' ' + sha256(text));
            } else {
                ipc->setStringData(unb64(f.value(4)));
                emitLine("SENT " + QByteArray::number(ipc->Send()));
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
