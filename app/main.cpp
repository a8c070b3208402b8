// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// CalvornTest: a window for trying out the Calvorn messaging component
// between several running copies of the program.
#include "calvornversion.h"
#include "displaycheck.h"
#include "frmmain.h"
#include "interproc.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler qtMessageHandler = nullptr;

[[noreturn]] void endUnanswered()
{
    std::fprintf(stderr,
                 "CalvornTest cannot open its window: the window system it was given (%s) does "
                 "not answer.\nStart the program in a desktop session, or set DISPLAY to a "
                 "display that runs.\n",
                 qPrintable(DisplayCheck::settings()));
    std::fflush(stderr);
    std::_Exit(1);
}

// While the application starts, a window system that does not answer makes
// Qt end the process with a fatal message and a core dump, advising to
// reinstall. Say instead what is wrong and end with status 1.
void startMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        qtMessageHandler(type, context, message);
        return;
    }
    endUnanswered();
}

int failStart(const QString &reason)
{
    QMessageBox::critical(nullptr, QString::fromLatin1(CalvornVersion::ProductName),
                          QStringLiteral("No D-Bus session bus was found, and CalvornTest needs "
                                         "one to reach its other copies.\n\nStart the program in "
                                         "a desktop session, or set DBUS_SESSION_BUS_ADDRESS to "
                                         "the address of a running session bus.\n\n%1")
                              .arg(reason));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Without any display Qt aborts while starting; say what is missing.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("CalvornTest needs a graphical desktop: neither DISPLAY nor WAYLAND_DISPLAY "
                   "is set.\n",
                   stderr);
        return 1;
    }
    // A display that takes the connection but never answers would hang Qt.
    if (!DisplayCheck::displayAnswers())
        endUnanswered();
    qtMessageHandler = qInstallMessageHandler(startMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessageHandler);
    QApplication::setApplicationName(QString::fromLatin1(CalvornVersion::ProductName));
    QApplication::setApplicationVersion(QString::fromLatin1(CalvornVersion::Version));

    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return failStart(bus.lastError().message());

    frmMain window;
    if (!window.interProc()->isConnected())
        return failStart(window.interProc()->errorString());
    window.show();
    return app.exec();
}
