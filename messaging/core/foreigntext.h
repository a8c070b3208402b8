// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Bounds on the texts that other processes hand this endpoint and that can
// reach a user: captions of other windows and the errors they answer
// payloads with. A party can make either as long as a bus message allows;
// what is kept of it is small, and every cut is marked.
#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace ForeignText {

// Characters kept of a remote error's name and of its message, each.
inline constexpr qsizetype MaxErrorPartLength = 300;
// The longest caption a window can have: longer ones are refused from other
// windows (which then stay known by handle only) and cut from one's own.
inline constexpr qsizetype MaxCaptionLength = 1024;

// text itself, or its first maxLength characters followed by a marker that
// says how many more there were. A surrogate pair is never split.
QString bounded(const QString &text, qsizetype maxLength);

// Why a window refused a payload, as it answered: its error message and the
// error's name, each bounded.
QString remoteError(const QString &name, const QString &message);

// False, and said in the component's log (at most one line a second, with
// the count of those not logged), when another window's caption is too long
// to be a caption.
bool acceptCaption(qint32 handle, const QString &caption);

// False, logged as acceptCaption does, when a caption of `bytes` bytes of
// UTF-8 is longer than any caption of MaxCaptionLength characters can be:
// its size refuses it before anyone reads or decodes it.
bool acceptCaptionSize(qint32 handle, quint64 bytes);

// Another window's caption as it came on the bus (valid UTF-8), or nullopt
// when it is refused, by its size (found without walking more of it than a
// caption can have) or by its characters.
std::optional<QString> captionFromBus(qint32 handle, const char *utf8);

// This endpoint's own caption as it goes on the bus: cut to
// MaxCaptionLength, with the cut said in the log.
QString ownCaption(const QString &caption);

} // namespace ForeignText
