#include "interproc.h"

#include "buscontract.h"
#include "interprocbusobject.h"

#include <QWidget>

InterProc::InterProc(QWidget *host)
    : QObject(host), d(std::make_unique<InterProcBusObject>(this, host))
{}

InterProc::~InterProc() = default;

QVariant InterProc::target() const
{
    return d->target;
}

void InterProc::setTarget(const QVariant &target)
{
    d->target = target;
}

QString InterProc::stringData() const
{
    return d->stringData;
}

void InterProc::setStringData(const QString &text)
{
    d->stringData = text;
}

qint32 InterProc::longData() const
{
    return d->longData;
}

void InterProc::setLongData(qint32 value)
{
    d->longData = value;
}

qint32 InterProc::targetSearchMethod() const
{
    return d->searchMethod;
}

void InterProc::setTargetSearchMethod(qint32 method)
{
    d->searchMethod = method;
}

qint32 InterProc::windowHandle() const
{
    return d->handle();
}

QString InterProc::caption() const
{
    return d->caption();
}

bool InterProc::isConnected() const
{
    return d->isConnected();
}

bool InterProc::isReady() const
{
    return d->isReady();
}

QString InterProc::errorString() const
{
    return d->errorString();
}

qint64 InterProc::maxTextBytes()
{
    return BusContract::MaxTextBytes;
}

int InterProc::Send()
{
    return d->send();
}

void InterProc::AboutBox()
{
    d->aboutBox();
}
