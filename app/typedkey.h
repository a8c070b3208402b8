// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Telling the keys that type characters from those that edit.
#pragma once

class QKeyEvent;

// Whether key types characters into a text field rather than editing it.
// With Control or Meta held a key is a shortcut such as Ctrl+V, whatever text
// the platform reports for it. Editing keys report no text or only control
// characters: Backspace "\b", Return "\r", and on X11 Delete and the keypad's
// Delete "\x7f".
bool typesCharacters(const QKeyEvent &key);
