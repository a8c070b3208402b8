// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interproc.h"

#include <QEvent>
#include <QMessageBox>
#include <QWidget>

namespace {
QWidget *topLevelOf(QWidget *host)
{
    return host ? host->window() : nullptr;
}
} // namespace

InterProc::InterProc(QWidget *host)
    : InterProcEndpoint(topLevelOf(host) ? topLevelOf(host)->windowTitle() : QString(), host),
      m_window(topLevelOf(host))
{
    // The window's title is the address other windows send to, so every
    // change of it is announced at once.
    if (m_window)
        m_window->installEventFilter(this);
}

InterProc::~InterProc()
{
    if (m_window)
        m_window->removeEventFilter(this);
}

bool InterProc::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::WindowTitleChange)
        setCaption(m_window->windowTitle());
    return InterProcEndpoint::eventFilter(watched, event);
}

void InterProc::AboutBox()
{
    QMessageBox::about(
        m_window, QStringLiteral("About InterProc"),
        QStringLiteral("<b>%1</b> version %2<p>Carries a number and a text between the windows "
                       "of running programs over the D-Bus session bus.</p>")
            .arg(QLatin1String(ProgId), QLatin1String(Version)));
}
