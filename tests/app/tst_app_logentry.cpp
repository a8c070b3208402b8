// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The log entry of a received payload and the acknowledgement rule
// (InterProc's, which the window follows).
#include "logentry.h"

#include <InterProc/interprocconventions.h>

#include <QTest>

class LogEntryTest : public QObject
{
    Q_OBJECT
private slots:
    void entry_data();
    void entry();
    void isAcknowledgement_data();
    void isAcknowledgement();
    void acknowledgementNamesCaption();
};

static const QString stars(63, u'*');

void LogEntryTest::entry_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<int>("longData");
    QTest::addColumn<QString>("stringData");
    QTest::addColumn<QString>("expected");

    QTest::newRow("both fields") << "peer" << 42 << "hello"
                                 << "Sender = peer\r\nLongData = 42\r\nStringData = hello\r\n" +
                                        stars + "\r\n";
    QTest::newRow("zero and empty: two lines") << "peer" << 0 << ""
                                               << "Sender = peer\r\n" + stars + "\r\n";
    QTest::newRow("negative number only")
        << "p" << -2147483647 - 1 << ""
        << "Sender = p\r\nLongData = -2147483648\r\n" + stars + "\r\n";
    QTest::newRow("acknowledgement")
        << "srv" << 0 << "OK from \"X\""
        << "Sender = srv\r\nStringData = OK from \"X\"\r\n" + stars + "\r\n";
    QTest::newRow("line breaks kept")
        << "p" << 1 << "a\r\nb"
        << "Sender = p\r\nLongData = 1\r\nStringData = a\r\nb\r\n" + stars + "\r\n";
    QTest::newRow("blank text is not empty") << "" << 0 << " "
                                             << "Sender = \r\nStringData =  \r\n" + stars + "\r\n";
}

void LogEntryTest::entry()
{
    QFETCH(QString, sender);
    QFETCH(int, longData);
    QFETCH(QString, stringData);
    QFETCH(QString, expected);
    QCOMPARE(logEntryPieces(sender, longData, stringData).join(QString()), expected);
}

void LogEntryTest::isAcknowledgement_data()
{
    QTest::addColumn<QString>("stringData");
    QTest::addColumn<bool>("acknowledgement");

    QTest::newRow("full acknowledgement")
        << "OK from \"Calvorn Control Sample - Server App\"" << true;
    QTest::newRow("prefix alone") << "OK from " << true;
    QTest::newRow("without the blank") << "OK from\"X\"" << false;
    QTest::newRow("other letter case") << "ok from \"x\"" << false;
    QTest::newRow("seven characters") << "OK from" << false;
    QTest::newRow("leading blank") << " OK from \"x\"" << false;
    QTest::newRow("empty") << "" << false;
}

void LogEntryTest::isAcknowledgement()
{
    QFETCH(QString, stringData);
    QFETCH(bool, acknowledgement);
    QCOMPARE(InterProcConventions::isAcknowledgement(stringData), acknowledgement);
}

void LogEntryTest::acknowledgementNamesCaption()
{
    const QString ack =
        InterProcConventions::acknowledgementText("Calvorn Control Sample - Client App - 10:23:45");
    QCOMPARE(ack, "OK from \"Calvorn Control Sample - Client App - 10:23:45\"");
    QVERIFY(InterProcConventions::isAcknowledgement(ack));
}

QTEST_APPLESS_MAIN(LogEntryTest)
#include "tst_app_logentry.moc"
