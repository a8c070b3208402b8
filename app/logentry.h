// Texts of the received-data log and of the acknowledgement.
#pragma once

#include <QString>
#include <QStringView>

// The log entry for one received payload. Lines end with CR LF: the sender
// line, "LongData = n" unless n is 0, "StringData = text" unless the text is
// empty, and a row of 63 asterisks.
QString logEntry(const QString &senderName, qint32 longData, const QString &stringData);

// True when stringData is an acknowledgement, which is logged but never
// answered: its first 8 characters are exactly "OK from ".
bool isAcknowledgement(QStringView stringData);

// The acknowledgement that names this window by its caption.
QString acknowledgementText(const QString &caption);

// text with CR LF and lone CR turned into LF, the only line break that a
// plain text box shows without a stray character.
QString withDisplayLineBreaks(QString text);
