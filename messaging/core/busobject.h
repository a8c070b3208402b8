// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The object an endpoint exports at /org/calvorn/InterProc, as
// org.calvorn.InterProc.xml describes it: the properties Handle and Caption,
// Describe, the Deliver* entry points, the direct channel's two calls and
// the CaptionChanged signal. The same object answers on the bus and on every
// direct channel; a channel that has not attached gets nothing but
// AttachDirectChannel answered. Calls whose arguments match no method are
// refused as unknown methods, as the contract has no other forms.
#pragma once

#include "identity.h"
#include "payloadtext.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <systemd/sd-bus.h>

class Admission;
class BusConnection;
class ChannelServer;

// What the object tells about its endpoint, owned by the endpoint.
class BusObject : public QObject
{
    Q_OBJECT

public:
    // bus is the endpoint's bus connection; channels may be null.
    BusObject(const Identity *identity, BusConnection *bus, Admission *admission,
              ChannelServer *channels, QObject *parent);
    ~BusObject() override;

    // Exports the object on a connection; false when sd-bus refuses.
    bool exportOn(BusConnection *connection);
    void withdrawFrom(BusConnection *connection);

    // Announces the endpoint's caption on the bus.
    void emitCaptionChanged();

private:
    struct Export;
    static const sd_bus_vtable *table();
    static int guard(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int describe(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliver(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliverUtf8(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliverSealed(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliverBatch(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliverSealedUtf16(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int deliverSealedAs(sd_bus_message *m, void *userdata, PayloadText::Encoding encoding);
    static int features(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int openDirectChannel(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int attachDirectChannel(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int property(sd_bus *bus, const char *path, const char *interface, const char *property,
                        sd_bus_message *reply, void *userdata, sd_bus_error *error);

    // The caller a call speaks for (its bus sender, or the connection a
    // channel is attached for); empty after refusing it.
    QString takeCaller(Export *on, sd_bus_message *m);

    const Identity *m_identity;
    BusConnection *m_bus;
    Admission *m_admission;
    ChannelServer *m_channels;
    QHash<BusConnection *, Export *> m_exports;
};
