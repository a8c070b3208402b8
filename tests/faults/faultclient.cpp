// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Test helper: a bus client of the same user that treats the windows
// roughly. One job a run:
//
//   faults_client flood <window handle> <sender handle> <count>
//       sends <count> Deliver calls that expect no reply to the window,
//       claiming to come from <sender handle> (LongData 1..count, text
//       "flood"), then one Deliver from handle 0 with LongData 0 and text
//       "end", whose reply it waits for; prints "FLOODED <reply>" with OK or
//       the error name, and ends
//   faults_client stream <window handle> <text bytes> <ms>
//       for <ms>, sends Deliver calls that expect no reply to the window
//       from handle 0, each with a text of <text bytes> "x", as fast as the
//       bus takes them; prints "STREAMED <calls>" and ends
//   faults_client names <first handle> <count>
//       owns the names of the windows <first>..<first + count - 1> without
//       being one: of the Describe calls it gets, it answers the first with an
//       error, the second with another handle, the third not at all, and so
//       on; prints "OWNED <unique name> <pid>", answers "count" with
//       "DESCRIBED <calls so far>", and runs until its input ends
//   faults_client window <handle> <caption length> <error length>
//       owns the name of window <handle> and plays a window whose caption is
//       <caption length> times "c": it announces it, describes itself with
//       it, and refuses every payload with an error whose message is the
//       count of payloads so far, a blank and <error length> times "e";
//       prints "OWNED <unique name> <pid>"; answers "deliver <window>
//       <count>" by sending that many payloads to the window (from its
//       handle, without waiting for replies), "deliver <window> <count>
//       stop" likewise, then waits until the window has read them (it
//       answers a Describe after them), prints "STOPPING" and stops itself
//       (SIGSTOP), reading nothing more until continued, and "count" with
//       "REFUSED <payloads refused so far>"; runs until its input ends
//   faults_client hold <bus name>
//       owns that name; prints "OWNED <unique name> <pid>" and runs until its
//       input ends
//   faults_client listen <socket path>
//       listens there; prints "LISTENING", then "RECEIVED <bytes>" the first
//       time a connection sends anything; runs until its input ends
//   faults_client attach <direct channel address> <token in hex>
//       connects to the address, attaches with the token and delivers one
//       payload (handle 0, LongData 9, text "attached"); prints "ATTACHED"
//       and "DELIVERED", each followed by OK or the error name, and ends
//   faults_client hog <socket path> <count>
//       keeps <count> connections to the socket open that never speak,
//       opening a new one each time one is closed (every 10 ms); prints
//       "HOLDING <count>" once all are open, and runs until its input ends
#include "lineprotocol.h"

#include <InterProc/interprocbus.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <vector>

#include <csignal>
#include <unistd.h>

using namespace TestSupport;

namespace {

const QString ObjectPath = QLatin1String(InterProcBus::ObjectPath);
const QString Interface = QLatin1String(InterProcBus::Interface);

QString windowName(qint64 handle)
{
    return InterProcBus::serviceForHandle(qint32(handle));
}

[[noreturn]] void fail(const QString &message)
{
    emitLine("FAILED " + b64(message));
    std::exit(1);
}

QByteArray owned(const QDBusConnection &bus)
{
    return "OWNED " + bus.baseService().toUtf8() + ' ' + QByteArray::number(::getpid());
}

int flood(qint32 window, qint32 sender, qint64 count)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto deliver = [&](qint32 from, qint32 number, const QString &text) {
        QDBusMessage call = QDBusMessage::createMethodCall(windowName(window), ObjectPath,
                                                           Interface, QStringLiteral("Deliver"));
        call.setArguments({from, QStringLiteral("faults_client"), number, text});
        return call;
    };
    // A call sent without waiting is sent without asking for a reply.
    for (qint64 i = 1; i <= count; ++i) {
        if (!bus.send(deliver(sender, qint32(i), QStringLiteral("flood"))))
            fail(QStringLiteral("cannot send: ") + bus.lastError().message());
    }
    const QDBusMessage reply =
        bus.call(deliver(0, 0, QStringLiteral("end")), QDBus::Block, 10 * 60 * 1000);
    emitLine("FLOODED " + (reply.type() == QDBusMessage::ReplyMessage
                               ? QByteArray("OK")
                               : reply.errorName().toUtf8()));
    return 0;
}

