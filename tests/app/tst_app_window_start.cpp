// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The window's layout, its role at start, the server's notice, About and Close.
#include "frmmain.h"
#include "interproc.h"
#include "windowtesthelpers.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTime>
#include <QTimer>

#include <memory>

class WindowStartTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { m_otherCopy.reset(); }
    void geometry_data();
    void geometry();
    void tabOrder_data();
    void tabOrder();
    void role_data();
    void role();
    void serverNotice();
    void noticeAfterOtherWindows_data();
    void noticeAfterOtherWindows();
    void noNoticeInClient();
    void aboutOpensModalBox_data() { role_data(); }
    void aboutOpensModalBox();
    void closeEndsWindow();

private:
    // A shown and active window in the server or the client role; the
    // server's first notice is closed unless keepNotice.
    std::unique_ptr<frmMain> startWindow(bool server, bool keepNotice = false);
    std::unique_ptr<OtherCopy> m_otherCopy;
};

std::unique_ptr<frmMain> WindowStartTest::startWindow(bool server, bool keepNotice)
{
    m_otherCopy.reset();
    if (!server)
        m_otherCopy = std::make_unique<OtherCopy>();
    auto window = std::make_unique<frmMain>();
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get()))
        return nullptr;
    if (server && !keepNotice) {
        QMessageBox *notice = waitForModalBox();
        if (!notice || !closeModalBox(notice))
            return nullptr;
        // As a window system would, give the window back the focus.
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window.get()))
            return nullptr;
    }
    return window;
}

void WindowStartTest::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("rect");

    QTest::newRow("txtLongData") << "txtLongData" << QRect(64, 8, 97, 19);
    QTest::newRow("txtStringData") << "txtStringData" << QRect(64, 32, 329, 19);
    QTest::newRow("cmdSend(1)") << "cmdSend_1" << QRect(160, 64, 113, 25);
    QTest::newRow("cmdSend(0)") << "cmdSend_0" << QRect(280, 64, 113, 25);
    QTest::newRow("txtReceived") << "txtReceived" << QRect(8, 104, 393, 121);
    QTest::newRow("cmdAbout") << "cmdAbout" << QRect(264, 232, 65, 25);
    QTest::newRow("cmdClose") << "cmdClose" << QRect(336, 232, 65, 25);
    QTest::newRow("Label1") << "Label1" << QRect(8, 88, 70, 13);
    QTest::newRow("Label2") << "Label2" << QRect(8, 8, 47, 13);
    QTest::newRow("Label3") << "Label3" << QRect(8, 32, 50, 13);
    QTest::newRow("icoClient") << "icoClient" << QRect(0, 48, 32, 32);
    QTest::newRow("icoServer") << "icoServer" << QRect(32, 48, 32, 32);
}

void WindowStartTest::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, rect);

    frmMain window;
    QCOMPARE(window.size(), QSize(408, 261));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    const auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), rect);
}

void WindowStartTest::tabOrder_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QStringList>("order");

    // The unavailable "Send to server" button of the server is skipped.
    QTest::newRow("client") << false << QStringList{"txtLongData", "txtStringData", "cmdSend_1",
                                                    "cmdSend_0",   "txtReceived",   "cmdAbout",
                                                    "cmdClose",    "txtLongData"};
    QTest::newRow("server") << true << QStringList{"txtLongData", "txtStringData", "cmdSend_0",
                                                   "txtReceived", "cmdAbout",      "cmdClose",
                                                   "txtLongData"};
}

