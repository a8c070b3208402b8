// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Where direct channels may be: both of their ends (ChannelServer listens
// there, ChannelRouter takes offers only from there) ask the same
// questions.
#pragma once

#include <QString>

namespace ChannelPlace {

// Direct channels are on unless INTERPROC_DIRECT_CHANNELS is 0.
bool directChannelsEnabled();
// XDG_RUNTIME_DIR when it is a directory of this user's that nobody else
// may enter, where channel sockets are; empty otherwise.
QString privateRuntimeDir();

} // namespace ChannelPlace
