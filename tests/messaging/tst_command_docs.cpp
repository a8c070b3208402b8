// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The interproc command as a Debian tool: its manual page documents exactly
// the commands and options that its --help shows, and its bash completion
// offers the commands, the options and the captions and handles of a real
// window of the program on the test's bus.
#include "windowhostprocess.h"

#include <QFile>
#include <QRegularExpression>

using namespace TestSupport;

namespace {

const QString ServerCaption = QStringLiteral("Calvorn Control Sample - Server App");
// Taken by every command, and documented once under OPTIONS.
const QStringList CommonOptions{QStringLiteral("-h, --help"), QStringLiteral("--help-all")};

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    waitForExit(process);
    return process.readAllStandardOutput();
}

// The options of `interproc [command] --help`, as "--caption <text>" or
// "-h, --help", and the commands it lists.
struct HelpText
{
    QString usage; // the first line
    QStringList options;
    QStringList commands;
};

HelpText readHelp(const QString &command)
{
    const QStringList arguments = command.isEmpty()
                                      ? QStringList{QStringLiteral("--help")}
                                      : QStringList{command, QStringLiteral("--help")};
    HelpText help;
    QString section;
    for (const QString &line :
         QString::fromUtf8(run(QStringLiteral(INTERPROC_COMMAND), arguments)).split(u'\n')) {
        if (help.usage.isNull())
            help.usage = line;
        if (!line.startsWith(u' ')) {
            section = line;
        } else if (section == QLatin1String("Options:") && line.startsWith(QLatin1String("  -"))) {
            help.options.append(line.trimmed().section(QStringLiteral("  "), 0, 0));
        } else if (section == QLatin1String("Commands:")) {
            help.commands.append(line.trimmed().section(u' ', 0, 0));
        }
    }
    return help;
}

// The manual page's .TP tags in the same form, by section: "" for OPTIONS,
// the command for each .SS under COMMANDS.
QHash<QString, QStringList> readManPage()
{
    QFile file(QStringLiteral(MAN_PAGE));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression italic(QStringLiteral(R"(\\fI(.*?)\\f[RP])"));
    static const QRegularExpression font(QStringLiteral(R"(\\f[BIRP])"));
    QHash<QString, QStringList> tags;
    QString scope = QStringLiteral("#");
    bool tagNext = false;
    for (QString line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        line.replace(QLatin1String("\\-"), QLatin1String("-"));
        if (line.startsWith(QLatin1String(".SH "))) {
            scope = line == QLatin1String(".SH OPTIONS") ? QString() : QStringLiteral("#");
        } else if (line.startsWith(QLatin1String(".SS "))) {
            scope = line.mid(4);
        } else if (tagNext && scope != u'#') {
            tags[scope].append(line.replace(italic, QStringLiteral("<\\1>")).remove(font));
        }
        tagNext = line == QLatin1String(".TP");
    }
    return tags;
}

} // namespace

class TestCommandDocs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manPageAgreesWithHelp_data();
    void manPageAgreesWithHelp();
    void completion_data();
    void completion();
    void cleanupTestCase() { m_window.reset(); }

private:
    std::unique_ptr<WindowHost> m_window;
};

void TestCommandDocs::manPageAgreesWithHelp_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("interproc") << QString();
    const HelpText help = readHelp(QString());
    QVERIFY(!help.commands.isEmpty());
    for (const QString &command : help.commands)
        QTest::newRow(qPrintable(command)) << command;
}

