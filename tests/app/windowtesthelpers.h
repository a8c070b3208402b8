// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Helpers for the tests that drive the program's window.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>
#include <QMessageBox>
#include <QTest>

inline const QString programBusName = QStringLiteral("org.calvorn.CalvornTest");

// Holds the program's bus name on a connection of its own, as a running copy
// would: windows created meanwhile take the client role.
class OtherCopy
{
public:
    OtherCopy() : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "otherCopy"))
    {
        m_bus.interface()->registerService(programBusName);
    }
    ~OtherCopy()
    {
        m_bus.interface()->unregisterService(programBusName);
        QDBusConnection::disconnectFromBus("otherCopy");
    }

private:
    QDBusConnection m_bus;
};

// The modal message box that is open, or opens within timeoutMs; null if none.
inline QMessageBox *waitForModalBox(int timeoutMs = 2000)
{
    QMessageBox *box = nullptr;
    const auto opened = [&] {
        box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        return box != nullptr;
    };
    return QTest::qWaitFor(opened, timeoutMs) ? box : nullptr;
}

// Presses the box's OK button; true once no modal box is open.
[[nodiscard]] inline bool closeModalBox(QMessageBox *box)
{
    box->button(QMessageBox::Ok)->click();
    return QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 2000);
}

// Right-clicks widget as a user does; the context menu that opens, or null.
inline QMenu *openContextMenu(QWidget *widget)
{
    QWidget *window = widget->window();
    QTest::mouseClick(window->windowHandle(), Qt::RightButton, {},
                      widget->mapTo(window, widget->rect().center()));
    QMenu *menu = nullptr;
    const auto opened = [&] {
        menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        return menu != nullptr;
    };
    return QTest::qWaitFor(opened) ? menu : nullptr;
}

// Chooses, with the keyboard, the menu's item whose text begins with text;
// false if it has none.
[[nodiscard]] inline bool chooseMenuItem(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text().startsWith(text)) {
            menu->setActiveAction(action);
            QTest::keyClick(menu, Qt::Key_Return);
            return true;
        }
    }
    return false;
}
