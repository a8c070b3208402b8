#include "answerwait.h"

#include <InterProc/interprocbus.h>

#include <InterProc/interprocendpoint.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>

#include <functional>

using namespace InterProcBus;

namespace {

// Calls Describe on the party with this handle and runs done when the call
// ends, answered or not.
void describe(QDBusConnection &bus, qint32 handle, QObject *context, std::function<void()> done)
{
    const QDBusMessage call =
        QDBusMessage::createMethodCall(serviceForHandle(handle), QLatin1String(ObjectPath),
                                       QLatin1String(Interface), QStringLiteral("Describe"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, DeliveryTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher *w) {
                         w->deleteLater();
                         done();
                     });
}

} // namespace

void waitForAnswers(InterProcEndpoint &endpoint, const QSet<qint32> &windows,
                    const QSet<qint32> &answered)
{
    const QSet<qint32> silent = windows - answered;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (silent.isEmpty() || !bus.isConnected())
        return;

    QEventLoop loop;
    // Describe calls still waiting for their reply. The wait ends only once
    // none is left: QtDBus cannot cancel a call, and one still open when the
    // program ends is never freed.
    qsizetype open = 0;
    bool allAnswered = false;
    auto describeThen = [&](qint32 handle, std::function<void()> done) {
        ++open;
        describe(bus, handle, &loop, [&, done = std::move(done)] {
            --open;
            done();
            if (allAnswered && open == 0)
                loop.quit();
        });
    };
    QObject::connect(&endpoint, &InterProcEndpoint::DataArrival, &loop, [&] {
        allAnswered = answered.contains(windows);
        if (allAnswered && open == 0)
            loop.quit();
    });
    // A window answers inside its DataArrival handler, and takes calls one
    // after the other: once it has answered a Describe made after the
    // payload, its acknowledgement, if any, is on its way, ahead of that
    // reply. A Describe of this command's own party then comes after it, as
    // the bus keeps the order of what one connection sends; its reply means
    // the party has taken every acknowledgement.
    qsizetype describing = silent.size();
    for (const qint32 window : silent) {
        describeThen(window, [&] {
            if (--describing == 0)
                describeThen(endpoint.handle(), [&] { allAnswered = true; });
        });
    }
    loop.exec();
}
