// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interprocendpoint.h"

#include "answerwait.h"
#include "endpointdirectory.h"
#include "interprocendpoint_p.h"
#include "interproclogging.h"
#include "interprocsend.h"
#include "searchmethod.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QEvent>
#include <QThread>

static_assert(InterProcEndpoint::ExactCaption == SearchMethod::ExactCaption &&
              InterProcEndpoint::CaptionPrefix == SearchMethod::CaptionPrefix &&
              InterProcEndpoint::WindowHandle == SearchMethod::WindowHandle);

InterProcEndpoint::InterProcEndpoint(QObject *parent) : InterProcEndpoint(QString(), parent)
{}

InterProcEndpoint::InterProcEndpoint(const QString &caption, QObject *parent)
    : QObject(parent), d(std::make_unique<InterProcEndpointPrivate>(this, caption))
{}

InterProcEndpoint::~InterProcEndpoint() = default;

bool InterProcEndpoint::event(QEvent *event)
{
    // Sent on the thread the endpoint leaves, just before it moves; again,
    // on the target thread, when it moves back.
    if (event->type() == QEvent::ThreadChange && QThread::currentThread() == d->thread()) {
        qCWarning(lcInterProc,
                  "InterProcEndpoint \"%s\" (handle %d) cannot move to another thread: its "
                  "connections stay with the thread that made it, and it moves back there",
                  qUtf8Printable(d->caption()), int(d->handle()));
        QThread *const home = d->thread();
        QMetaObject::invokeMethod(
            this, [this, home] { moveToThread(home); }, Qt::QueuedConnection);
    }
    return QObject::event(event);
}

QVariant InterProcEndpoint::target() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->properties().target;
}

void InterProcEndpoint::setTarget(const QVariant &target)
{
    INTERPROC_CHECK_THREAD(d.get());
    d->properties().target = target;
}

QString InterProcEndpoint::stringData() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->properties().stringData;
}

void InterProcEndpoint::setStringData(const QString &text)
{
    INTERPROC_CHECK_THREAD(d.get());
    d->properties().stringData = text;
}

qint32 InterProcEndpoint::longData() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->properties().longData;
}

void InterProcEndpoint::setLongData(qint32 value)
{
    INTERPROC_CHECK_THREAD(d.get());
    d->properties().longData = value;
}

qint32 InterProcEndpoint::targetSearchMethod() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->properties().searchMethod;
}

void InterProcEndpoint::setTargetSearchMethod(qint32 method)
{
    INTERPROC_CHECK_THREAD(d.get());
    d->properties().searchMethod = method;
}

qint32 InterProcEndpoint::handle() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->handle();
}

QString InterProcEndpoint::caption() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->caption();
}

void InterProcEndpoint::setCaption(const QString &caption)
{
    INTERPROC_CHECK_THREAD(d.get());
    d->setCaption(caption);
}

bool InterProcEndpoint::isConnected() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->isConnected();
}

bool InterProcEndpoint::isReady() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->isReady();
}

QString InterProcEndpoint::errorString() const
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->errorString();
}

QList<InterProcEndpoint::Party> InterProcEndpoint::parties() const
{
    INTERPROC_CHECK_THREAD(d.get());
    QList<Party> parties;
    for (const PartyInfo &window : d->windows())
        parties.append({window.handle, window.caption, window.captionKnown});
    return parties;
}

void InterProcEndpoint::awaitAnswers(const QList<qint32> &handles, QObject *context,
                                     std::function<void()> done)
{
    INTERPROC_CHECK_THREAD(d.get());
    AnswerWait::start(d->busConnection(), d->handle(), handles, d.get(), context, std::move(done));
}

qint64 InterProcEndpoint::maxTextBytes()
{
    return InterProcBus::MaxTextBytes;
}

int InterProcEndpoint::Send()
{
    INTERPROC_CHECK_THREAD(d.get());
    return d->send();
}

InterProcSend *InterProcEndpoint::startSend()
{
    INTERPROC_CHECK_THREAD(d.get());
    auto *send = new InterProcSend(this);
    d->send(send);
    return send;
}
