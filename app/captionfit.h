// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Keeps every caption of a fixed layout readable in full: where the default
// font is too large for a button or label, the window's font is scaled down
// just enough.
#pragma once

#include <QFont>
#include <QtGlobal>

class QWidget;

namespace CaptionFit {

// Points by which fittingFont() shrinks the font per try.
inline constexpr qreal fontStep = 0.25;

// True when, in font, the caption of every push button and label of the
// window itself (not of the dialogs it owns) fits within the widget.
bool captionsFit(const QWidget *window, const QFont &font);

// The window's font, made smaller in steps of fontStep until every caption
// fits (or the font cannot get smaller).
QFont fittingFont(const QWidget *window);

} // namespace CaptionFit
