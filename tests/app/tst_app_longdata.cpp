// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The LongData field's admitted characters and its number rule.
#include "longdata.h"

#include <QTest>

class LongDataTest : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void admittedKeys_data();
    void admittedKeys();
};

void LongDataTest::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("inRange");
    QTest::addColumn<int>("value");

    QTest::newRow("empty") << "" << true << 0;
    QTest::newRow("minus alone") << "-" << true << 0;
    QTest::newRow("second minus ends the number") << "12-3" << true << 12;
    QTest::newRow("leading zeros, negative") << "-007" << true << -7;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("blanks inside") << " 1 2" << true << 12;
    QTest::newRow("tab before sign") << "\t-4" << true << -4;
    QTest::newRow("line feed between digits") << "1\n2" << true << 12;
    QTest::newRow("blank after sign") << "- 5" << true << -5;
    QTest::newRow("half down to even") << "2.5" << true << 2;
    QTest::newRow("half up to even") << "3.5" << true << 4;
    QTest::newRow("negative half to even") << "-2.5" << true << -2;
    QTest::newRow("exponent") << "1.5E2" << true << 150;
    QTest::newRow("lower-case exponent, sign") << "25e-1" << true << 2;
    QTest::newRow("exponent without digits") << "1e" << true << 1;
    QTest::newRow("plus sign") << "+5" << true << 5;
    QTest::newRow("fraction only") << ".5" << true << 0;
    QTest::newRow("letters") << "abc" << true << 0;
    QTest::newRow("trailing letters") << "7abc" << true << 7;
    QTest::newRow("non-ASCII digits are no number")
        << QString::fromUtf8("\u0661\u0662") << true << 0;
    QTest::newRow("largest") << "2147483647" << true << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << true << int(-2147483648LL);
    QTest::newRow("one too large") << "2147483648" << false << 0;
    QTest::newRow("one too small") << "-2147483649" << false << 0;
    QTest::newRow("eleven digits") << "12345678901" << false << 0;
    QTest::newRow("overflowing double") << "1e400" << false << 0;
    QTest::newRow("underflowing double") << "1e-400" << true << 0;
    QTest::newRow("huge exponent") << "1e99999999999999999999" << false << 0;
}

void LongDataTest::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, inRange);
    QFETCH(int, value);

    const std::optional<qint32> parsed = parseLongData(text);
    QCOMPARE(parsed.has_value(), inRange);
    if (inRange)
        QCOMPARE(*parsed, value);
}

void LongDataTest::admittedKeys_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("admitted");

    QTest::newRow("digits and minus") << "-0123456789"
                                      << "-0123456789";
    QTest::newRow("control characters") << "\b\t\r\x1b\x16"
                                        << "\b\t\r\x1b\x16";
    QTest::newRow("blank, point, plus, letters") << " .+eE"
                                                 << "";
    QTest::newRow("mixed keeps order") << "1a-b2"
                                       << "1-2";
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\uff11") << "";
}

void LongDataTest::admittedKeys()
{
    QFETCH(QString, typed);
    QFETCH(QString, admitted);
    QCOMPARE(admittedLongDataKeys(typed), admitted);
}

QTEST_APPLESS_MAIN(LongDataTest)
#include "tst_app_longdata.moc"
