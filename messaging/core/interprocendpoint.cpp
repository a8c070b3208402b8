#include "interprocendpoint.h"

#include <InterProc/interprocbus.h>
#include "answerwait.h"
#include "interprocendpoint_p.h"
#include "windowdirectory.h"

InterProcEndpoint::InterProcEndpoint(QObject *parent) : InterProcEndpoint(QString(), parent)
{}

InterProcEndpoint::InterProcEndpoint(const QString &caption, QObject *parent)
    : QObject(parent), d(std::make_unique<InterProcEndpointPrivate>(this, caption))
{}

InterProcEndpoint::~InterProcEndpoint() = default;

QVariant InterProcEndpoint::target() const
{
    return d->target;
}

void InterProcEndpoint::setTarget(const QVariant &target)
{
    d->target = target;
}

QString InterProcEndpoint::stringData() const
{
    return d->stringData;
}

void InterProcEndpoint::setStringData(const QString &text)
{
    d->stringData = text;
}

qint32 InterProcEndpoint::longData() const
{
    return d->longData;
}

void InterProcEndpoint::setLongData(qint32 value)
{
    d->longData = value;
}

qint32 InterProcEndpoint::targetSearchMethod() const
{
    return d->searchMethod;
}

void InterProcEndpoint::setTargetSearchMethod(qint32 method)
{
    d->searchMethod = method;
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
        parties.append({window.handle, window.caption});
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
