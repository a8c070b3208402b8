// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The program's only window: it takes the server or client role at start,
// sends the typed payload to the server or to the clients, and logs and
// acknowledges the payloads it receives.
#pragma once

#include "failurelist.h"
#include "noticegate.h"

#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>

class InstanceRole;
class InterProc;
class QButtonGroup;
class QPushButton;
class QWindow;
class StringDataField;

namespace Ui {
class frmMain;
}

class frmMain : public QWidget
{
    Q_OBJECT
public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    InterProc *interProc() const { return InterProc1; }
    bool isServer() const { return bServer; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    // Start-up, role and window commands.
    void load();
    void focusWindowChanged(QWindow *window);
    void activated(NoticeGate::Window window);
    void showServerNotice();
    void cmdAboutClick();
    void cmdCloseClick();
    void showComponentError(const QString &message);
    void refreshErrorBox();
    void connectionLost();
    QMessageBox *newMessageBox(QMessageBox::Icon icon, const QString &title, const QString &text);

    // Sending, receiving and acknowledging.
    void cmdSendClick(int index);
    void dataArrival(qint32 senderHandle, const QString &senderName, qint32 longData,
                     const QString &stringData);
    void windowCheck(qint32 windowHandle, const QString &windowName, bool &skip);
    void flushLog();

    std::unique_ptr<Ui::frmMain> ui;
    // The send buttons as one control array: index 1 sends to the server,
    // index 0 to the clients.
    std::array<QPushButton *, 2> cmdSend{};
    QButtonGroup *cmdSendGroup = nullptr;
    StringDataField *stringDataField = nullptr; // txtStringData's text, of any length
    InterProc *InterProc1 = nullptr;
    // Entries arrived since the log was last appended to, as one list of
    // pieces (see logEntryPieces).
    QStringList pendingLog;
    qsizetype pendingLogChars = 0; // received characters in it
    // The acknowledgement for the caption it names, made once per caption
    // rather than once per payload of a flood.
    QString acknowledgedCaption;
    QString acknowledgement;
    std::unique_ptr<InstanceRole> instanceRole;
    bool bServer = false;

    NoticeGate noticeGate;
    bool shown = false;
    QPointer<QMessageBox> serverNotice;
    // Component failures share one box, which stays open while the user works.
    QPointer<QMessageBox> errorBox;
    FailureList failures;   // what the box shows while it is open
    QTimer errorBoxRefresh; // while it runs, failures wait to be shown
    bool errorBoxStale = false;
};
