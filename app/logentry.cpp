#include "logentry.h"

namespace {
const QString lineEnd = QStringLiteral("\r\n");
const QString ackPrefix = QStringLiteral("OK from ");
} // namespace

QString logEntry(const QString &senderName, qint32 longData, const QString &stringData)
{
    QString entry = QStringLiteral("Sender = ") + senderName;
    if (longData != 0)
        entry += lineEnd + QStringLiteral("LongData = ") + QString::number(longData);
    if (!stringData.isEmpty())
        entry += lineEnd + QStringLiteral("StringData = ") + stringData;
    entry += lineEnd + QString(63, u'*') + lineEnd;
    return entry;
}

bool isAcknowledgement(QStringView stringData)
{
    return stringData.startsWith(ackPrefix, Qt::CaseSensitive);
}

QString acknowledgementText(const QString &caption)
{
    return ackPrefix + u'"' + caption + u'"';
}

QString withDisplayLineBreaks(QString text)
{
    text.replace(lineEnd, QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return text;
}
