// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "answerwait.h"

#include "busconnection.h"
#include "threadcheck.h"

#include <InterProc/interprocbus.h>

#include <QSet>
#include <QThread>

using namespace InterProcBus;

void AnswerWait::start(BusConnection *bus, qint32 ownHandle, const QList<qint32> &handles,
                       QObject *parent, QObject *context, std::function<void()> done)
{
    auto *wait = new AnswerWait(bus, ownHandle, parent, context, std::move(done));
    const QSet<qint32> parties(handles.cbegin(), handles.cend());
    if (!bus || parties.isEmpty()) {
        wait->finish();
        return;
    }
    wait->m_asking = parties.size();
    for (const qint32 party : parties) {
        wait->ask(party, [wait] {
            if (--wait->m_asking == 0)
                wait->askSelf();
        });
    }
}

AnswerWait::AnswerWait(BusConnection *bus, qint32 ownHandle, QObject *parent, QObject *context,
                       std::function<void()> done)
    : QObject(parent), m_bus(bus), m_ownHandle(ownHandle), m_context(context ? context : parent),
      m_done(std::move(done))
{
    // Nobody is left to hear the end: the calls still open are dropped with
    // this object.
    if (context)
        connect(context, &QObject::destroyed, this, &QObject::deleteLater);
}

void AnswerWait::ask(qint32 handle, std::function<void()> then)
{
    INTERPROC_CHECK_THREAD(this);
    // A party takes calls one after the other: its reply comes after what it
    // sent while handling the payloads it took before.
    const BusMessage call =
        m_bus->newCall(serviceForHandle(handle).toUtf8().constData(), "Describe");
    if (call && m_bus->call(call.get(), DeliveryTimeoutMs, this, [then](sd_bus_message *reply) {
            // No reply at all: the endpoint is closing its connection, and
            // nobody waits any more.
            if (reply)
                then();
        }))
        return;
    // The bus is gone: nothing more can come from this party.
    then();
}

void AnswerWait::askSelf()
{
    // The bus keeps the order of what each party sends, so this question
    // reaches the endpoint after everything the parties sent before their
    // replies, and its reply after the endpoint has taken all of that.
    if (m_ownHandle > 0)
        ask(m_ownHandle, [this] { finish(); });
    else
        finish();
}

void AnswerWait::finish()
{
    // From the event loop: the caller of awaitAnswers, or a reply being
    // handled, never runs into done.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_context)
                QMetaObject::invokeMethod(m_context.data(), std::move(m_done));
            deleteLater();
        },
        Qt::QueuedConnection);
}
