// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The window's sending, receiving and acknowledging, with the messaging
// component on the test's private bus.
#include "frmmain.h"
#include "interproc.h"
#include "windowtesthelpers.h"

#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>

#include <memory>

namespace {

const QString stars(63, u'*');

// A text of at least bytes bytes of UTF-8, with CR LF, tabs and characters
// outside the Basic Multilingual Plane.
QString longText(qint64 bytes)
{
    const QString chunk = QString::fromUtf8("line\r\n\tcolumn\t\U0001F600 \U0001D11E \u00e9 "
                                            "\u4e2d\r\n");
    const qint64 chunkBytes = chunk.toUtf8().size();
    return chunk.repeated((bytes + chunkBytes - 1) / chunkBytes);
}

// Property values that no handler of the window sets.
void setUntouched(InterProc *ip)
{
    ip->setTarget(QStringLiteral("untouched"));
    ip->setTargetSearchMethod(InterProc::CaptionPrefix);
    ip->setLongData(777);
    ip->setStringData(QStringLiteral("untouched"));
}

bool isUntouched(const InterProc *ip)
{
    return ip->target() == QVariant(QStringLiteral("untouched")) &&
           ip->targetSearchMethod() == InterProc::CaptionPrefix && ip->longData() == 777 &&
           ip->stringData() == QStringLiteral("untouched");
}

// True when a send from `from` to the clients would address the window with
// handle; the probe skips every window, so nothing is sent.
bool addressesClient(InterProc *from, qint32 handle)
{
    if (!from->isReady())
        return false; // a send now would be held back and go out later
    bool addressed = false;
    const auto probe = QObject::connect(
        from, &InterProc::WindowCheck, from,
        [&](qint32 checked, const QString &, bool &skip) {
            addressed = addressed || checked == handle;
            skip = true;
        },
        Qt::DirectConnection);
    from->setTarget(QStringLiteral("Calvorn Control Sample - Client"));
    from->setTargetSearchMethod(InterProc::CaptionPrefix);
    from->Send();
    QObject::disconnect(probe);
    return addressed;
}

} // namespace

class WindowTransferTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void keyFilter_data();
    void keyFilter();
    void editingKeys_data();
    void editingKeys();
    void pasteIsNotFiltered();
    void pasteLongText_data();
    void pasteLongText();
    void heldText_data();
    void heldText();
    void undoAfterClearing_data();
    void undoAfterClearing();
    void send_data();
    void send();
    void sendOutOfRange();
    void receive_data();
    void receive();
    void logScrollsToEnd();
    void windowCheck_data();
    void windowCheck();
    void roundTripBetweenClients();
    void failuresShareOneBox();

private:
    QLineEdit *edit(const char *name) const { return m_window->findChild<QLineEdit *>(name); }
    QPlainTextEdit *log() const { return m_window->findChild<QPlainTextEdit *>("txtReceived"); }
    InterProc *ip() const { return m_window->interProc(); }
    QString sentToClient();

    std::unique_ptr<OtherCopy> m_otherCopy;
    std::unique_ptr<frmMain> m_window;
};

void WindowTransferTest::init()
{
    // A client, which shows no notice that would take the keyboard.
    m_otherCopy = std::make_unique<OtherCopy>();
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QVERIFY(ip()->isConnected());
}

void WindowTransferTest::cleanup()
{
    m_window.reset();
    m_otherCopy.reset();
}

void WindowTransferTest::keyFilter_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");

    QTest::newRow("digits and minus") << "-12-3"
                                      << "-12-3";
    QTest::newRow("letters, blank, point, plus") << "a1 .2+eE"
                                                 << "12";
}

void WindowTransferTest::keyFilter()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);

    QLineEdit *longData = edit("txtLongData");
    QCOMPARE(QApplication::focusWidget(), longData);
    QTest::keyClicks(longData, typed);
    QCOMPARE(longData->text(), expected);
}

