// InterProc: the control a window hosts to carry payloads (a 32-bit number
// and a text) to the windows of other programs that host one. It is an
// InterProcEndpoint whose caption is always the host window's title.
#pragma once

#include <InterProc/interprocendpoint.h>
#include <InterProc/interprocwidgets_export.h>

#include <QPointer>

class QWidget;

class INTERPROCWIDGETS_EXPORT InterProc : public InterProcEndpoint
{
    Q_OBJECT
    Q_PROPERTY(qint32 WindowHandle READ windowHandle CONSTANT)

public:
    // The instance lives in host's top-level window: that window's title is
    // its caption, and the instance is destroyed with host. Connects to the
    // session bus at once; isConnected() tells whether that worked.
    explicit InterProc(QWidget *host);
    ~InterProc() override;

    // This window's handle on the bus (the same as handle()).
    qint32 windowHandle() const { return handle(); }

public Q_SLOTS:
    // Shows a modal box with the component's name, version and purpose.
    void AboutBox();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_window;
};
