// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "endpointdirectory.h"

#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QThread>

EndpointDirectory::EndpointDirectory(QObject *parent) : QObject(parent)
{
    // Should the bus never show this endpoint's name (the directory could
    // not follow the bus), it sends with what it knows.
    m_readyAtLatest.setSingleShot(true);
    m_readyAtLatest.setInterval(InterProcBus::DescribeTimeoutMs);
    connect(&m_readyAtLatest, &QTimer::timeout, this, &EndpointDirectory::busCaughtUp);
}

EndpointDirectory::~EndpointDirectory()
{
    if (m_bus && m_ownHandle > 0)
        m_bus->detach(m_ownHandle);
}

bool EndpointDirectory::open(QString *error)
{
    m_bus = ThreadDirectory::forThisThread(error);
    if (!m_bus)
        return false;
    connect(m_bus.get(), &ThreadDirectory::captionsSettled, this,
            &EndpointDirectory::captionsSettled);
    connect(m_bus.get(), &ThreadDirectory::windowLeft, this, &EndpointDirectory::windowLeft);
    return true;
}

void EndpointDirectory::start(qint32 ownHandle, const QString &owner, const QString &ownCaption)
{
    INTERPROC_CHECK_THREAD(this);
    m_ownHandle = ownHandle;
    m_bus->attach([this] { busCaughtUp(); }, ownHandle, owner, ownCaption);
    m_readyAtLatest.start();
}

void EndpointDirectory::busCaughtUp()
{
    m_readyAtLatest.stop();
    // From the event loop: a handler of ready() may end the endpoint, and
    // with it the shared directory that is telling.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_ready)
                return;
            m_ready = true;
            emit ready();
        },
        Qt::QueuedConnection);
}

void EndpointDirectory::setOwnCaption(const QString &caption)
{
    if (m_bus)
        m_bus->setCaption(m_ownHandle, caption);
}

QList<PartyInfo> EndpointDirectory::match(qint32 method, const QVariant &target) const
{
    return m_bus ? m_bus->match(method, target) : QList<PartyInfo>();
}

const QMap<qint32, PartyInfo> &EndpointDirectory::windows() const
{
    static const QMap<qint32, PartyInfo> none;
    return m_bus ? m_bus->windows() : none;
}

QList<PartyInfo> EndpointDirectory::parties() const
{
    if (!m_bus)
        return {};
    QMap<qint32, PartyInfo> all = m_bus->windows();
    for (const qint32 handle : m_bus->ownersUnknown()) {
        if (!all.contains(handle))
            all.insert(handle, PartyInfo{handle, QString(), QString(), false});
    }
    return all.values();
}

QString EndpointDirectory::ownerOf(qint32 handle) const
{
    return m_bus ? m_bus->ownerOf(handle) : QString();
}

void EndpointDirectory::lookUpOwner(qint32 handle, QObject *context,
                                    std::function<void(const QString &)> done, int timeoutMs) const
{
    m_bus->lookUpOwner(handle, context, std::move(done), timeoutMs);
}

std::optional<quint8> EndpointDirectory::knownOffers(qint32 handle) const
{
    return m_bus ? m_bus->knownOffers(handle) : std::nullopt;
}

void EndpointDirectory::askOffers(qint32 handle, QObject *context, std::function<void(quint8)> done)
{
    if (m_bus) {
        m_bus->askOffers(handle, context, std::move(done));
        return;
    }
    QMetaObject::invokeMethod(
        context, [done] { done(0); }, Qt::QueuedConnection);
}

bool EndpointDirectory::isBehind() const
{
    return m_bus && m_bus->isBehind();
}
