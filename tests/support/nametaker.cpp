// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A party that is no InterProc window, for the tests of how others cope
// with it: one bus connection that takes many window names, or one name with
// a caption of its choosing, and answers as a hostile or overloaded process
// might.
//
//   interproc_nametaker <count> <now|late|never> [<caption> [<refusal>]]
//   interproc_nametaker desk:<handle>|alias:<handle> <now|late|never> [<caption> [<refusal>]]
//
// Takes <count> names org.calvorn.InterProc.Window.H<n>, or one name that
// others might take for the window <handle>'s: its caption desk's, or the
// window's name spelt H0<handle>; then reports
//   READY <first handle> <names taken>
// Describe is answered at once, after 1.9 s (just within the 2 s a caller
// waits), or never. With one name it answers with that name's handle and
// <caption> (base64 of UTF-8); with several, with handle 0, which describes
// none of them. Every other call is taken, or with <refusal> (base64)
// answered with an error whose message is that text.
#include "lineprotocol.h"

#include <InterProc/interprocbus.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QRandomGenerator>
#include <QTimer>

using namespace TestSupport;

namespace {

constexpr int LateMs = 1900;

class Party : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        QDBusMessage reply;
        if (message.member() == QLatin1String("Describe")) {
            if (describe == QLatin1String("never"))
                return true;
            reply = message.createReply({names == 1 ? first : 0, caption});
        } else if (!refusal.isNull()) {
            reply =
                message.createErrorReply(QStringLiteral("org.calvorn.Test.Error.Refused"), refusal);
        } else {
            reply = message.createReply();
        }
        if (message.member() == QLatin1String("Describe") && describe == QLatin1String("late"))
            QTimer::singleShot(LateMs,
                               [reply, connection] { QDBusConnection(connection).send(reply); });
        else
            QDBusConnection(connection).send(reply);
        return true;
    }

    QString describe;
    QString caption;
    QString refusal;
    qint32 first = 0;
    int names = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    const QString form = args.at(1).section(QLatin1Char(':'), 0, 0);
    const bool desk = form == QLatin1String("desk");
    const bool alias = form == QLatin1String("alias");
    const int count = desk || alias ? 1 : args.at(1).toInt();
    Party party;
    party.describe = args.at(2);
    party.caption = args.size() > 3 ? unb64(args.at(3).toLatin1()) : QString();
    if (args.size() > 4)
        party.refusal = unb64(args.at(4).toLatin1());

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() ||
        !bus.registerVirtualObject(QLatin1String(InterProcBus::ObjectPath), &party))
        return 1;
    // Consecutive handles from a random start, all asked for at once.
    const qint32 first = desk || alias ? args.at(1).section(QLatin1Char(':'), 1).toInt()
                                       : 1 + qint32(QRandomGenerator::global()->bounded(1 << 30));
    party.first = first;
    int answers = 0;
    for (int i = 0; i < count; ++i) {
        QDBusMessage request = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
        const QString name = desk    ? InterProcBus::captionServiceForHandle(first)
                             : alias ? QLatin1String(InterProcBus::ServiceNamespace) +
                                           QLatin1String(".H0") + QString::number(first)
                                     : InterProcBus::serviceForHandle(first + i);
        request << name << 4u; // DO_NOT_QUEUE
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(request, 60000), &app);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &app,
                         [&, first](QDBusPendingCallWatcher *w) {
                             w->deleteLater();
                             if (!w->isError() && w->reply().arguments().value(0).toUInt() == 1)
                                 ++party.names;
                             if (++answers == count)
                                 emitLine("READY " + QByteArray::number(first) + ' ' +
                                          QByteArray::number(party.names));
                         });
    }
    // Ends with its input, as the other helpers do.
    StdinLines lines([](const QByteArray &) {});
    return app.exec();
}