void WindowTransferTest::editingKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text"); // as X11 reports it
    QTest::addColumn<int>("modifiers");
    // The field holds 123 with the caret after the 1; then the key, then a 9.
    QTest::addColumn<QString>("expected");

    const QString del(QChar(0x7f));
    QTest::newRow("Delete") << int(Qt::Key_Delete) << del << 0 << "193";
    QTest::newRow("keypad Delete")
        << int(Qt::Key_Delete) << del << int(Qt::KeypadModifier) << "193";
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << "\b" << 0 << "923";
    QTest::newRow("Left") << int(Qt::Key_Left) << "" << 0 << "9123";
    QTest::newRow("Right") << int(Qt::Key_Right) << "" << 0 << "1293";
    QTest::newRow("Home") << int(Qt::Key_Home) << "" << 0 << "9123";
    QTest::newRow("End") << int(Qt::Key_End) << "" << 0 << "1239";
    QTest::newRow("Shift+End selects") << int(Qt::Key_End) << "" << int(Qt::ShiftModifier) << "19";
    QTest::newRow("Ctrl+A selects all")
        << int(Qt::Key_A) << "\x01" << int(Qt::ControlModifier) << "9";
    // Typed characters other than digits and "-" are still refused.
    QTest::newRow("letter") << int(Qt::Key_A) << "a" << 0 << "1923";
    QTest::newRow("blank") << int(Qt::Key_Space) << " " << 0 << "1923";
    QTest::newRow("point") << int(Qt::Key_Period) << "." << 0 << "1923";
    QTest::newRow("keypad point") << int(Qt::Key_Period) << "." << int(Qt::KeypadModifier)
                                  << "1923";
}

void WindowTransferTest::editingKeys()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    QFETCH(QString, expected);

    QLineEdit *longData = edit("txtLongData");
    QCOMPARE(QApplication::focusWidget(), longData);
    longData->setText("123");
    longData->setCursorPosition(1);
    QTest::sendKeyEvent(QTest::Click, longData, Qt::Key(key), text,
                        Qt::KeyboardModifiers(modifiers));
    QTest::keyClicks(longData, "9");
    QCOMPARE(longData->text(), expected);
}

void WindowTransferTest::pasteIsNotFiltered()
{
    QLineEdit *longData = edit("txtLongData");
    QApplication::clipboard()->setText("1.5 e+x");
    QTest::keyClick(longData, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(longData->text(), "1.5 e+x");
}

// Presses "Send to other clients"; the StringData that another client
// receives.
QString WindowTransferTest::sentToClient()
{
    QWidget host;
    host.setWindowTitle("Calvorn Control Sample - Client Receiver");
    InterProc receiver(&host);
    if (!QTest::qWaitFor([&] { return addressesClient(ip(), receiver.windowHandle()); }))
        return "(the receiver is not addressed)";
    QSignalSpy arrived(&receiver, &InterProc::DataArrival);
    QTest::mouseClick(m_window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return !arrived.isEmpty(); }, 60000))
        return "(nothing arrived)";
    return arrived.at(0).at(3).toString();
}

void WindowTransferTest::pasteLongText_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("selectionStart");
    QTest::addColumn<int>("selectionLength");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("sent");

    const QString mib16 = longText(16 * 1024 * 1024);
    const QString long100k = longText(100000);
    const QString x(32765, u'x');
    QTest::newRow("16 MiB, Ctrl+V") << "" << 0 << 0 << mib16 << "Ctrl+V" << mib16;
    QTest::newRow("over the selection, context menu")
        << "abc" << 1 << 1 << long100k << "context menu"
        << "a" + long100k + "c";
    QTest::newRow("one over the line edit's length, Shift+Insert") << "ab" << 2 << 0 << x + "y"
                                                                   << "Shift+Insert"
                                                                   << "ab" + x + "y";
    QTest::newRow("the line edit's length, at the caret") << "ab" << 1 << 0 << x << "Ctrl+V"
                                                          << "a" + x + "b";
}

void WindowTransferTest::pasteLongText()
{
    QFETCH(QString, before);
    QFETCH(int, selectionStart);
    QFETCH(int, selectionLength);
    QFETCH(QString, pasted);
    QFETCH(QString, how);
    QFETCH(QString, sent);

    QLineEdit *field = edit("txtStringData");
    field->setFocus();
    field->setText(before);
    field->setCursorPosition(selectionStart);
    field->setSelection(selectionStart, selectionLength);
    QApplication::clipboard()->setText(pasted);
    if (how == "Ctrl+V") {
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    } else if (how == "Shift+Insert") {
        QTest::keyClick(field, Qt::Key_Insert, Qt::ShiftModifier);
    } else {
        QMenu *menu = openContextMenu(field);
        QVERIFY(menu);
        QVERIFY(chooseMenuItem(menu, "&Paste"));
    }

    // What the line edit can show it holds itself; a longer text is kept
    // whole aside and the line edit, read-only, only describes it.
    const bool shown = sent.size() <= 32767;
    QCOMPARE(field->isReadOnly(), !shown);
    if (shown)
        QCOMPARE(field->text(), sent);
    else
        QVERIFY(field->text().size() < 100);
    const QString received = sentToClient();
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received.toUtf8() == sent.toUtf8());
}

