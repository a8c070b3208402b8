// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The QML type InterProcEndpoint: an InterProcEndpoint as QML code uses it,
// with lower-case properties, send() and signals named for QML handlers
// (onDataArrival, onDelivered, onDeliveryFailed, onErrorOccurred), and
// startSend(), which returns the send's handle (InterProcSend). It wraps
// an endpoint and forwards to it; a value that a property cannot hold is
// refused with a warning that names what it takes, and the property keeps
// its value.
#pragma once

#include <InterProc/interprocendpoint.h>
#include <InterProc/interprocsend.h>

#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

class QmlInterProcEndpoint : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(InterProcEndpoint)

    // A caption or its start (a text), or a handle (a whole number).
    Q_PROPERTY(QVariant target READ target WRITE setTarget NOTIFY targetChanged)
    Q_PROPERTY(QString stringData READ stringData WRITE setStringData NOTIFY stringDataChanged)
    // A 32-bit signed whole number.
    Q_PROPERTY(QVariant longData READ longData WRITE setLongData NOTIFY longDataChanged)
    // 0, 1 or 2: the values of SearchMethod.
    Q_PROPERTY(QVariant targetSearchMethod READ targetSearchMethod WRITE setTargetSearchMethod
                   NOTIFY targetSearchMethodChanged)
    Q_PROPERTY(QString caption READ caption WRITE setCaption NOTIFY captionChanged)
    Q_PROPERTY(qint32 handle READ handle CONSTANT)
    Q_PROPERTY(bool connected READ isConnected NOTIFY connectedChanged)
    Q_PROPERTY(bool ready READ isReady NOTIFY readyChanged)
    Q_PROPERTY(QString errorString READ errorString NOTIFY connectedChanged)

public:
    enum SearchMethod : qint32 {
        ExactCaption = InterProcEndpoint::ExactCaption,
        CaptionPrefix = InterProcEndpoint::CaptionPrefix,
        WindowHandle = InterProcEndpoint::WindowHandle,
    };
    Q_ENUM(SearchMethod)

    // The values of InterProcSend::Outcome, as QML code names them
    // (InterProcEndpoint.Delivered) when it compares a handle's outcome().
    enum Outcome : qint32 {
        Pending = InterProcSend::Pending,
        Delivered = InterProcSend::Delivered,
        ReceiverGone = InterProcSend::ReceiverGone,
        NotTakenInTime = InterProcSend::NotTakenInTime,
        Uncertain = InterProcSend::Uncertain,
        Refused = InterProcSend::Refused,
        QueueFull = InterProcSend::QueueFull,
        TooLarge = InterProcSend::TooLarge,
        NotConnected = InterProcSend::NotConnected,
        NoAddressee = InterProcSend::NoAddressee,
        LocalError = InterProcSend::LocalError,
    };
    Q_ENUM(Outcome)

    explicit QmlInterProcEndpoint(QObject *parent = nullptr);

    QVariant target() const;
    void setTarget(const QVariant &target);
    QString stringData() const;
    void setStringData(const QString &text);
    QVariant longData() const;
    void setLongData(const QVariant &value);
    QVariant targetSearchMethod() const;
    void setTargetSearchMethod(const QVariant &method);
    QString caption() const;
    void setCaption(const QString &caption);
    qint32 handle() const;
    bool isConnected() const;
    bool isReady() const;
    QString errorString() const;

    // Sends longData and stringData to every party that target and
    // targetSearchMethod address. Returns the number addressed, or -1 before
    // ready (the payload then goes out once it is).
    Q_INVOKABLE int send();
    // Sends as send() does and returns the send's handle (InterProcSend:
    // addressed, outcome(), outcome(handle), reason(handle),
    // remoteErrorName(handle), onAddressedKnown, onOutcomeKnown,
    // onFinished). The handle belongs to JavaScript: it lives while a script
    // refers to it (keep it in a property until onFinished) and stops
    // reporting when collected; the send goes on.
    Q_INVOKABLE InterProcSend *startSend();

Q_SIGNALS:
    void dataArrival(qint32 senderHandle, const QString &senderName, qint32 longData,
                     const QString &stringData);
    void delivered(qint32 windowHandle, const QString &windowName);
    void deliveryFailed(qint32 windowHandle, const QString &windowName, const QString &reason);
    void errorOccurred(const QString &message);
    void targetChanged();
    void stringDataChanged();
    void longDataChanged();
    void targetSearchMethodChanged();
    void captionChanged();
    void connectedChanged();
    void readyChanged();

private:
    void refuse(const char *property, const QString &takes, const QVariant &value);

    InterProcEndpoint m_endpoint;
};
