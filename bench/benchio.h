// Line-based standard input and output for the helper processes that the
// benchmark driver starts.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

namespace Bench {

inline void emitLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Calls onLine with each line of standard input (without its newline) and
// quits the application at the end of the input or on "quit".
inline void readCommands(QObject *context, std::function<void(const QByteArray &)> onLine)
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(input, &QSocketNotifier::activated, context, [pending, onLine] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending->append(buffer, n);
        qsizetype end;
        while ((end = pending->indexOf('\n')) >= 0) {
            const QByteArray line = pending->left(end);
            pending->remove(0, end + 1);
            if (line == "quit")
                QCoreApplication::quit();
            else
                onLine(line);
        }
    });
}

} // namespace Bench
