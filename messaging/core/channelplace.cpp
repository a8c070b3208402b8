// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "channelplace.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

QString ChannelPlace::privateRuntimeDir()
{
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir))
        return {};
    const QFileInfo info(dir);
    const auto othersMay = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                           QFileDevice::ExeGroup | QFileDevice::ReadOther |
                           QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (!info.isDir() || info.ownerId() != ::geteuid() || (info.permissions() & othersMay))
        return {};
    return dir;
}

bool ChannelPlace::directChannelsEnabled()
{
    static const bool enabled =
        qEnvironmentVariable("INTERPROC_DIRECT_CHANNELS") != QLatin1String("0");
    return enabled;
}
