// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// One endpoint's view of the windows on the bus: the directory its thread
// shares (ThreadDirectory), and when this endpoint is ready. The endpoint's own
// window is entered at once; the endpoint is ready once the shared
// directory has seen its name on the bus, and so every window that joined
// before it, and knows the windows that were there before the directory.
#pragma once

#include "partyowners.h"
#include "threaddirectory.h"

#include <QObject>
#include <QTimer>

#include <memory>

class EndpointDirectory : public QObject, public PartyOwners
{
    Q_OBJECT

public:
    explicit EndpointDirectory(QObject *parent);
    ~EndpointDirectory() override;

    // The thread's shared directory, opened if need be; false and *error
    // set when the bus cannot be reached.
    bool open(QString *error);
    // Enters this endpoint's window (its handle, the unique name of its
    // connection and its caption); ready() follows once the directory is
    // current, or at the latest DescribeTimeoutMs later.
    void start(qint32 ownHandle, const QString &owner, const QString &ownCaption);
    bool isReady() const override { return m_ready; }
    // Whether windows are still being asked for a caption they have not
    // told yet; captionsSettled() follows once none is.
    bool captionsPending() const { return m_bus && m_bus->captionsPending(); }
    void setOwnCaption(const QString &caption);

    // The windows that Target and TargetSearchMethod address, by handle.
    // An unknown method addresses none.
    QList<PartyInfo> match(qint32 method, const QVariant &target) const;
    // Every party known, this endpoint's own window included, by handle.
    const QMap<qint32, PartyInfo> &windows() const;
    // The same with the windows whose owner the bus has not named yet (no
    // owner, no caption), by handle.
    QList<PartyInfo> parties() const;
    // Unique name of the connection that owns the window, or empty.
    QString ownerOf(qint32 handle) const override;
    // Asks the bus who owns the window's name; see ThreadDirectory::lookUpOwner.
    void lookUpOwner(qint32 handle, QObject *context, std::function<void(const QString &)> done,
                     int timeoutMs) const override;

    // Whether the bus has told the directory more than it has taken in.
    bool isBehind() const override;

    // See ThreadDirectory::askOffers.
    void askOffers(qint32 handle, QObject *context, std::function<void(quint8)> done);
    std::optional<quint8> knownOffers(qint32 handle) const;

    // From ThreadDirectory: it has seen this endpoint's name and is loaded.
    void busCaughtUp();

signals:
    void ready();
    void captionsSettled();
    // A window's name has left the bus; owner is the connection that had it.
    void windowLeft(const QString &owner);

private:
    std::shared_ptr<ThreadDirectory> m_bus;
    qint32 m_ownHandle = 0;
    bool m_ready = false;
    QTimer m_readyAtLatest;
};
