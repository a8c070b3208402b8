// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Test helper: a copy of the program reduced to its role. On the first line
// of standard input it asks the session bus for its role and prints "server"
// or "client" (or "error: ..."); it then runs until its input closes.
#include "instancerole.h"

#include <QCoreApplication>

#include <iostream>
#include <string>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::string line;
    std::getline(std::cin, line);

    const InstanceRole role;
    if (!role.errorString().isEmpty())
        std::cout << "error: " << role.errorString().toStdString() << std::endl;
    else
        std::cout << (role.isServer() ? "server" : "client") << std::endl;

    std::getline(std::cin, line);
    return 0;
}
