// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The baseline service: the least a QtDBus program does to answer calls. It
// owns a bus name given on the command line and exports org.calvorn.Bench at
// /bench on a connection of its own:
//
//   Echo(i number, ay text) -> (i, ay)  answers with what it was given
//   Bounce(i number, ay text)           answers at once, then calls Back(i, ay)
//                                       of org.calvorn.Bench at /bench of
//                                       org.calvorn.Bench.Driver with them
//   Take(i number, ay text)             counts, as interproc_peer counts
//                                       payloads: "expect <n>" on standard
//                                       input starts a round, answered
//                                       "EXPECTING <n>"; the n-th call prints
//                                       "DONE <n> <1 if the numbers ran 1..n,
//                                       else 0> <ns>"
//
// Prints "READY" once the name is owned; ends on "quit" or at the end of its
// input.
#include "lineprotocol.h"
#include "measure.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

using TestSupport::emitLine;

class BenchAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.calvorn.Bench")

public:
    BenchAdaptor(QObject *parent, const QDBusConnection &bus)
        : QDBusAbstractAdaptor(parent), m_bus(bus)
    {}

    void expect(qint64 n)
    {
        m_expected = n;
        m_count = 0;
        m_inOrder = true;
    }

public slots:
    int Echo(int number, const QByteArray &text, QByteArray &echoed)
    {
        echoed = text;
        return number;
    }

    void Bounce(int number, const QByteArray &text)
    {
        // Like an InterProc window that answers a payload with a Send of its
        // own: the call is answered first, the call back follows from the
        // event loop, and its reply is watched.
        QMetaObject::invokeMethod(
            this,
            [this, number, text] {
                QDBusMessage back = QDBusMessage::createMethodCall(
                    QStringLiteral("org.calvorn.Bench.Driver"), QStringLiteral("/bench"),
                    QStringLiteral("org.calvorn.Bench"), QStringLiteral("Back"));
                back << number << text;
                auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(back), this);
                connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                        &QObject::deleteLater);
            },
            Qt::QueuedConnection);
    }

    void Take(int number, const QByteArray &)
    {
        const qint64 now = TestSupport::nowNs();
        m_inOrder = m_inOrder && number == m_count + 1;
        if (++m_count == m_expected) {
            emitLine("DONE " + QByteArray::number(m_count) + ' ' + (m_inOrder ? '1' : '0') + ' ' +
                     QByteArray::number(now));
            expect(0);
        }
    }

private:
    QDBusConnection m_bus;
    qint64 m_expected = 0;
    qint64 m_count = 0;
    bool m_inOrder = true;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString service = app.arguments().value(1);
    if (service.isEmpty()) {
        std::fprintf(stderr, "usage: dbus_echo <bus name>\n");
        return 2;
    }

    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("bench-echo"));
    QObject object;
    auto *adaptor = new BenchAdaptor(&object, bus);
    if (!bus.registerObject(QStringLiteral("/bench"), &object, QDBusConnection::ExportAdaptors) ||
        !bus.registerService(service)) {
        std::fprintf(stderr, "dbus_echo: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }

    const TestSupport::StdinLines input([&](const QByteArray &line) {
        if (line == "quit") {
            app.quit();
        } else if (line.startsWith("expect ")) {
            adaptor->expect(line.mid(7).toLongLong());
            emitLine("EXPECTING " + line.mid(7));
        }
    });
    emitLine("READY");
    return app.exec();
}

#include "dbus_echo.moc"