void WindowStartTest::tabOrder()
{
    QFETCH(bool, server);
    QFETCH(QStringList, order);

    const auto window = startWindow(server);
    QVERIFY(window);
    QStringList visited;
    while (QWidget *focus = QApplication::focusWidget()) {
        visited.append(focus->objectName());
        if (visited.size() == order.size())
            break;
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(visited, order);
}

void WindowStartTest::role_data()
{
    QTest::addColumn<bool>("server");
    QTest::newRow("server") << true;
    QTest::newRow("client") << false;
}

void WindowStartTest::role()
{
    QFETCH(bool, server);

    const QTime before = QTime::currentTime();
    const auto window = startWindow(server);
    QVERIFY(window);
    QCOMPARE(window->isServer(), server);
    // InterProc1 as stored, before any send sets it.
    QCOMPARE(window->interProc()->targetSearchMethod(), 1);

    const auto *toServer = window->findChild<QPushButton *>("cmdSend_1");
    const auto *toClients = window->findChild<QPushButton *>("cmdSend_0");
    QCOMPARE(toServer->text(), "Send to server");
    QCOMPARE(toServer->isEnabled() && toServer->isVisible(), !server);
    QVERIFY(toClients->isEnabled());
    if (server) {
        QCOMPARE(window->windowTitle(), "Calvorn Control Sample - Server App");
        QCOMPARE(toClients->text(), "Send to clients");
    } else {
        const QRegularExpressionMatch match =
            QRegularExpression("^Calvorn Control Sample - Client App - (\\d\\d:\\d\\d:\\d\\d)$")
                .match(window->windowTitle());
        QVERIFY2(match.hasMatch(), qPrintable(window->windowTitle()));
        const QTime shown = QTime::fromString(match.captured(1), "HH:mm:ss");
        QVERIFY(qAbs(before.secsTo(shown)) <= 2);
        QCOMPARE(toClients->text(), "Send to other clients");
    }

    const auto *icoServer = window->findChild<QLabel *>("icoServer");
    const auto *icoClient = window->findChild<QLabel *>("icoClient");
    QVERIFY(!icoServer->isVisible() && !icoClient->isVisible());
    const auto image = [](const QPixmap &p) {
        return p.toImage().convertToFormat(QImage::Format_ARGB32);
    };
    QCOMPARE(icoServer->pixmap().size(), QSize(32, 32));
    QVERIFY(image(icoServer->pixmap()) != image(icoClient->pixmap()));
    const QLabel *expected = server ? icoServer : icoClient;
    QCOMPARE(image(window->windowIcon().pixmap(32, 32)), image(expected->pixmap()));
}

void WindowStartTest::serverNotice()
{
    const auto window = startWindow(true, true);
    QVERIFY(window);

    QMessageBox *notice = waitForModalBox();
    QVERIFY(notice);
    QCOMPARE(notice->text(), "This instance works as server app. You need at least one client "
                             "instance to test the Calvorn Control.");
    QCOMPARE(notice->windowTitle(), "Info");
    QCOMPARE(notice->icon(), QMessageBox::Information);
    QCOMPARE(notice->standardButtons(), QMessageBox::Ok);
    QVERIFY(closeModalBox(notice));

    // Closing the notice, or activating the window again, brings no notice.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QVERIFY(!waitForModalBox(500));

    // Back from another window of the program, the notice comes again.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    notice = waitForModalBox();
    QVERIFY(notice);
    QVERIFY(closeModalBox(notice));
    QVERIFY(!waitForModalBox(500));
}

void WindowStartTest::noticeAfterOtherWindows_data()
{
    QTest::addColumn<QString>("visit");
    QTest::addColumn<bool>("notice");

    QTest::newRow("context menu, Escape") << "context menu" << false;
    QTest::newRow("log's menu, Select All") << "select all" << false;
    QTest::newRow("own warning box") << "own box" << false;
    QTest::newRow("another window") << "window" << true;
}

void WindowStartTest::noticeAfterOtherWindows()
{
    QFETCH(QString, visit);
    QFETCH(bool, notice);

    const auto window = startWindow(true);
    QVERIFY(window);
    QWidget other;
    if (visit == "context menu") {
        QMenu *menu = openContextMenu(window->findChild<QLineEdit *>("txtStringData"));
        QVERIFY(menu);
        QTest::keyClick(menu, Qt::Key_Escape);
    } else if (visit == "select all") {
        auto *log = window->findChild<QPlainTextEdit *>("txtReceived");
        log->setPlainText("received");
        QMenu *menu = openContextMenu(log->viewport());
        QVERIFY(menu);
        QVERIFY(chooseMenuItem(menu, "Select All"));
        QCOMPARE(log->textCursor().selectedText(), "received");
    } else if (visit == "own box") {
        window->findChild<QLineEdit *>("txtLongData")->setText("99999999999");
        QTest::mouseClick(window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);
        QMessageBox *box = waitForModalBox();
        QVERIFY(box);
        QVERIFY(QTest::qWaitForWindowActive(box));
        QVERIFY(closeModalBox(box));
    } else {
        other.show();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        other.close();
    }
    QTRY_VERIFY(!QApplication::activePopupWidget());
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    QMessageBox *shown = waitForModalBox(notice ? 2000 : 500);
    QCOMPARE(shown && shown->windowTitle() == "Info", notice);
    if (shown)
        QVERIFY(closeModalBox(shown));
}

void WindowStartTest::noNoticeInClient()
{
    const auto window = startWindow(false);
    QVERIFY(window);
    QVERIFY(!waitForModalBox(500));

    QWidget other;
    other.show();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QVERIFY(!waitForModalBox(500));
}

void WindowStartTest::aboutOpensModalBox()
{
    QFETCH(bool, server);
    const auto window = startWindow(server);
    QVERIFY(window);

    // The about box may run its own event loop, so it is closed from a timer.
    bool seen = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seen = true;
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start(20);
    QTest::mouseClick(window->findChild<QPushButton *>("cmdAbout"), Qt::LeftButton);
    QTRY_VERIFY(seen);
    QTRY_VERIFY(!QApplication::activeModalWidget());

    // Back from the about box, the server shows its notice again.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QMessageBox *notice = waitForModalBox(server ? 2000 : 500);
    QCOMPARE(notice != nullptr, server);
    if (notice)
        QVERIFY(closeModalBox(notice));
}

void WindowStartTest::closeEndsWindow()
{
    const auto window = startWindow(false);
    QVERIFY(window);
    QTest::mouseClick(window->findChild<QPushButton *>("cmdClose"), Qt::LeftButton);
    QTRY_VERIFY(!window->isVisible());
}

QTEST_MAIN(WindowStartTest)
#include "tst_app_window_start.moc"
