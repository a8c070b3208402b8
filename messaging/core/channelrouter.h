// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The sending end of direct channels. For each window this endpoint sends
// to, it asks the window once for a channel, connects and attaches it in
// the background, while deliveries go over the bus. Deliveries switch to the
// channel at the first moment no delivery to that window is still on its way
// over the bus: the window has queued all of those, so it takes this
// sender's payloads in order whichever way each one came. The bus stays the
// way to every window that offers no channel or whose channel has closed.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class BusConnection;
struct sd_bus_message;

class ChannelRouter : public QObject
{
    Q_OBJECT

public:
    // bus: the endpoint's bus connection.
    ChannelRouter(BusConnection *bus, QObject *parent);
    ~ChannelRouter() override;

    // The direct channel for the next delivery to the window of the bus
    // connection `owner`, or null for the bus. A delivery over the bus must
    // be reported back with busDeliveryAnswered once its call has been
    // answered, or has failed.
    BusConnection *route(const QString &owner);
    void busDeliveryAnswered(const QString &owner);
    // A delivery over the channel failed; the channel is dropped if it has closed.
    void directDeliveryFailed(const QString &owner);
    // The window of the connection `owner` has left the bus.
    void forget(const QString &owner);

private:
    struct Channel
    {
        enum State { Opening, Open, Unavailable };
        State state = Opening;
        int busDeliveries = 0; // answers still to come over the bus
        quint64 generation = 0;
        QPointer<BusConnection> connection;
    };

    void open(const QString &owner, quint64 generation);
    void offered(const QString &owner, quint64 generation, sd_bus_message *reply);
    void attach(const QString &owner, quint64 generation, const QByteArray &token);
    // The channel to `owner` as it was when `generation` started opening it,
    // or null when it has been forgotten or reopened since.
    Channel *current(const QString &owner, quint64 generation);
    void close(Channel &channel);

    BusConnection *m_bus;
    QHash<QString, Channel> m_channels; // by the window's bus connection
    quint64 m_nextGeneration = 1;
};
