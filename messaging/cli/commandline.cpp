// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "commandline.h"

#include "terminaltext.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {
void writeLine(std::FILE *stream, const QByteArray &utf8)
{
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
} // namespace

CommandLine::CommandLine(const QString &command, const QString &summary, const QString &description)
    : m_command(command), m_help(m_parser.addHelpOption())
{
    m_parser.setApplicationDescription(description);
    if (command.isEmpty()) {
        m_version = m_parser.addVersionOption();
        m_parser.addPositionalArgument(QStringLiteral("command"), summary,
                                       QStringLiteral("COMMAND"));
        // Everything after the command is the command's own.
        m_parser.setOptionsAfterPositionalArgumentsMode(
            QCommandLineParser::ParseAsPositionalArguments);
    } else {
        m_parser.addPositionalArgument(command, summary, command);
    }
}

void CommandLine::parse(const QStringList &arguments)
{
    const bool parsed = m_parser.parse(arguments);
    // Help is given even beside a mistake, as the user asked for it.
    if (m_parser.isSet(m_help))
        showHelp();
    if (!parsed)
        usageError(m_parser.errorText());
    if (m_version && m_parser.isSet(*m_version))
        m_parser.showVersion();
    if (!m_command.isEmpty() && m_parser.positionalArguments().size() > 1)
        usageError(
            QStringLiteral("Unexpected argument '%1'.").arg(m_parser.positionalArguments().at(1)));
}

void CommandLine::showHelp() const
{
    QString text = m_parser.helpText();
    // The parser names the program as it was started, a command's own word
    // after the options; a user types the program's name and the command
    // first.
    const QString program = QCoreApplication::applicationName();
    text.replace(0, text.indexOf(u'\n'),
                 m_command.isEmpty()
                     ? QStringLiteral("Usage: %1 [options] COMMAND").arg(program)
                     : QStringLiteral("Usage: %1 %2 [options]").arg(program, m_command));
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
    std::fflush(stdout);
    std::exit(ExitSuccess);
}

void CommandLine::usageError(const QString &message) const
{
    printError(message);
    const QString program = QCoreApplication::applicationName();
    const QString help = m_command.isEmpty() ? program : program + u' ' + m_command;
    writeLine(stderr, QStringLiteral("Try '%1 --help'.").arg(help).toUtf8());
    std::exit(ExitUsage);
}

std::optional<qint32> CommandLine::int32Value(const QCommandLineOption &option) const
{
    if (!m_parser.isSet(option))
        return std::nullopt;
    const QString text = m_parser.value(option);
    bool ok = false;
    const qint32 value = text.toInt(&ok);
    if (!ok)
        usageError(QStringLiteral("--%1 takes a whole number from -2147483648 to 2147483647, "
                                  "not '%2'.")
                       .arg(option.names().constFirst(), text));
    return value;
}

void CommandLine::printError(const QString &message) const
{
    QString line = QCoreApplication::applicationName();
    if (!m_command.isEmpty())
        line += u' ' + m_command;
    // Messages carry what other parties said: their captions and errors.
    writeLine(stderr, (line + QStringLiteral(": ") + TerminalText::escaped(message)).toUtf8());
}

void printLine(const QByteArray &utf8)
{
    writeLine(stdout, utf8);
}