void TestCommandDocs::manPageAgreesWithHelp()
{
    QFETCH(QString, command);
    const QHash<QString, QStringList> man = readManPage();
    const HelpText help = readHelp(command);
    QStringList helpOptions = help.options;
    // As a user types it: the command before its options.
    QCOMPARE(help.usage, command.isEmpty()
                             ? QStringLiteral("Usage: interproc [options] COMMAND")
                             : QStringLiteral("Usage: interproc %1 [options]").arg(command));
    if (!command.isEmpty()) {
        for (const QString &common : CommonOptions)
            QVERIFY2(helpOptions.removeAll(common) == 1, qPrintable(common));
    }
    QStringList manOptions = man.value(command);
    helpOptions.sort();
    manOptions.sort();
    QCOMPARE(manOptions, helpOptions);

    if (command.isEmpty()) {
        QStringList commands = man.keys();
        commands.removeAll(QString());
        commands.sort();
        QCOMPARE(commands, help.commands);
        // "interproc 1.0.0" and the page's title line, which names the version.
        const QByteArray version =
            run(QStringLiteral(INTERPROC_COMMAND), {QStringLiteral("--version")}).trimmed();
        QFile page(QStringLiteral(MAN_PAGE));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QByteArray title;
        while (!title.startsWith(".TH ") && !page.atEnd())
            title = page.readLine();
        QVERIFY2(title.contains("\"InterProc " + version.mid(version.indexOf(' ') + 1) + '"'),
                 title);
    }
}

void TestCommandDocs::completion_data()
{
    QTest::addColumn<QStringList>("words"); // the last one is being completed
    QTest::addColumn<QStringList>("offered");

    const QString escaped = QString(ServerCaption).replace(u' ', QStringLiteral("\\ "));
    QTest::newRow("commands") << QStringList{"interproc", ""}
                              << QStringList{"list", "send", "watch"};
    QTest::newRow("a command begun") << QStringList{"interproc", "wa"} << QStringList{"watch"};
    QTest::newRow("interproc's options")
        << QStringList{"interproc", "--"} << QStringList{"--help", "--help-all", "--version"};
    QTest::newRow("a command's options")
        << QStringList{"interproc", "send", "--te"} << QStringList{"--text", "--text-file"};
    QTest::newRow("caption prefix")
        << QStringList{"interproc", "send", "--prefix", "Calv"} << QStringList{escaped};
    QTest::newRow("caption begun with escapes")
        << QStringList{"interproc", "send", "--caption", "Calvorn\\ Control\\ Sample\\ -\\ S"}
        << QStringList{escaped};
    QTest::newRow("caption in quotes")
        << QStringList{"interproc", "send", "--caption", "\"Calvorn Con"}
        << QStringList{ServerCaption};
    QTest::newRow("no such caption")
        << QStringList{"interproc", "send", "--caption", "Nobody"} << QStringList{};
    QTest::newRow("handle") << QStringList{"interproc", "send", "--handle", ""}
                            << QStringList{"HANDLE"};
    QTest::newRow("the caption watch joins with is the user's")
        << QStringList{"interproc", "watch", "--caption", ""} << QStringList{};
}

void TestCommandDocs::completion()
{
    QFETCH(QStringList, words);
    QFETCH(QStringList, offered);
    if (!m_window) {
        m_window = std::make_unique<WindowHost>();
        QVERIFY2(m_window->waitReady(), m_window->transcript());
    }
    offered.replaceInStrings(QStringLiteral("HANDLE"), QString::number(m_window->handle()));

    // As bash calls it on Tab: the words of the line, the one being completed.
    QProcess bash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral(INTERPROC_DIR ":") + env.value("PATH"));
    bash.setProcessEnvironment(env);
    bash.start(QStringLiteral("bash"),
               QStringList{QStringLiteral("-c"),
                           QStringLiteral("source \"$1\" && complete -p interproc >/dev/null || "
                                          "exit 3; shift; COMP_WORDS=(\"$@\"); "
                                          "COMP_CWORD=$(($# - 1)); _interproc; "
                                          "printf '%s\\n' \"${COMPREPLY[@]}\""),
                           QStringLiteral("bash"), QStringLiteral(COMPLETION)} +
                   words);
    QVERIFY(waitForExit(bash));
    QCOMPARE(bash.exitCode(), 0);
    QStringList lines = QString::fromUtf8(bash.readAllStandardOutput()).split(u'\n');
    lines.removeAll(QString());
    QCOMPARE(lines, offered);
}

QTEST_GUILESS_MAIN(TestCommandDocs)
#include "tst_command_docs.moc"
