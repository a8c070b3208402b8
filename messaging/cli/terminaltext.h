// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What other parties say (captions, sender names, error texts, payloads) as
// the command prints it: every character that could act on a terminal or
// reorder what it shows is escaped as JSON escapes it, so that a party can
// neither retitle nor clear the user's terminal, nor forge a line of output.
#pragma once

#include <QString>
#include <QStringView>

namespace TerminalText {

enum class Quotes { Kept, Escaped };

// Appends text with the backslash, C0 and C1 controls, DEL, the line and
// paragraph separators and the bidirectional formatting characters escaped
// (\\, \n, \r, \t, \b, \f, \u001b, \u202e). With Quotes::Escaped, '"' too:
// the result is then the inside of a JSON string.
void appendEscaped(QString &out, QStringView text, Quotes quotes = Quotes::Kept);

// text escaped as appendEscaped does.
QString escaped(QStringView text, Quotes quotes = Quotes::Kept);

} // namespace TerminalText
