// Makes a line of the web view's password file: terval-plant-passwd USER, the password read from
// standard input (one line), so that it is never on a command line or in the shell's history.
//
//     terval-plant-passwd engineer >> /etc/terval/plant-web-users
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include <iostream>
#include <string>

#include "plantweb/plant_web_server.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || args[1].isEmpty() || args[1].contains(QLatin1Char(':')) ||
        args[1].startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr,
                     "Использование: terval-plant-passwd ПОЛЬЗОВАТЕЛЬ < пароль\n"
                     "(имя без «:»; пароль — одна строка на стандартном входе)\n");
        return 2;
    }
    std::string line;
    if (!std::getline(std::cin, line) || line.empty()) {
        std::fprintf(stderr, "Пароль не задан: ожидается строка на стандартном входе\n");
        return 2;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const QByteArray entry =
        terval::PlantWebServer::passwordLine(args[1], QByteArray::fromStdString(line));
    std::fwrite(entry.constData(), 1, size_t(entry.size()), stdout);
    std::fputc('\n', stdout);
    return 0;
}
