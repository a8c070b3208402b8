// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// When the server's notice is due, for sequences of activated windows.
#include "noticegate.h"

#include <QTest>

using Window = NoticeGate::Window;
Q_DECLARE_METATYPE(QList<Window>)

class NoticeGateTest : public QObject
{
    Q_OBJECT
private slots:
    void sequence_data();
    void sequence();
};

void NoticeGateTest::sequence_data()
{
    QTest::addColumn<QList<Window>>("activations");
    // Which of the activations make the notice due.
    QTest::addColumn<QList<bool>>("due");

    const Window M = Window::Main, B = Window::OwnBox, O = Window::Other;
    QTest::newRow("first activation") << QList{M} << QList{true};
    QTest::newRow("notice closes") << QList{M, B, M} << QList{true, false, false};
    QTest::newRow("back from the about box")
        << QList{M, B, M, O, M} << QList{true, false, false, false, true};
    // A return from another application reports the main window again.
    QTest::newRow("back from another application") << QList{M, M} << QList{true, false};
    QTest::newRow("about box, then its own box")
        << QList{M, O, B, M} << QList{true, false, false, false};
    QTest::newRow("other window first") << QList{O, M} << QList{false, true};
}

void NoticeGateTest::sequence()
{
    QFETCH(QList<Window>, activations);
    QFETCH(QList<bool>, due);

    NoticeGate gate;
    QList<bool> actual;
    for (const Window w : activations)
        actual.append(gate.activated(w));
    QCOMPARE(actual, due);
}

QTEST_APPLESS_MAIN(NoticeGateTest)
#include "tst_app_noticegate.moc"
