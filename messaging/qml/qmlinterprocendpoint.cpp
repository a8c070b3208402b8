// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "qmlinterprocendpoint.h"

#include "qmlvalues.h"

#include <QJSEngine>
#include <QQmlInfo>

#include <limits>

namespace {
const QString WholeNumbers = QStringLiteral("a whole number from %1 to %2")
                                 .arg(std::numeric_limits<qint32>::min())
                                 .arg(std::numeric_limits<qint32>::max());
} // namespace

QmlInterProcEndpoint::QmlInterProcEndpoint(QObject *parent) : QObject(parent)
{
    connect(&m_endpoint, &InterProcEndpoint::DataArrival, this, &QmlInterProcEndpoint::dataArrival);
    connect(&m_endpoint, &InterProcEndpoint::delivered, this, &QmlInterProcEndpoint::delivered);
    connect(&m_endpoint, &InterProcEndpoint::deliveryFailed, this,
            &QmlInterProcEndpoint::deliveryFailed);
    connect(&m_endpoint, &InterProcEndpoint::errorOccurred, this,
            &QmlInterProcEndpoint::errorOccurred);
    connect(&m_endpoint, &InterProcEndpoint::captionChanged, this,
            &QmlInterProcEndpoint::captionChanged);
    connect(&m_endpoint, &InterProcEndpoint::ready, this, &QmlInterProcEndpoint::readyChanged);
    // Losing the bus changes connected, errorString and ready at once.
    connect(&m_endpoint, &InterProcEndpoint::connectionLost, this, [this] {
        emit connectedChanged();
        emit readyChanged();
    });
}

QVariant QmlInterProcEndpoint::target() const
{
    return m_endpoint.target();
}

void QmlInterProcEndpoint::setTarget(const QVariant &target)
{
    QVariant accepted;
    if (target.metaType().id() == QMetaType::QString)
        accepted = target.toString();
    else if (const auto number = QmlValues::wholeNumber(target))
        accepted = *number;
    else
        return refuse("target",
                      QStringLiteral("a caption (a text) or a handle (%1)").arg(WholeNumbers),
                      target);
    if (accepted == m_endpoint.target())
        return;
    m_endpoint.setTarget(accepted);
    emit targetChanged();
}

QString QmlInterProcEndpoint::stringData() const
{
    return m_endpoint.stringData();
}

void QmlInterProcEndpoint::setStringData(const QString &text)
{
    if (text == m_endpoint.stringData())
        return;
    m_endpoint.setStringData(text);
    emit stringDataChanged();
}

QVariant QmlInterProcEndpoint::longData() const
{
    return m_endpoint.longData();
}

void QmlInterProcEndpoint::setLongData(const QVariant &value)
{
    const auto number = QmlValues::wholeNumber(value);
    if (!number)
        return refuse("longData", WholeNumbers, value);
    if (*number == m_endpoint.longData())
        return;
    m_endpoint.setLongData(*number);
    emit longDataChanged();
}

QVariant QmlInterProcEndpoint::targetSearchMethod() const
{
    return m_endpoint.targetSearchMethod();
}

void QmlInterProcEndpoint::setTargetSearchMethod(const QVariant &method)
{
    const auto number = QmlValues::wholeNumber(method);
    if (!number || *number < ExactCaption || *number > WindowHandle)
        return refuse("targetSearchMethod",
                      QStringLiteral("0 (InterProcEndpoint.ExactCaption), 1 "
                                     "(InterProcEndpoint.CaptionPrefix) or 2 "
                                     "(InterProcEndpoint.WindowHandle)"),
                      method);
    if (*number == m_endpoint.targetSearchMethod())
        return;
    m_endpoint.setTargetSearchMethod(*number);
    emit targetSearchMethodChanged();
}

QString QmlInterProcEndpoint::caption() const
{
    return m_endpoint.caption();
}

void QmlInterProcEndpoint::setCaption(const QString &caption)
{
    m_endpoint.setCaption(caption); // announces captionChanged when it changed
}

qint32 QmlInterProcEndpoint::handle() const
{
    return m_endpoint.handle();
}

bool QmlInterProcEndpoint::isConnected() const
{
    return m_endpoint.isConnected();
}

bool QmlInterProcEndpoint::isReady() const
{
    return m_endpoint.isReady();
}

QString QmlInterProcEndpoint::errorString() const
{
    return m_endpoint.errorString();
}

int QmlInterProcEndpoint::send()
{
    return m_endpoint.Send();
}

InterProcSend *QmlInterProcEndpoint::startSend()
{
    InterProcSend *send = m_endpoint.startSend();
    // Without a parent, so that the engine collects it once no script
    // refers to it; left to the endpoint, every handle would live as long.
    send->setParent(nullptr);
    QJSEngine::setObjectOwnership(send, QJSEngine::JavaScriptOwnership);
    return send;
}

void QmlInterProcEndpoint::refuse(const char *property, const QString &takes, const QVariant &value)
{
    qmlWarning(this).noquote() << QStringLiteral("%1 takes %2, not %3; it keeps %4.")
                                      .arg(QLatin1String(property), takes,
                                           QmlValues::describe(value),
                                           QmlValues::describe(this->property(property)));
}
