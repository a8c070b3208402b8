// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Decides when the server's notice is due: when the main window becomes the
// program's active window for the first time, and again each time it does so
// after another window of the program was active. A return from another
// application, or from one of the main window's own message boxes, does not
// bring the notice back.
#pragma once

#include <optional>

class NoticeGate
{
public:
    // The program's window that has just become active.
    enum class Window {
        Main,   // the main window
        OwnBox, // a message box of the main window, the notice among them
        Other,  // any other window of the program, such as an about box
    };

    // Records that window became active (a change to no active window, while
    // another application has the focus, and popups such as menus and
    // tooltips are not reported). Returns true when the notice is due now.
    bool activated(Window window);

private:
    std::optional<Window> m_last;
};
