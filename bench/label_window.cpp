// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// bare_window with one label: the least a Qt program does to show a window
// with text, which needs the font system (fontconfig and a font) before the
// window can be shown. startup_bench measures CalvornTest beside it too.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Qt Window with a Label"));
    window.setFixedSize(408, 261); // frmMain's size
    auto *label = new QLabel(QStringLiteral("LongData"), &window);
    label->move(8, 8); // where frmMain has its first label
    window.show();
    return app.exec();
}
