// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A display that takes the connection and then never answers: the program
// says so and ends with status 1, as for a display that does not exist,
// instead of waiting for it without end.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

class SilentDisplayTest : public QObject
{
    Q_OBJECT
private slots:
    void endsWithMessage();
};

void SilentDisplayTest::endsWithMessage()
{
    // A display number that nothing uses; its socket listens and accepts
    // (into the backlog) but nobody ever reads or answers.
    const QString folder = QStringLiteral("/tmp/.X11-unix");
    if (!QDir(folder).exists()) {
        QVERIFY(QDir().mkpath(folder));
        ::chmod(qPrintable(folder), 01777);
    }
    int number = 4700 + int(::getpid() % 1000);
    while (QFile::exists(folder + QStringLiteral("/X%1").arg(number)))
        ++number;
    const QByteArray path = QStringLiteral("%1/X%2").arg(folder).arg(number).toLocal8Bit();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    const auto cleanup = qScopeGuard([&] {
        ::close(listener);
        ::unlink(path.constData());
    });
    QCOMPARE(::listen(listener, 8), 0);

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(number));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(CALVORN_PROGRAM), {});
    QVERIFY(program.waitForStarted());
    const bool ended = program.waitForFinished(30000);
    if (!ended) {
        program.kill();
        program.waitForFinished();
    }
    const QByteArray err = program.readAllStandardError();
    QVERIFY2(ended, "still waiting for the display after 30 s");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QVERIFY2(err.contains("DISPLAY=:" + QByteArray::number(number)) &&
                 err.contains("does not answer"),
             err.constData());
}

QTEST_GUILESS_MAIN(SilentDisplayTest)
#include "tst_app_silent_display.moc"
