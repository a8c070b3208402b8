// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The least a Qt program does to show a window: a plain QWidget of the main
// window's size, with a title and nothing else. startup_bench measures
// CalvornTest beside it.
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt Window"));
    window.setFixedSize(408, 261); // frmMain's size
    window.show();
    return app.exec();
}