int stream(qint32 window, qint64 textBytes, qint64 ms)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage call = QDBusMessage::createMethodCall(windowName(window), ObjectPath, Interface,
                                                       QStringLiteral("Deliver"));
    call.setArguments({0, QStringLiteral("faults_client"), 0, QString(textBytes, u'x')});
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    while (clock.elapsed() < ms) {
        for (int i = 0; i < 32; ++i, ++sent) {
            if (!bus.send(call))
                fail(QStringLiteral("cannot send: ") + bus.lastError().message());
        }
        // The bus answers once it has read what came before: the flood goes
        // as fast as the bus takes it, not into this process's memory.
        bus.call(ping, QDBus::Block, 60 * 1000);
    }
    emitLine("STREAMED " + QByteArray::number(sent));
    return 0;
}

// Answers every Describe badly, in turn: an error, another handle, nothing.
class BadWindows : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("Describe"))
            return false;
        switch (m_calls++ % 3) {
        case 0:
            connection.send(message.createErrorReply(QStringLiteral("org.example.Error.NotNow"),
                                                     QStringLiteral("not now")));
            break;
        case 1:
            connection.send(message.createReply({-1, QStringLiteral("not the one you asked")}));
            break;
        default:
            break; // never answered: the caller's timeout ends the call
        }
        return true;
    }

    qint64 calls() const { return m_calls; }

private:
    qint64 m_calls = 0;
};

int names(qint64 first, qint64 count)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    BadWindows windows;
    if (!bus.registerVirtualObject(ObjectPath, &windows))
        fail(QStringLiteral("cannot export the object"));
    // Asked all at once; the bus answers them in order.
    qint64 unanswered = count;
    for (qint64 handle = first; handle < first + count; ++handle) {
        QDBusMessage request = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
        request.setArguments({windowName(handle), 4u}); // DBUS_NAME_FLAG_DO_NOT_QUEUE
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(request), &windows);
        QObject::connect(
            watcher, &QDBusPendingCallWatcher::finished, watcher, [&](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                const QDBusMessage reply = w->reply();
                if (reply.type() != QDBusMessage::ReplyMessage ||
                    reply.arguments().value(0).toUInt() != 1)
                    fail(QStringLiteral("a name was not given: ") + reply.errorMessage());
                if (--unanswered == 0)
                    emitLine(owned(bus));
            });
    }
    const StdinLines input([&](const QByteArray &line) {
        if (line.trimmed() == "count")
            emitLine("DESCRIBED " + QByteArray::number(windows.calls()));
    });
    return QCoreApplication::exec();
}

// A window that takes nothing and says so at length.
class RefusingWindow : public QDBusVirtualObject
{
public:
    RefusingWindow(qint32 handle, qint64 captionLength, qint64 errorLength)
        : m_handle(handle), m_caption(captionLength, u'c'), m_error(errorLength, u'e')
    {}

    const QString &caption() const { return m_caption; }
    qint64 refused() const { return m_refused; }

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() == QLatin1String("Describe")) {
            connection.send(message.createReply({m_handle, m_caption}));
        } else if (message.member().startsWith(QLatin1String("Deliver"))) {
            ++m_refused;
            connection.send(message.createErrorReply(QStringLiteral("org.example.Error.Refused"),
                                                     QString::number(m_refused) + u' ' + m_error));
        } else {
            return false;
        }
        return true;
    }

private:
    qint32 m_handle;
    QString m_caption;
    QString m_error;
    qint64 m_refused = 0;
};

int window(qint32 handle, qint64 captionLength, qint64 errorLength)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    RefusingWindow window(handle, captionLength, errorLength);
    if (!bus.registerVirtualObject(ObjectPath, &window))
        fail(QStringLiteral("cannot export the object"));
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(windowName(handle),
                                         QDBusConnectionInterface::DontQueueService);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered)
        fail(QStringLiteral("cannot own ") + windowName(handle));
    QDBusMessage announce =
        QDBusMessage::createSignal(ObjectPath, Interface, QStringLiteral("CaptionChanged"));
    announce << handle << window.caption();
    bus.send(announce);
    emitLine(owned(bus));
    const StdinLines input([&](const QByteArray &line) {
        const QList<QByteArray> words = line.trimmed().split(' ');
        if (words.value(0) == "deliver" && (words.size() == 3 || words.value(3) == "stop")) {
            const QString target = windowName(words.at(1).toInt());
            for (int i = 1; i <= words.at(2).toInt(); ++i) {
                QDBusMessage call = QDBusMessage::createMethodCall(target, ObjectPath, Interface,
                                                                   QStringLiteral("Deliver"));
                call.setArguments(
                    {handle, QStringLiteral("faults_client"), i, QStringLiteral("probe")});
                bus.send(call);
            }
            if (words.size() == 4) {
                // One connection's calls are read in order.
                bus.call(QDBusMessage::createMethodCall(target, ObjectPath, Interface,
                                                        QStringLiteral("Describe")),
                         QDBus::Block, 10 * 60 * 1000);
                emitLine("STOPPING");
                ::raise(SIGSTOP);
            }
        } else if (words.value(0) == "count") {
            emitLine("REFUSED " + QByteArray::number(window.refused()));
        }
    });
    return QCoreApplication::exec();
}

