// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Access to the icons built into the program.
#pragma once

namespace CalvornResources {
// Makes the built-in icons available under ":/icons/". The icons live in a
// static library, whose resource data the linker would otherwise leave out.
// Safe to call any number of times.
void init();
} // namespace CalvornResources
