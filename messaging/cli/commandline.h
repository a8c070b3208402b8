// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The command line of interproc or one of its commands, read with
// QCommandLineParser, and the exit statuses and messages all commands share.
#pragma once

#include <QCommandLineParser>
#include <QString>

#include <optional>

enum ExitStatus : int {
    ExitSuccess = 0,
    ExitFailure = 1, // nothing matched, a delivery failed, no bus, unreadable input
    ExitUsage = 2,   // the command line is wrong
};

class CommandLine
{
public:
    // command is empty for interproc itself. The description opens --help.
    CommandLine(const QString &command, const QString &summary, const QString &description);

    QCommandLineParser &parser() { return m_parser; }

    // Parses the program's whole command line. --help (and, for interproc
    // itself, --version) print and end the program with status 0; what the
    // parser refuses, and words after the command, end it with a usage
    // error.
    void parse(const QStringList &arguments);

    // Prints the message and a hint to --help on standard error and ends
    // the program with status 2.
    [[noreturn]] void usageError(const QString &message) const;
    // A 32-bit whole number given to option, or a usage error.
    std::optional<qint32> int32Value(const QCommandLineOption &option) const;
    // Prints one line on standard error, naming the command; every control
    // and bidirectional formatting character in message is escaped.
    void printError(const QString &message) const;

private:
    [[noreturn]] void showHelp() const;

    QString m_command;
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    std::optional<QCommandLineOption> m_version;
};

// One line on standard output, written at once.
void printLine(const QByteArray &utf8);