void WindowTransferTest::heldText_data()
{
    QTest::addColumn<int>("key"); // 0: Delete from the context menu
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QString>("sentOtherwise");

    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Delete clears") << int(Qt::Key_Delete) << "\x7f" << 0 << false << "";
    QTest::newRow("Backspace clears") << int(Qt::Key_Backspace) << "\b" << 0 << false << "";
    QTest::newRow("menu's Delete clears") << 0 << "" << 0 << false << "";
    QTest::newRow("typing replaces") << int(Qt::Key_X) << "x" << 0 << false << "x";
    QTest::newRow("a paste replaces") << int(Qt::Key_V) << "\x16" << ctrl << false << "pasted";
    QTest::newRow("Ctrl+C copies") << int(Qt::Key_C) << "\x03" << ctrl << true << "";
    QTest::newRow("Ctrl+X cuts") << int(Qt::Key_X) << "\x18" << ctrl << false << "";
    QTest::newRow("End moves nothing") << int(Qt::Key_End) << "" << 0 << true << "";
}

void WindowTransferTest::heldText()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    QFETCH(bool, kept);
    QFETCH(QString, sentOtherwise);

    QLineEdit *field = edit("txtStringData");
    field->setFocus();
    const QString held = longText(100000);
    QApplication::clipboard()->setText(held);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QVERIFY(field->isReadOnly());

    QApplication::clipboard()->setText("pasted");
    if (key == 0) {
        QMenu *menu = openContextMenu(field);
        QVERIFY(menu);
        QVERIFY(chooseMenuItem(menu, "Delete"));
    } else {
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key(key), text,
                            Qt::KeyboardModifiers(modifiers));
    }

    QCOMPARE(field->isReadOnly(), kept);
    if (!kept)
        QCOMPARE(field->text(), sentOtherwise);
    const bool copied = key == Qt::Key_C || (key == Qt::Key_X && modifiers == Qt::ControlModifier);
    QVERIFY(QApplication::clipboard()->text() == (copied ? held : "pasted"));
    QTest::mouseClick(m_window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);
    QVERIFY(ip()->stringData() == (kept ? held : sentOtherwise));
}

void WindowTransferTest::undoAfterClearing_data()
{
    QTest::addColumn<int>("key"); // 0: Delete from the context menu
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("heldAgain"); // else the field is empty after Ctrl+Z

    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << "\x7f" << 0 << true;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << "\b" << 0 << true;
    QTest::newRow("menu's Delete") << 0 << "" << 0 << true;
    QTest::newRow("Ctrl+X") << int(Qt::Key_X) << "\x18" << ctrl << true;
    QTest::newRow("typing") << int(Qt::Key_X) << "x" << 0 << false;
}

void WindowTransferTest::undoAfterClearing()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    QFETCH(bool, heldAgain);

    QLineEdit *field = edit("txtStringData");
    field->setFocus();
    const QString held = longText(100000);
    QApplication::clipboard()->setText(held);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QVERIFY(field->isReadOnly());
    if (key == 0) {
        QMenu *menu = openContextMenu(field);
        QVERIFY(menu);
        QVERIFY(chooseMenuItem(menu, "Delete"));
    } else {
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key(key), text,
                            Qt::KeyboardModifiers(modifiers));
    }
    QVERIFY(!field->isReadOnly());

    // Undo, and once more: the size marker never becomes the field's text.
    for (int undo = 0; undo < 2; ++undo) {
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(field->isReadOnly(), heldAgain);
        QTest::mouseClick(m_window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);
        QVERIFY2(ip()->stringData() == (heldAgain ? held : QString()),
                 qPrintable(ip()->stringData().left(100)));
    }
}

