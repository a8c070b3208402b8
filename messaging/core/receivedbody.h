// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The sizes in a message that sd-bus has read, told without reading its
// arguments: sd-bus checks every byte of a string argument (for NUL and
// valid UTF-8) when it is read, which for a string of 100 MiB holds up the
// home thread for long. A string over a bound is refused by its size
// instead.
#pragma once

#include <systemd/sd-bus.h>

#include <QtGlobal>

#include <optional>

namespace ReceivedBody {

// The length in bytes of the string that follows one 32-bit argument at
// the start of m's body: a Describe reply or a CaptionChanged signal.
// nullopt when it cannot be told (read the string then).
std::optional<quint64> stringAfterInt(sd_bus_message *m);

// The length in bytes of the last string of a Deliver call (isis), given
// the sender name that sd-bus read for its second argument. nullopt when it
// cannot be told.
std::optional<quint64> deliverText(sd_bus_message *m, const char *senderName);

} // namespace ReceivedBody
