// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "calvornresources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares a function, which must happen outside a namespace.
static void initIcons()
{
    Q_INIT_RESOURCE(icons);
}

void CalvornResources::init()
{
    static const bool done = (initIcons(), true);
    Q_UNUSED(done);
}