void WindowTransferTest::send_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("longText");
    QTest::addColumn<QString>("stringText");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("longData");

    const QString server = "Calvorn Control Sample - Server App";
    const QString clients = "Calvorn Control Sample - Client";
    QTest::newRow("to server") << "cmdSend_1"
                               << "42"
                               << "hello" << server << 0 << 42;
    QTest::newRow("to clients") << "cmdSend_0"
                                << "-007"
                                << "" << clients << 1 << -7;
    QTest::newRow("empty number") << "cmdSend_0"
                                  << ""
                                  << "x" << clients << 1 << 0;
    QTest::newRow("second minus") << "cmdSend_1"
                                  << "12-3"
                                  << "a\tb" << server << 0 << 12;
}

void WindowTransferTest::send()
{
    QFETCH(QString, button);
    QFETCH(QString, longText);
    QFETCH(QString, stringText);
    QFETCH(QString, target);
    QFETCH(int, method);
    QFETCH(int, longData);

    edit("txtLongData")->setText(longText);
    edit("txtStringData")->setText(stringText);
    QTest::mouseClick(m_window->findChild<QPushButton *>(button), Qt::LeftButton);

    QCOMPARE(ip()->target(), QVariant(target));
    QCOMPARE(ip()->targetSearchMethod(), method);
    QCOMPARE(ip()->longData(), longData);
    QCOMPARE(ip()->stringData(), stringText);
    // Fields stay as typed; one's own sends are not logged.
    QCOMPARE(edit("txtLongData")->text(), longText);
    QCOMPARE(edit("txtStringData")->text(), stringText);
    QVERIFY(log()->toPlainText().isEmpty());
}

void WindowTransferTest::sendOutOfRange()
{
    setUntouched(ip());
    edit("txtLongData")->setText("12345678901");
    QTest::mouseClick(m_window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);

    QMessageBox *box = waitForModalBox();
    QVERIFY(box);
    QCOMPARE(box->text(), "LongData must be a whole number from -2147483648 to 2147483647.");
    QVERIFY(closeModalBox(box));
    QVERIFY(isUntouched(ip()));
    QCOMPARE(edit("txtLongData")->text(), "12345678901");
}

void WindowTransferTest::receive_data()
{
    QTest::addColumn<QString>("typedBefore");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<int>("longData");
    QTest::addColumn<QString>("stringData");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("answered");

    QTest::newRow("payload") << ""
                             << "peer" << 42 << "hello"
                             << "Sender = peer\nLongData = 42\nStringData = hello\n" + stars + "\n"
                             << true;
    QTest::newRow("empty payload, after typed text") << "typed"
                                                     << "peer" << 0 << ""
                                                     << "Sender = peer\n" + stars + "\n"
                                                     << true;
    QTest::newRow("line breaks in text")
        << ""
        << "p" << -1 << "a\r\nb\rc"
        << "Sender = p\nLongData = -1\nStringData = a\nb\nc\n" + stars + "\n"
        << true;
    QTest::newRow("acknowledgement") << ""
                                     << "srv" << 0 << "OK from \"x\""
                                     << "Sender = srv\nStringData = OK from \"x\"\n" + stars + "\n"
                                     << false;
}

