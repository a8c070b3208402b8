// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Work too long for an endpoint's thread (reading or writing a text of
// hundreds of MiB) runs on the global thread pool; its result comes back to
// the endpoint's thread through a QFutureWatcher owned by a context object,
// so that it is dropped, not delivered, when the context is gone first.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>

template <typename Work, typename Done> void runOffThread(QObject *context, Work work, Done done)
{
    using Result = std::invoke_result_t<Work &>;
    auto *watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->result());
                     });
    auto promise = std::make_shared<QPromise<Result>>();
    watcher->setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        promise->start();
        promise->addResult(work());
        promise->finish();
    });
}
