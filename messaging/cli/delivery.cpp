#include "delivery.h"

#include "answerwait.h"
#include "commandline.h"
#include "windowcheck.h"

#include <QEventLoop>
#include <QSet>

namespace {

QString windowCount(int n)
{
    return n == 1 ? QStringLiteral("1 window") : QStringLiteral("%1 windows").arg(n);
}

} // namespace

int deliver(const CommandLine &commandLine, InterProcEndpoint &endpoint, const Address &address,
            qint32 longData, const QString &text)
{
    // As a window does, the command never sends to its own party.
    QObject::connect(
        &endpoint, &InterProcEndpoint::WindowCheck, &endpoint,
        [&endpoint](qint32 window, const QString &, bool &skip) {
            skipOwnWindow(endpoint.handle(), window, skip);
        },
        Qt::DirectConnection);

    QEventLoop loop;
    QSet<qint32> tookIt;
    QSet<qint32> answered;
    QObject::connect(&endpoint, &InterProcEndpoint::DataArrival, &loop,
                     [&](qint32 sender) { answered.insert(sender); });

    endpoint.setTarget(address.target);
    endpoint.setTargetSearchMethod(address.method);
    endpoint.setLongData(longData);
    endpoint.setStringData(text);
    // Reasons for sending nothing at all are told while Send runs.
    QStringList refused;
    const QMetaObject::Connection whileSending =
        QObject::connect(&endpoint, &InterProcEndpoint::errorOccurred, &loop,
                         [&refused](const QString &message) { refused.append(message); });
    const int addressed = endpoint.Send();
    QObject::disconnect(whileSending);
    if (addressed <= 0) {
        commandLine.printError(refused.isEmpty() ? address.nobody : refused.join(u' '));
        printLine("delivered to 0 windows");
        return ExitFailure;
    }

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
    loop.exec();

    const int delivered = int(tookIt.size());
    printLine(
        (failed == 0
             ? QStringLiteral("delivered to %1").arg(windowCount(delivered))
             : QStringLiteral("delivered to %1 of %2").arg(delivered).arg(windowCount(addressed)))
            .toUtf8());

    waitForAnswers(endpoint, tookIt, answered);
    return failed == 0 ? ExitSuccess : ExitFailure;
}
