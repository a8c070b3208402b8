// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// InterProc: the control a window hosts to carry payloads (a 32-bit number
// and a text) to the windows of other programs that host one. It is an
// InterProcEndpoint whose caption is always the host window's title.
#pragma once

/**
 * @file interproc.h
 * @brief InterProc, the control a window hosts (InterProc::Widgets).
 */

#include <InterProc/interprocendpoint.h>
#include <InterProc/interprocwidgets_export.h>

#include <QPointer>

class QWidget;

/**
 * @class InterProc interproc.h <InterProc/interproc.h>
 *
 * @brief The InterProc control: an InterProcEndpoint that a window hosts,
 * addressed by the window's title.
 *
 * Everything it sends and receives works as described for
 * InterProcEndpoint; the only differences are that its caption is always
 * the title of the host's top-level window (every change of the title is
 * announced on the bus at once) and that it shows the component's about
 * box. Link it with @c InterProc::Widgets.
 *
 * @par Example: a window that answers every payload
 *
 * The control does not acknowledge by itself: a window that answers as
 * CalvornTest windows do keeps their rule with InterProcConventions.
 *
 * @code
 * #include <InterProc/interproc.h>
 * #include <InterProc/interprocconventions.h>
 *
 * class Window : public QWidget
 * {
 * public:
 *     Window()
 *     {
 *         setWindowTitle(QStringLiteral("Calvorn Control Sample - Server App"));
 *         m_interProc = new InterProc(this);
 *         // A payload to every window whose title begins with the target
 *         // reaches this window too, unless it skips itself here.
 *         connect(m_interProc, &InterProc::WindowCheck, this, &Window::windowCheck,
 *                 Qt::DirectConnection);
 *         connect(m_interProc, &InterProc::DataArrival, this, &Window::dataArrival);
 *     }
 *
 * private:
 *     void windowCheck(qint32 handle, const QString &, bool &skip)
 *     {
 *         InterProcConventions::skipOwnWindow(m_interProc->windowHandle(), handle, skip);
 *     }
 *
 *     void dataArrival(qint32 from, const QString &, qint32, const QString &text)
 *     {
 *         if (InterProcConventions::isAcknowledgement(text))
 *             return; // acknowledgements are not answered
 *         m_interProc->setTarget(from);
 *         m_interProc->setTargetSearchMethod(InterProc::WindowHandle);
 *         m_interProc->setLongData(0);
 *         m_interProc->setStringData(InterProcConventions::acknowledgementText(windowTitle()));
 *         m_interProc->Send();
 *     }
 *
 *     InterProc *m_interProc = nullptr;
 * };
 * @endcode
 */
class INTERPROCWIDGETS_EXPORT InterProc : public InterProcEndpoint
{
    Q_OBJECT
    /**
     * This window's handle on the bus; see windowHandle().
     */
    Q_PROPERTY(qint32 WindowHandle READ windowHandle CONSTANT)

public:
    /**
     * Creates the control in @p host's top-level window, whose title becomes
     * its caption, and connects it to the session bus at once;
     * isConnected() tells whether that worked.
     *
     * @param host a widget of the window that hosts the control; the
     *        control is its child and is destroyed with it
     */
    explicit InterProc(QWidget *host);
    /**
     * Leaves the bus and stops following the window's title.
     */
    ~InterProc() override;

    /**
     * This window's handle on the bus.
     * @return the same as handle()
     */
    qint32 windowHandle() const { return handle(); }

public Q_SLOTS:
    /**
     * Shows a modal box with the component's name, version and purpose.
     */
    void AboutBox();

protected:
    /**
     * Follows the host window's title: a subclass that filters events of
     * its own calls this implementation for the rest.
     * @param watched the object whose event it is
     * @param event the event
     * @return whether the event was taken (never, for a title change)
     */
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_window;
};
