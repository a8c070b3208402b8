// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "noticegate.h"

bool NoticeGate::activated(Window window)
{
    const bool due = window == Window::Main && (!m_last || *m_last == Window::Other);
    m_last = window;
    return due;
}
