// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// While it lives, turns on the component's debug lines and keeps those about
// direct channels ("direct channel to … open", "… closed"); every other
// message goes where it went before.
#pragma once

#include <QLoggingCategory>
#include <QStringList>

namespace TestSupport {

class ChannelLog
{
public:
    ChannelLog()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("calvorn.interproc.debug=true"));
        lines().clear();
        s_previous = qInstallMessageHandler(record);
    }
    ~ChannelLog()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    ChannelLog(const ChannelLog &) = delete;
    ChannelLog &operator=(const ChannelLog &) = delete;

    static QStringList &lines()
    {
        static QStringList kept;
        return kept;
    }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (message.startsWith(QLatin1String("direct channel")))
            lines().append(message);
        else if (s_previous)
            s_previous(type, context, message);
    }

    inline static QtMessageHandler s_previous = nullptr;
};

} // namespace TestSupport
