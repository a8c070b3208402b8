// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The received-data box: what it shows of texts no one can read on screen,
// and that copying gives every text back exactly.
#include "logdisplay.h"
#include "logentry.h"
#include "receivedlog.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QRegularExpression>
#include <QTest>
#include <QTextBlock>
#include <QThreadPool>

namespace {

const QString stars(63, u'*');

// What copying an entry gives: the log's own lines end with a line feed,
// what was received is as it came.
QString copiedEntry(const QString &sender, const QString &text)
{
    return QStringLiteral("Sender = ") + sender +
           (text.isEmpty() ? QString() : QStringLiteral("\nStringData = ") + text) +
           QStringLiteral("\n") + stars + QStringLiteral("\n");
}

// What copying the whole box gives, through the clipboard as a user does.
QString copyAll(ReceivedLog &log)
{
    log.selectAll();
    log.copy();
    return QApplication::clipboard()->text();
}

} // namespace

class ReceivedLogTest : public QObject
{
    Q_OBJECT
private slots:
    void copyGivesEntryBack_data();
    void copyGivesEntryBack();
    void shows_data();
    void shows();
    void copyPartOfEntry_data();
    void copyPartOfEntry();
    void pasteKeepsText();
    void largeCopyIsReadAsMade_data();
    void largeCopyIsReadAsMade();
    void oldestLinesGiveWayToMarker();
};

void ReceivedLogTest::copyGivesEntryBack_data()
{
    QTest::addColumn<QString>("typedBefore");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxShown"); // most characters the box may show

    const int small = 1000;
    const int bounded = int(4 * LogDisplay::MaxChars);
    const qsizetype mib = 1024 * 1024;
    QTest::newRow("plain") << ""
                           << "peer"
                           << "hello" << small;
    QTest::newRow("after typed text") << "typed\nmore"
                                      << "peer"
                                      << "hello" << small;
    QTest::newRow("every line break") << ""
                                      << "p"
                                      << QStringLiteral("a\r\nb\nc\rd\r\re\n\rf\u2028g\u2029h"
                                                        "\uFDD0i\uFDD1j\r")
                                      << small;
    QTest::newRow("line breaks in the sender name") << ""
                                                    << "p\r\nq\nr\r"
                                                    << "x" << small;
    QTest::newRow("control characters")
        << ""
        << "p" << QString::fromUtf8("\0a\x01\x1b[0m\x7f\tb\0\0", 12) << small;
    QTest::newRow("characters a text box treats apart")
        << ""
        << "p" << QStringLiteral("no\u00A0break \uFFFC object \uFEFF") << small;
    QTest::newRow("non-BMP characters at a cut")
        << ""
        << "p" << QString::fromUtf8("\xF0\x9F\x98\x80").repeated(LogDisplay::MaxLineChars)
        << bounded;
    QTest::newRow("line of 1 MiB") << ""
                                   << "p" << QString(mib, u'x') << bounded;
    QTest::newRow("1 MiB of NUL") << ""
                                  << "p" << QString(mib, QChar(u'\0')) << bounded;
    QTest::newRow("100,000 short lines")
        << ""
        << "p" << QStringLiteral("line\r\n").repeated(100000) << bounded;
    QTest::newRow("100,000 empty lines") << ""
                                         << "p" << QString(100000, u'\n') << bounded;
    QTest::newRow("long lines between short ones")
        << ""
        << "p"
        << (QStringLiteral("short\r\n") + QString(3 * LogDisplay::MaxLineChars, u'y') +
            QStringLiteral("\nshort\r\n"))
               .repeated(20)
        << bounded;
    QTest::newRow("control characters between all others")
        << ""
        << "p" << QString::fromUtf8("a\x01b\x02\n", 5).repeated(100000) << bounded;
    QTest::newRow("sender name of 1 MiB") << "" << QString(mib, u'n') << "text" << bounded;
}

