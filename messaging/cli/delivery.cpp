// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "delivery.h"

#include "commandline.h"

#include <InterProc/interprocconventions.h>

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
    QSet<qint32> tookIt;
    QSet<qint32> answered;
    QObject::connect(&endpoint, &InterProcEndpoint::DataArrival, &loop,
                     [&](qint32 sender) { answered.insert(sender); });
    // A send held back while windows are still asked for their captions goes
    // out later; its addressees are counted as they pass the check.
    int checked = 0;
    bool held = false;
    QObject::connect(
        &endpoint, &InterProcEndpoint::WindowCheck, &loop,
        [&](qint32, const QString &, bool &skip) {
            if (skip)
                return;
            if (checked++ == 0 && held)
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        },
        Qt::DirectConnection);

    int addressed = -1;
    int failed = 0;
    auto settled = [&] {
        return tookIt.size() + failed == addressed;
    };
    QObject::connect(&endpoint, &InterProcEndpoint::delivered, &loop, [&](qint32 window) {
        tookIt.insert(window);
        if (settled())
            loop.quit();
    });
    QObject::connect(
        &endpoint, &InterProcEndpoint::deliveryFailed, &loop,
        [&](qint32 window, const QString &caption, const QString &reason) {
            ++failed;
            // A window that never told its caption is named by its handle.
            const QString whom =
                caption.isEmpty() ? QStringLiteral("window %1").arg(window)
                                  : QStringLiteral("\"%1\" (window %2)").arg(caption).arg(window);
            commandLine.printError(QStringLiteral("not delivered to %1: %2.").arg(whom, reason));
            if (settled())
                loop.quit();
        });

    endpoint.setTarget(address.target);
    endpoint.setTargetSearchMethod(address.method);
    endpoint.setLongData(longData);
    endpoint.setStringData(text);
    // Reasons for sending nothing at all are told while Send runs, or while
    // a held send goes out.
    QStringList refused;
    const QMetaObject::Connection whileSending =
        QObject::connect(&endpoint, &InterProcEndpoint::errorOccurred, &loop,
                         [&refused](const QString &message) { refused.append(message); });
    addressed = endpoint.Send();
    if (addressed < 0) {
        held = true;
        checked = 0;
        QTimer bound;
        bound.setSingleShot(true);
        QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
        bound.start(HeldSendBoundMs);
        loop.exec();
        // A refusal with no outcome yet means the held send went to nobody.
        const bool nothingSent = !refused.isEmpty() && failed == 0 && tookIt.isEmpty();
        addressed = nothingSent ? 0 : checked;
    }
    QObject::disconnect(whileSending);
    if (addressed <= 0) {
        commandLine.printError(refused.isEmpty() ? nobodyFound(endpoint, address)
                                                 : refused.join(u' '));
        printLine("delivered to 0 windows");
        return ExitFailure;
    }

    if (!settled())
        loop.exec();

    const int delivered = int(tookIt.size());
    printLine(
        (failed == 0
             ? QStringLiteral("delivered to %1").arg(windowCount(delivered))
             : QStringLiteral("delivered to %1 of %2").arg(delivered).arg(windowCount(addressed)))
            .toUtf8());

    // A window acknowledges every payload, and one whose acknowledgement
    // finds its sender gone reports that to its user: the command stays on
    // the bus until the windows that have not answered yet have.
    const QSet<qint32> silent = tookIt - answered;
    if (!silent.isEmpty()) {
        QEventLoop answers;
        endpoint.awaitAnswers(silent.values(), &answers, [&answers] { answers.quit(); });
        answers.exec();
    }
    return failed == 0 ? ExitSuccess : ExitFailure;
}
