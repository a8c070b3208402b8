// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "frmmain.h"
#include "ui_frmmain.h"

#include "calvornresources.h"
#include "calvornversion.h"
#include "captionfit.h"
#include "instancerole.h"
#include "interproc.h"
#include "longdatakeyfilter.h"
#include "stringdatafield.h"

#include <QApplication>
#include <QButtonGroup>
#include <QTime>
#include <QWindow>

namespace {

// Marks the message boxes of the window itself: returning from one of them
// is no return from another window.
constexpr const char *ownBoxProperty = "calvornOwnBox";

// Only windows and dialogs are windows of the program that the user turns
// to; popups (menus, completers) and tooltips are part of the window that
// opened them, even where they take the focus for a while.
bool isRealWindow(const QWindow *window)
{
    return window->type() == Qt::Window || window->type() == Qt::Dialog;
}

QWidget *widgetOf(const QWindow *window)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->windowHandle() == window)
            return widget;
    }
    return nullptr;
}

} // namespace

frmMain::frmMain(QWidget *parent) : QWidget(parent), ui(std::make_unique<Ui::frmMain>())
{
    CalvornResources::init();
    ui->setupUi(this);

    cmdSend = {ui->cmdSend_0, ui->cmdSend_1};
    cmdSendGroup = new QButtonGroup(this);
    for (int index = 0; index < int(cmdSend.size()); ++index)
        cmdSendGroup->addButton(cmdSend[index], index);
    connect(cmdSendGroup, &QButtonGroup::idClicked, this, &frmMain::cmdSendClick);
    connect(ui->cmdAbout, &QPushButton::clicked, this, &frmMain::cmdAboutClick);
    connect(ui->cmdClose, &QPushButton::clicked, this, &frmMain::cmdCloseClick);
    new LongDataKeyFilter(ui->txtLongData);
    stringDataField = new StringDataField(ui->txtStringData);

    InterProc1 = new InterProc(this);
    InterProc1->setObjectName(QStringLiteral("InterProc1"));
    connect(InterProc1, &InterProc::DataArrival, this, &frmMain::dataArrival);
    // Skip is passed by reference, so the handler must run inside the emit.
    connect(InterProc1, &InterProc::WindowCheck, this, &frmMain::windowCheck, Qt::DirectConnection);
    connect(InterProc1, &InterProc::errorOccurred, this, &frmMain::showComponentError);
    connect(InterProc1, &InterProc::connectionLost, this, &frmMain::connectionLost);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &frmMain::focusWindowChanged);
    errorBoxRefresh.setSingleShot(true);
    errorBoxRefresh.setInterval(100);
    connect(&errorBoxRefresh, &QTimer::timeout, this, [this] {
        if (errorBoxStale && errorBox)
            refreshErrorBox();
    });

    load();
    ui->txtLongData->setFocus();
}

frmMain::~frmMain()
{
    // Destroying the child windows moves the focus; that must not reach the
    // handlers of this half-destroyed window.
    disconnect(qApp, nullptr, this, nullptr);
    InterProc1->disconnect(this);
}

void frmMain::load()
{
    instanceRole = std::make_unique<InstanceRole>();
    if (instanceRole->isServer()) {
        setWindowTitle(windowTitle() + QStringLiteral("Server App"));
        setWindowIcon(QIcon(ui->icoServer->pixmap()));
        bServer = true;
        cmdSend[1]->setEnabled(false);
    } else {
        setWindowTitle(windowTitle() + QStringLiteral("Client App - ") +
                       QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
        setWindowIcon(QIcon(ui->icoClient->pixmap()));
        cmdSend[0]->setText(QStringLiteral("Send to other clients"));
    }
    if (!instanceRole->errorString().isEmpty())
        showComponentError(instanceRole->errorString());
    if (!instanceRole->foreignOwner().isEmpty())
        showComponentError(instanceRole->foreignOwner());

    // The layout is fixed; a default font too wide for it gets smaller.
    const QFont fitting = CaptionFit::fittingFont(this);
    if (fitting != font())
        setFont(fitting);
}

void frmMain::focusWindowChanged(QWindow *window)
{
    if (!window)
        return; // another application is active: this is no change of window
    if (!isRealWindow(window))
        return;
    NoticeGate::Window kind = NoticeGate::Window::Other;
    if (window == windowHandle()) {
        kind = NoticeGate::Window::Main;
    } else if (const QWidget *widget = widgetOf(window);
               widget && widget->property(ownBoxProperty).toBool()) {
        kind = NoticeGate::Window::OwnBox;
    }
    activated(kind);
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The first showing counts as an activation even where the window system
    // gives the new window no focus.
    if (!shown) {
        shown = true;
        activated(NoticeGate::Window::Main);
    }
}

void frmMain::activated(NoticeGate::Window window)
{
    // The notice opens after the activation has been handled in full.
    if (noticeGate.activated(window) && bServer)
        QMetaObject::invokeMethod(this, &frmMain::showServerNotice, Qt::QueuedConnection);
}

void frmMain::showServerNotice()
{
    if (serverNotice)
        return;
    serverNotice = newMessageBox(QMessageBox::Information, QStringLiteral("Info"),
                                 QStringLiteral("This instance works as server app. You need at "
                                                "least one client instance to test the Calvorn "
                                                "Control."));
    serverNotice->show();
}

void frmMain::cmdAboutClick()
{
    InterProc1->AboutBox();
}

void frmMain::cmdCloseClick()
{
    close();
}

void frmMain::showComponentError(const QString &message)
{
    if (!errorBox) {
        errorBox =
            new QMessageBox(QMessageBox::Warning, QString::fromLatin1(CalvornVersion::ProductName),
                            QString(), QMessageBox::Ok, this);
        errorBox->setWindowModality(Qt::NonModal);
        errorBox->setProperty(ownBoxProperty, true);
        // Failures quote other processes; nothing of theirs is markup.
        errorBox->setTextFormat(Qt::PlainText);
        // Failures must not take the keyboard from what the user is typing.
        errorBox->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    // Failures that come while the box is open are added to it, each once;
    // a closed box starts anew and opens at once.
    if (!errorBox->isVisible()) {
        failures.clear();
        failures.add(message);
        refreshErrorBox();
        return;
    }
    failures.add(message);
    // Laying out the box takes milliseconds: failures that follow within a
    // tenth of a second of the last showing are shown together.
    if (errorBoxRefresh.isActive()) {
        errorBoxStale = true;
        return;
    }
    refreshErrorBox();
}

void frmMain::refreshErrorBox()
{
    errorBoxStale = false;
    errorBox->setText(failures.text());
    errorBox->show();
    errorBoxRefresh.start();
}

void frmMain::connectionLost()
{
    // The component has said why in the error box. The window stays open
    // so that the received data can still be read and copied; it can no
    // longer send.
    for (QPushButton *button : cmdSend)
        button->setEnabled(false);
}

QMessageBox *frmMain::newMessageBox(QMessageBox::Icon icon, const QString &title,
                                    const QString &text)
{
    auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok, this);
    box->setWindowModality(Qt::ApplicationModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setProperty(ownBoxProperty, true);
    return box;
}