void ReceivedLogTest::copyGivesEntryBack()
{
    QFETCH(QString, typedBefore);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QFETCH(int, maxShown);

    ReceivedLog log;
    log.setPlainText(typedBefore);
    log.appendReceived(logEntryPieces(sender, 0, text));
    log.appendReceived(logEntryPieces(QStringLiteral("next"), 0, QStringLiteral("after")));

    QVERIFY(log.document()->characterCount() <= maxShown + typedBefore.size());
    // Copied from the file where large hidden parts wait.
    log.waitForKeptTexts();
    const QString expected = typedBefore + copiedEntry(sender, text) +
                             copiedEntry(QStringLiteral("next"), QStringLiteral("after"));
    const QString copied = copyAll(log);
    QCOMPARE(copied.size(), expected.size());
    QVERIFY(copied == expected);
}

void ReceivedLogTest::shows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("line breaks") << "a\r\nb\nc\rd\u2029e"
                                 << "a\nb\nc\nd\ne";
    QTest::newRow("control characters")
        << QString::fromUtf8("a\0b\x1b\x7f\tc", 7) << QStringLiteral("a\u2400b\u241B\u2421\tc");
    const QString fiveThousand(5000, u'w');
    QTest::newRow("line of 5,000 characters")
        << fiveThousand + QStringLiteral("\r\nnext") << fiveThousand + QStringLiteral("\nnext");
    const QString line(LogDisplay::MaxLineChars, u'x');
    QTest::newRow("long line") << line + QStringLiteral("yz\r\nnext")
                               << line + LogDisplay::marker(2) + QStringLiteral("\nnext");
    const QString many = QStringLiteral("l\n").repeated(LogDisplay::MaxLines);
    QTest::newRow("many lines") << many + QStringLiteral("rest\r\nof it")
                                << many + LogDisplay::marker(11);
}

void ReceivedLogTest::shows()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);

    ReceivedLog log;
    log.appendReceived({QString(), text});
    QCOMPARE(log.toPlainText(), shown);
}

void ReceivedLogTest::copyPartOfEntry_data()
{
    QTest::addColumn<int>("from"); // positions in what the box shows
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("copied");

    // Shown: "ab", "d" x MaxLineChars and the marker of "fff", "\u2400e"; see
    // copyPartOfEntry. The marker begins here:
    const int line = 3 + int(LogDisplay::MaxLineChars);
    const int markerSize = int(LogDisplay::marker(3).size());
    QTest::newRow("within a line") << 0 << 1 << "a";
    QTest::newRow("across a LF") << 1 << 3 << "b\n";
    QTest::newRow("the marker alone") << line << line + markerSize << "fff";
    QTest::newRow("a character of the marker") << line + 2 << line + 3 << "fff";
    QTest::newRow("from the last shown character into the marker")
        << line - 1 << line + 1 << "dfff";
    QTest::newRow("past the marker")
        << line + markerSize - 1 << line + markerSize + 2 << QString::fromUtf8("fff\r\n\0", 6);
}

void ReceivedLogTest::copyPartOfEntry()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, copied);

    ReceivedLog log;
    log.appendReceived(
        {QString(), QStringLiteral("ab\n") + QString(LogDisplay::MaxLineChars, u'd') +
                        QStringLiteral("fff\r\n") + QChar(u'\0') + QStringLiteral("e")});
    QTextCursor selection(log.document());
    selection.setPosition(from);
    selection.setPosition(to, QTextCursor::KeepAnchor);
    log.setTextCursor(selection);
    QCOMPARE(log.selectedText(), copied);
    log.copy();
    QCOMPARE(QApplication::clipboard()->text(), copied);
}