void WindowTransferTest::receive()
{
    QFETCH(QString, typedBefore);
    QFETCH(QString, sender);
    QFETCH(int, longData);
    QFETCH(QString, stringData);
    QFETCH(QString, shown);
    QFETCH(bool, answered);

    log()->setPlainText(typedBefore);
    setUntouched(ip());
    const qint32 senderHandle = 4242;
    emit ip()->DataArrival(senderHandle, sender, longData, stringData);

    // Logged from the event loop, with whatever else arrived in the pass.
    QTRY_COMPARE(log()->toPlainText(), typedBefore + shown);
    QVERIFY(log()->textCursor().atEnd());
    if (answered) {
        QCOMPARE(ip()->target().toInt(), senderHandle);
        QCOMPARE(ip()->targetSearchMethod(), 2);
        QCOMPARE(ip()->longData(), 0);
        QCOMPARE(ip()->stringData(), "OK from \"" + m_window->windowTitle() + "\"");
    } else {
        QVERIFY(isUntouched(ip()));
    }

    // An undo in the log does not take the received entry out again.
    log()->setFocus();
    QTest::keyClick(log(), Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(log()->toPlainText().endsWith(shown));
}

void WindowTransferTest::logScrollsToEnd()
{
    for (int i = 0; i < 40; ++i)
        emit ip()->DataArrival(1, "peer", i, "OK from somewhere");
    // Logged from the event loop, all in one pass.
    const QScrollBar *bar = log()->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QVERIFY(log()->textCursor().atEnd());
    QCOMPARE(bar->value(), bar->maximum());
}

void WindowTransferTest::windowCheck_data()
{
    QTest::addColumn<bool>("own");
    QTest::addColumn<bool>("skipBefore");
    QTest::addColumn<bool>("skipAfter");

    QTest::newRow("own window") << true << false << true;
    QTest::newRow("own window, already skipped") << true << true << true;
    QTest::newRow("other window") << false << false << false;
    QTest::newRow("other window, already skipped") << false << true << true;
}

void WindowTransferTest::windowCheck()
{
    QFETCH(bool, own);
    QFETCH(bool, skipBefore);
    QFETCH(bool, skipAfter);

    const qint32 handle = ip()->windowHandle();
    QVERIFY(handle != 0);
    bool skip = skipBefore;
    emit ip()->WindowCheck(own ? handle : handle + 1, m_window->windowTitle(), skip);
    QCOMPARE(skip, skipAfter);
}

void WindowTransferTest::roundTripBetweenClients()
{
    frmMain other;
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    // The bus tells this window of the new one, and of its caption, in time.
    QTRY_VERIFY(addressesClient(ip(), other.interProc()->windowHandle()));
    QSignalSpy arrivedThere(other.interProc(), &InterProc::DataArrival);
    QSignalSpy arrivedHere(ip(), &InterProc::DataArrival);

    edit("txtLongData")->setText("5");
    edit("txtStringData")->setText("hi");
    QTest::mouseClick(m_window->findChild<QPushButton *>("cmdSend_0"), Qt::LeftButton);

    // The other client logs the payload and answers; the answer is logged
    // here and not answered; the sender never receives its own payload.
    QTRY_COMPARE(arrivedHere.size(), 1);
    QCOMPARE(arrivedHere.at(0).at(3).toString(), "OK from \"" + other.windowTitle() + "\"");
    QTest::qWait(300);
    QCOMPARE(arrivedThere.size(), 1);
    QCOMPARE(arrivedHere.size(), 1);
    const auto *otherLog = other.findChild<QPlainTextEdit *>("txtReceived");
    QVERIFY(otherLog->toPlainText().contains("LongData = 5\nStringData = hi\n" + stars));
    QVERIFY(log()->toPlainText().contains("StringData = OK from"));
}

void WindowTransferTest::failuresShareOneBox()
{
    emit ip()->errorOccurred("first failure");
    emit ip()->errorOccurred("second failure");
    emit ip()->errorOccurred("first failure");

    const auto boxes = m_window->findChildren<QMessageBox *>();
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes.front()->isVisible());
    QVERIFY(!boxes.front()->isModal() && !QApplication::activeModalWidget());
    QTRY_COMPARE(boxes.front()->text(), "first failure\nsecond failure");

    // Once closed, the box shows only the failures that come after.
    boxes.front()->button(QMessageBox::Ok)->click();
    emit ip()->errorOccurred("third failure");
    QCOMPARE(m_window->findChildren<QMessageBox *>(), boxes);
    QCOMPARE(boxes.front()->text(), "third failure");

    // The latest eight, one line each, below the count of those left out.
    emit ip()->errorOccurred("broken\r\nacross <b>lines</b>");
    for (int i = 1; i <= 10; ++i)
        emit ip()->errorOccurred(QStringLiteral("failure %1").arg(i));
    QStringList expected = {"(4 earlier failures are not shown.)"};
    for (int i = 3; i <= 10; ++i)
        expected.append(QStringLiteral("failure %1").arg(i));
    QTRY_COMPARE(boxes.front()->text(), expected.join(u'\n'));
    emit ip()->errorOccurred("broken\r\nacross <b>lines</b>");
    QTRY_VERIFY(boxes.front()->text().endsWith("\nbroken  across <b>lines</b>"));
    QCOMPARE(boxes.front()->textFormat(), Qt::PlainText);
}

QTEST_MAIN(WindowTransferTest)
#include "tst_app_window_transfer.moc"
