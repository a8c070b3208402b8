// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "delivery.h"

#include "commandline.h"

#include <InterProc/interprocconventions.h>
#include <InterProc/interprocsend.h>

#include <QEventLoop>
#include <QSet>
#include <QTimer>

namespace {

// A send held back until the windows being asked have told their captions
// goes out within the directory's wait for an answer (2 s); past this, it
// went to nobody.
constexpr int HeldSendBoundMs = 4000;

QString windowCount(int n)
{
    return n == 1 ? QStringLiteral("1 window") : QStringLiteral("%1 windows").arg(n);
}

// Why a send by caption found nobody: nobody has the caption, or some party
// that might have it did not tell its caption when asked.
QString nobodyFound(const InterProcEndpoint &endpoint, const Address &address)
{
    if (address.method == InterProcEndpoint::WindowHandle)
        return address.nobody;
    QStringList silent;
    for (const InterProcEndpoint::Party &party : endpoint.parties()) {
        if (!party.captionKnown && party.handle != endpoint.handle())
            silent.append(QString::number(party.handle));
    }
    if (silent.isEmpty())
        return address.nobody;
    // Named a few at a time: a bus may hold thousands of such names.
    constexpr qsizetype Named = 3;
    const QString which =
        silent.size() == 1
            ? QStringLiteral("window %1 did not answer when asked for its caption")
                  .arg(silent.constFirst())
            : QStringLiteral("%1 windows did not answer when asked for their captions (%2%3)")
                  .arg(silent.size())
                  .arg(silent.first(std::min(Named, silent.size())).join(QStringLiteral(", ")),
                       silent.size() > Named ? QStringLiteral(", ...") : QString());
    return QStringLiteral("No window that answered has %1; %2 (busy or stopped).")
        .arg(address.wanted, which);
}

} // namespace

int deliver(const CommandLine &commandLine, InterProcEndpoint &endpoint, const Address &address,
            qint32 longData, const QString &text)
{
    // As a window does, the command never sends to its own party.
    QObject::connect(
        &endpoint, &InterProcEndpoint::WindowCheck, &endpoint,
        [&endpoint](qint32 window, const QString &, bool &skip) {
            InterProcConventions::skipOwnWindow(endpoint.handle(), window, skip);
        },
        Qt::DirectConnection);

    QEventLoop loop;
    QSet<qint32> answered;
    QObject::connect(&endpoint, &InterProcEndpoint::DataArrival, &loop,
                     [&](qint32 sender) { answered.insert(sender); });

    endpoint.setTarget(address.target);
    endpoint.setTargetSearchMethod(address.method);
    endpoint.setLongData(longData);
    endpoint.setStringData(text);
    InterProcSend *send = endpoint.startSend();
    QObject::connect(send, &InterProcSend::addressedKnown, &loop, [&loop](int addressed) {
        if (addressed == 0)
            loop.quit();
    });
    QObject::connect(
        send, &InterProcSend::outcomeKnown, &loop,
        [&](qint32 window, const QString &caption, InterProcSend::Outcome outcome) {
            if (outcome == InterProcSend::Delivered)
                return;
            // A window that never told its caption is named by its handle.
            const QString whom =
                caption.isEmpty() ? QStringLiteral("window %1").arg(window)
                                  : QStringLiteral("\"%1\" (window %2)").arg(caption).arg(window);
            commandLine.printError(
                QStringLiteral("not delivered to %1: %2.").arg(whom, send->reason(window)));
        });
    QObject::connect(send, &InterProcSend::finished, &loop, &QEventLoop::quit);

    // A held send goes out within the directory's wait for captions; one
    // that has not by the bound went to nobody.
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, [&] {
        if (send->addressed() < 0)
            loop.quit();
    });
    bound.start(HeldSendBoundMs);
    loop.exec();

    const int addressed = send->addressed();
    if (addressed <= 0) {
        commandLine.printError(send->outcome() == InterProcSend::NoAddressee || addressed < 0
                                   ? nobodyFound(endpoint, address)
                                   : send->reason());
        printLine("delivered to 0 windows");
        return ExitFailure;
    }

    QList<qint32> tookIt;
    for (const InterProcEndpoint::Party &party : send->addressees()) {
        if (send->outcome(party.handle) == InterProcSend::Delivered)
            tookIt.append(party.handle);
    }
    const int delivered = int(tookIt.size());
    printLine(
        (delivered == addressed
             ? QStringLiteral("delivered to %1").arg(windowCount(delivered))
             : QStringLiteral("delivered to %1 of %2").arg(delivered).arg(windowCount(addressed)))
            .toUtf8());

    // A window acknowledges every payload, and one whose acknowledgement
    // finds its sender gone reports that to its user: the command stays on
    // the bus until the windows that have not answered yet have.
    const QList<qint32> silent = (QSet<qint32>(tookIt.cbegin(), tookIt.cend()) - answered).values();
    if (!silent.isEmpty()) {
        QEventLoop answers;
        endpoint.awaitAnswers(silent, &answers, [&answers] { answers.quit(); });
        answers.exec();
    }
    return delivered == addressed ? ExitSuccess : ExitFailure;
}
