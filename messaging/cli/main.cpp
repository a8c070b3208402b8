// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// interproc: the InterProc windows on the session bus, from a shell.
//   interproc list [--json]
//   interproc send (--caption TEXT | --prefix TEXT | --handle N) [--number N]
//                  [--text TEXT | --text-file FILE] [--as NAME]
//   interproc watch [--caption TEXT] [--no-ack]
#include "commandline.h"
#include "commands.h"

#include <InterProc/interprocversion.h>

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("interproc"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(InterProcVersion::Full));

    CommandLine commandLine(
        QString(), QStringLiteral("list, send or watch."),
        QStringLiteral("Lists, sends to and watches the windows that host InterProc on the D-Bus "
                       "session bus, such as CalvornTest's.\n\n"
                       "Commands:\n"
                       "  list   the windows on the bus: handle and caption\n"
                       "  send   one payload to windows by caption, caption prefix or handle\n"
                       "  watch  join the bus with a caption and print what arrives\n\n"
                       "'interproc COMMAND --help' describes a command's options."));
    const QStringList arguments = QCoreApplication::arguments();
    commandLine.parse(arguments);
    const QStringList words = commandLine.parser().positionalArguments();
    if (words.isEmpty())
        commandLine.usageError(QStringLiteral("No command given."));

    const QString command = words.constFirst();
    // The command's parser sees everything but the program's options before it.
    const QStringList ownArguments = QStringList{arguments.constFirst()} + words;
    if (command == QLatin1String("list"))
        return runList(ownArguments);
    if (command == QLatin1String("send"))
        return runSend(ownArguments);
    if (command == QLatin1String("watch"))
        return runWatch(ownArguments);
    commandLine.usageError(QStringLiteral("Unknown command '%1'.").arg(command));
}
