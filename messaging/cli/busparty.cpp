// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "busparty.h"

#include <QEventLoop>

std::unique_ptr<InterProcEndpoint> joinBus(const QString &caption, QString *error,
                                           const std::function<void(InterProcEndpoint *)> &prepare)
{
    auto endpoint = std::make_unique<InterProcEndpoint>(caption);
    if (prepare)
        prepare(endpoint.get());
    if (endpoint->isConnected() && !endpoint->isReady()) {
        // The endpoint gives up on parties that do not describe themselves
        // within a bounded time, so ready() always comes unless the bus goes.
        QEventLoop loop;
        QObject::connect(endpoint.get(), &InterProcEndpoint::ready, &loop, &QEventLoop::quit);
        QObject::connect(endpoint.get(), &InterProcEndpoint::connectionLost, &loop,
                         &QEventLoop::quit);
        loop.exec();
    }
    if (!endpoint->isConnected()) {
        *error = endpoint->errorString();
        return nullptr;
    }
    return endpoint;
}