int hold(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(name, QDBusConnectionInterface::DontQueueService);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered)
        fail(QStringLiteral("cannot own ") + name);
    emitLine(owned(bus));
    const StdinLines input([](const QByteArray &) {});
    return QCoreApplication::exec();
}

int listen(const QString &path)
{
    QLocalServer server;
    if (!server.listen(path))
        fail(QStringLiteral("cannot listen: ") + server.errorString());
    bool told = false;
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [&, socket] {
                const QByteArray got = socket->readAll();
                if (!told && !got.isEmpty()) {
                    told = true;
                    emitLine("RECEIVED " + QByteArray::number(got.size()));
                }
            });
        }
    });
    emitLine("LISTENING");
    const StdinLines input([](const QByteArray &) {});
    return QCoreApplication::exec();
}

int attach(const QString &address, const QByteArray &token)
{
    QDBusConnection channel = QDBusConnection::connectToPeer(address, QStringLiteral("channel"));
    auto outcome = [&](const QString &method, const QVariantList &arguments) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString(), ObjectPath, Interface, method);
        call.setArguments(arguments);
        const QDBusMessage reply = channel.call(call, QDBus::Block, 30000);
        return reply.type() == QDBusMessage::ReplyMessage ? QByteArray("OK")
                                                          : reply.errorName().toUtf8();
    };
    emitLine("ATTACHED " + outcome(QStringLiteral("AttachDirectChannel"), {token}));
    emitLine("DELIVERED " + outcome(QStringLiteral("Deliver"), {0, QStringLiteral("faults_client"),
                                                                9, QStringLiteral("attached")}));
    return 0;
}

int hog(const QByteArray &path, int count)
{
    sockaddr_un where = {};
    if (size_t(path.size()) >= sizeof(where.sun_path))
        fail(QStringLiteral("path too long"));
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, path.constData(), size_t(path.size()));
    std::vector<int> held(size_t(count), -1);
    bool told = false;
    QTimer again;
    QObject::connect(&again, &QTimer::timeout, &again, [&] {
        for (int &fd : held) {
            char byte;
            // A connection the other end closed reads as its end.
            if (fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0) {
                ::close(fd);
                fd = -1;
            }
            if (fd < 0) {
                fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0) {
                    ::close(fd);
                    fd = -1;
                }
            }
        }
        if (!told && std::all_of(held.cbegin(), held.cend(), [](int fd) { return fd >= 0; })) {
            told = true;
            emitLine("HOLDING " + QByteArray::number(count));
        }
    });
    again.start(10);
    const StdinLines input([](const QByteArray &) {});
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!QDBusConnection::sessionBus().isConnected())
        fail(QStringLiteral("no session bus"));
    const QString job = args.value(0);
    if (job == QLatin1String("flood") && args.size() == 4)
        return flood(args[1].toInt(), args[2].toInt(), args[3].toLongLong());
    if (job == QLatin1String("stream") && args.size() == 4)
        return stream(args[1].toInt(), args[2].toLongLong(), args[3].toLongLong());
    if (job == QLatin1String("names") && args.size() == 3)
        return names(args[1].toLongLong(), args[2].toLongLong());
    if (job == QLatin1String("window") && args.size() == 4)
        return window(args[1].toInt(), args[2].toLongLong(), args[3].toLongLong());
    if (job == QLatin1String("hold") && args.size() == 2)
        return hold(args[1]);
    if (job == QLatin1String("listen") && args.size() == 2)
        return listen(args[1]);
    if (job == QLatin1String("attach") && args.size() == 3)
        return attach(args[1], QByteArray::fromHex(args[2].toLatin1()));
    if (job == QLatin1String("hog") && args.size() == 3)
        return hog(QFile::encodeName(args[1]), args[2].toInt());
    std::fprintf(stderr, "usage: faults_client flood <window> <sender handle> <count>\n"
                         "       faults_client stream <window> <text bytes> <ms>\n"
                         "       faults_client names <first handle> <count>\n"
                         "       faults_client window <handle> <caption length> <error length>\n"
                         "       faults_client hold <bus name>\n"
                         "       faults_client listen <socket path>\n"
                         "       faults_client attach <address> <token in hex>\n"
                         "       faults_client hog <socket path> <count>\n");
    return 2;
}