void ReceivedLogTest::pasteKeepsText()
{
    // A copied entry pasted back into the box, as the user may: shown alike,
    // and copied again whole.
    ReceivedLog log;
    const QString text = QString(1024 * 1024, u'p') + QStringLiteral("\r\nend\n");
    log.appendReceived(logEntryPieces(QStringLiteral("peer"), 1, text));
    const QString entry = copyAll(log);
    QTextCursor end(log.document());
    end.movePosition(QTextCursor::End);
    log.setTextCursor(end);
    log.paste();
    QVERIFY(log.document()->characterCount() < 4 * LogDisplay::MaxChars);
    QVERIFY(copyAll(log) == entry + entry);
}

void ReceivedLogTest::largeCopyIsReadAsMade_data()
{
    QTest::addColumn<QString>("format"); // empty: read as text

    QTest::newRow("as text") << QString();
    QTest::newRow("text/plain as bytes") << QStringLiteral("text/plain");
    QTest::newRow("UTF-8 as bytes") << QStringLiteral("text/plain;charset=utf-8");
}

void ReceivedLogTest::largeCopyIsReadAsMade()
{
    // A large copy is made on a worker; once it is there, reading it in any
    // form hands out the same copy at every read instead of converting its
    // megabytes on the window's thread each time.
    QFETCH(QString, format);
    ReceivedLog log;
    const QString text = QString(4 * 1024 * 1024, u'\u00e9') + QStringLiteral("end");
    log.appendReceived({QString(), text});
    log.waitForKeptTexts();
    log.selectAll();
    log.copy();
    QThreadPool::globalInstance()->waitForDone();
    const QMimeData *copied = QApplication::clipboard()->mimeData();
    QVERIFY(copied);
    if (format.isEmpty()) {
        const QString first = copied->text();
        QVERIFY(first == text);
        QVERIFY(copied->text().constData() == first.constData());
    } else {
        const QByteArray first = copied->data(format);
        QVERIFY(first == text.toUtf8());
        QVERIFY(copied->data(format).constData() == first.constData());
    }
}

QTEST_MAIN(ReceivedLogTest)
#include "tst_app_receivedlog.moc"

void ReceivedLogTest::oldestLinesGiveWayToMarker()
{
    // Entries with a hidden part kept in memory, and early ones with a part
    // large enough for the file, until the budget makes room twice over.
    constexpr qint64 Budget = 1024 * 1024;
    ReceivedLog log;
    log.setMemoryBudget(Budget);
    const int entries = 300;
    QStringList texts;
    for (int i = 0; i < entries; ++i) {
        const int size = i < 5 ? 100000 : int(LogDisplay::MaxLineChars) + 500 + i;
        texts.append(QString(size, QChar(u'a' + i % 26)));
        log.appendReceived(logEntryPieces(QStringLiteral("s%1").arg(i), i + 1, texts.last()));
        QVERIFY2(log.memoryUsed() <= Budget, qPrintable(QString::number(log.memoryUsed())));
    }
    log.waitForKeptTexts();

    // The first line tells what was dropped; the rest are the last entries,
    // whole and in order.
    const QString shown = log.toPlainText();
    const QString first = shown.left(shown.indexOf(u'\n'));
    const QRegularExpression marker(QStringLiteral(
        "^\\[\u2026 (\\d+) earlier lines \\((\\d+) entries\\) dropped to keep the log within 1 "
        "MiB of memory\\]$"));
    const QRegularExpressionMatch match = marker.match(first);
    QVERIFY2(match.hasMatch(), qPrintable(first));
    const int dropped = match.captured(2).toInt();
    QVERIFY(dropped > 0 && dropped < entries);
    QCOMPARE(match.captured(1).toInt(), 4 * dropped);
    QString expected = first + u'\n';
    for (int i = dropped; i < entries; ++i)
        expected += QStringLiteral("Sender = s%1\nLongData = %2\nStringData = ").arg(i).arg(i + 1) +
                    texts[i] + u'\n' + stars + u'\n';
    const QString copied = copyAll(log);
    QCOMPARE(copied.size(), expected.size());
    QVERIFY(copied == expected);
}
