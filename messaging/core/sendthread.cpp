#include "sendthread.h"

#include "buscontract.h"

#include <QAbstractEventDispatcher>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QPointer>

namespace {
const QString ObjectPath = QLatin1String(BusContract::ObjectPath);
const QString Interface = QLatin1String(BusContract::Interface);
// Messages a pass of the owner's event loop sends itself before it hands
// the rest over.
constexpr int AtOncePerPass = 4;
} // namespace

class SendThread::Worker : public QObject
{
public:
    Worker(SendThread *owner, const QDBusConnection &connection)
        : m_owner(owner), m_connection(connection)
    {}

    void send(const std::vector<Item> &items)
    {
        for (const Item &item : items)
            make(item, this);
        m_owner->m_inWorker.fetchAndSubRelease(int(items.size()));
    }

    // Makes one item's message on the calling thread; a call's outcome is
    // watched from the thread of context, if any.
    void make(const Item &item, QObject *context)
    {
        switch (item.kind) {
        case Item::Reply:
            item.connection.send(item.message.createReply());
            return;
        case Item::Send:
            item.connection.send(item.message);
            return;
        case Item::Call:
            break;
        }
        const Delivery &delivery = item.delivery;
        // A direct channel leads to the window alone: its calls name nobody.
        const bool direct = !delivery.channel.isEmpty();
        const QDBusConnection connection =
            direct ? QDBusConnection(delivery.channel) : m_connection;
        QDBusMessage call = QDBusMessage::createMethodCall(direct ? QString() : delivery.service,
                                                           ObjectPath, Interface, delivery.method);
        QVariantList arguments{delivery.senderHandle, delivery.senderName, delivery.longData,
                               delivery.text};
        if (delivery.size.isValid())
            arguments.append(delivery.size);
        call.setArguments(arguments);
        QElapsedTimer sent;
        sent.start();
        const QDBusPendingCall pending = connection.asyncCall(call, BusContract::DeliveryTimeoutMs);
        if (!context)
            return;
        // A connection that has closed (the bus daemon ended, a channel's
        // window went away) answers at once, or with a call that never
        // finishes: either way the failure is told now, never lost.
        if (pending.isFinished() || !connection.isConnected()) {
            QDBusError error; // none: answered already
            if (!pending.isFinished())
                error = QDBusError(QDBusError::Disconnected,
                                   QStringLiteral("The connection is closed."));
            else if (pending.isError())
                error = pending.error();
            report(Outcome{item.handle, item.caption, delivery.service, delivery.channel, error,
                           sent.elapsed()});
            return;
        }
        auto *watcher = new QDBusPendingCallWatcher(pending, context);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                         [this, context, watcher, sent, handle = item.handle,
                          caption = item.caption, owner = delivery.service,
                          channel = delivery.channel] {
                             watcher->deleteLater();
                             Outcome outcome{handle,
                                             caption,
                                             owner,
                                             channel,
                                             watcher->isError() ? watcher->error() : QDBusError(),
                                             sent.elapsed()};
                             // A call made from the owner's thread is told there at once.
                             if (context == m_owner)
                                 m_owner->tell(outcome);
                             else
                                 report(std::move(outcome));
                         });
    }

private:
    void report(Outcome outcome)
    {
        bool first = false;
        {
            QMutexLocker lock(&m_owner->m_outcomesLock);
            first = m_owner->m_outcomes.empty();
            m_owner->m_outcomes.push_back(std::move(outcome));
        }
        // One event for all the outcomes that gather until the owner's
        // thread takes them.
        if (first)
            QMetaObject::invokeMethod(m_owner, &SendThread::takeOutcomes, Qt::QueuedConnection);
    }

    SendThread *m_owner;
    QDBusConnection m_connection;
};

SendThread::SendThread(const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection), m_connectionName(connection.name()),
      m_ownName(connection.baseService())
{
    m_worker = new Worker(this, connection);
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("InterProc send"));
    m_thread.start();
    m_handOver.setSingleShot(true);
    m_handOver.setInterval(0);
    connect(&m_handOver, &QTimer::timeout, this, &SendThread::handOver);
    // A new pass begins where the loop is about to wait for events.
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { m_sentAtOnce = 0; });
}

SendThread::~SendThread()
{
    finish();
    delete m_worker;
}

void SendThread::call(const Delivery &delivery, qint32 handle, const QString &caption)
{
    Item item;
    item.kind = Item::Call;
    item.delivery = delivery;
    item.handle = handle;
    item.caption = caption;
    // A call to this endpoint itself is taken by QtDBus on the calling
    // thread, which the endpoint's object lives on: it is made here.
    // So is a call through a direct channel: it goes out only once every
    // call over the bus to that window has been answered, and carries no
    // burden of the bus to hand over.
    if ((!delivery.channel.isEmpty() || delivery.service == m_ownName) && m_thread.isRunning())
        return m_worker->make(item, this);
    queue(std::move(item));
}

void SendThread::reply(const QDBusMessage &call, const QDBusConnection &connection)
{
    Item item;
    item.kind = Item::Reply;
    item.message = call;
    item.connection = connection;
    queue(std::move(item));
}

void SendThread::send(const QDBusMessage &message, const QDBusConnection &connection)
{
    Item item;
    item.message = message;
    item.connection = connection;
    queue(std::move(item));
}

void SendThread::queue(Item item)
{
    // Answers on a direct channel go out at once, as the calls on it come.
    if (item.kind != Item::Call && item.connection.name() != m_connectionName)
        return m_worker->make(item, this);
    if (!m_thread.isRunning()) {
        // Nobody is left to tell the outcome of a call to.
        m_worker->make(item, nullptr);
        return;
    }
    // The first few messages of a pass of the owner's event loop go out at
    // once while the thread has nothing left to send before them: a reply
    // and a Send in answer take no detour. The rest of a busy pass goes to
    // the thread.
    if (m_sentAtOnce < AtOncePerPass && m_queued.empty() && m_inWorker.loadAcquire() == 0) {
        ++m_sentAtOnce;
        return m_worker->make(item, this);
    }
    m_queued.push_back(std::move(item));
    if (!m_handOver.isActive())
        m_handOver.start();
}

void SendThread::handOver()
{
    m_sentAtOnce = 0;
    if (m_queued.empty())
        return;
    m_inWorker.fetchAndAddRelaxed(int(m_queued.size()));
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, items = std::exchange(m_queued, {})] { worker->send(items); },
        Qt::QueuedConnection);
}

void SendThread::finish()
{
    if (!m_thread.isRunning())
        return;
    m_handOver.stop();
    handOver();
    // Behind everything handed over.
    QMetaObject::invokeMethod(
        m_worker, [thread = &m_thread] { thread->quit(); }, Qt::QueuedConnection);
    m_thread.wait();
}

void SendThread::takeOutcomes()
{
    std::vector<Outcome> outcomes;
    {
        QMutexLocker lock(&m_outcomesLock);
        outcomes.swap(m_outcomes);
    }
    QPointer<SendThread> alive(this);
    for (const Outcome &outcome : outcomes) {
        tell(outcome);
        if (!alive)
            return;
    }
}

void SendThread::tell(const Outcome &outcome)
{
    emit answered(outcome);
}
