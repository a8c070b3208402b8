// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "captionfit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

QSize textSize(const QFontMetrics &fm, const QString &text)
{
    return fm.boundingRect(QRect(), Qt::TextShowMnemonic, text).size();
}

// What the style adds around a push button's contents. Measured with large
// contents, so that a style's minimum button size does not count.
QSize buttonPadding(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    const QSize large(1000, 1000);
    return button->style()->sizeFromContents(QStyle::CT_PushButton, &option, large, button) - large;
}

bool fits(const QSize &needed, const QSize &room)
{
    return needed.width() <= room.width() && needed.height() <= room.height();
}

// The window's own widgets of a kind: message boxes and other dialogs are
// children of the window too, but windows of their own with a layout that
// grows with their text.
template <typename Widget> QList<const Widget *> ownWidgets(const QWidget *window)
{
    QList<const Widget *> own;
    for (const Widget *widget : window->findChildren<Widget *>()) {
        if (widget->window() == window)
            own.append(widget);
    }
    return own;
}

} // namespace

bool CaptionFit::captionsFit(const QWidget *window, const QFont &font)
{
    const QFontMetrics fm(font);
    for (const QPushButton *button : ownWidgets<QPushButton>(window)) {
        if (!button->text().isEmpty() &&
            !fits(textSize(fm, button->text()) + buttonPadding(button), button->size()))
            return false;
    }
    for (const QLabel *label : ownWidgets<QLabel>(window)) {
        if (!label->text().isEmpty() &&
            !fits(textSize(fm, label->text()), label->contentsRect().size()))
            return false;
    }
    return true;
}

QFont CaptionFit::fittingFont(const QWidget *window)
{
    QFont font = window->font();
    const bool inPixels = font.pointSizeF() <= 0;
    while (!captionsFit(window, font)) {
        if (inPixels) {
            if (font.pixelSize() <= 1)
                break;
            font.setPixelSize(font.pixelSize() - 1);
        } else {
            if (font.pointSizeF() <= fontStep)
                break;
            font.setPointSizeF(font.pointSizeF() - fontStep);
        }
    }
    return font;
}
