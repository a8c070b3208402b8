// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interprocendpoint.h"

#include "answerwait.h"
#include "interprocendpoint_p.h"
#include "windowdirectory.h"
#include <InterProc/interprocbus.h>

InterProcEndpoint::InterProcEndpoint(QObject *parent) : InterProcEndpoint(QString(), parent)
{}

InterProcEndpoint::InterProcEndpoint(const QString &caption, QObject *parent)
    : QObject(parent), d(std::make_unique<InterProcEndpointPrivate>(this, caption))
{}

InterProcEndpoint::~InterProcEndpoint() = default;

QVariant InterProcEndpoint::target() const
{
    return d->properties().target;
}

void InterProcEndpoint::setTarget(const QVariant &target)
{
    d->properties().target = target;
}

QString InterProcEndpoint::stringData() const
{
    return d->properties().stringData;
}

void InterProcEndpoint::setStringData(const QString &text)
{
    d->properties().stringData = text;
}

qint32 InterProcEndpoint::longData() const
{
    return d->properties().longData;
}

void InterProcEndpoint::setLongData(qint32 value)
{
    d->properties().longData = value;
}

qint32 InterProcEndpoint::targetSearchMethod() const
{
    return d->properties().searchMethod;
}

void InterProcEndpoint::setTargetSearchMethod(qint32 method)
{
    d->properties().searchMethod = method;
}

qint32 InterProcEndpoint::handle() const
{
    return d->handle();
}

QString InterProcEndpoint::caption() const
{
    return d->caption();
}

void InterProcEndpoint::setCaption(const QString &caption)
{
    d->setCaption(caption);
}

bool InterProcEndpoint::isConnected() const
{
    return d->isConnected();
}

bool InterProcEndpoint::isReady() const
{
    return d->isReady();
}

QString InterProcEndpoint::errorString() const
{
    return d->errorString();
}

QList<InterProcEndpoint::Party> InterProcEndpoint::parties() const
{
    QList<Party> parties;
    for (const WindowInfo &window : d->windows())
        parties.append({window.handle, window.caption, window.captionKnown});
    return parties;
}

void InterProcEndpoint::awaitAnswers(const QList<qint32> &handles, QObject *context,
                                     std::function<void()> done)
{
    AnswerWait::start(d->busConnection(), d->handle(), handles, d.get(), context, std::move(done));
}

qint64 InterProcEndpoint::maxTextBytes()
{
    return InterProcBus::MaxTextBytes;
}

int InterProcEndpoint::Send()
{
    return d->send();
}
