// Prepares a working folder for the station: the tile pictures, a few relays in gen.dat and, when
// asked, a config.cfg that points the station at a Modbus TCP peer. Files that already exist are
// left alone, so an operator's folder is never overwritten.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>

#include "devices/connection_config.h"
#include "devices/device_editor.h"
#include "devices/device_files.h"

using namespace terval;

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "station-folder: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Creates or completes a working folder for the station. Existing files are kept.");
    parser.addHelpOption();
    parser.addPositionalArgument("folder", "the working folder");
    parser.addOption({"assets", "folder holding Bitmap1.bmp ... Bitmap4.bmp", "dir"});
    parser.addOption({"relays", "relays to put in a new gen.dat (default 5)", "count", "5"});
    parser.addOption({"tcp", "write a new config.cfg for Modbus TCP to HOST:PORT", "host:port"});
    parser.addOption({"rs485", "write a new config.cfg for Modbus RTU on RS-485 at COMn", "COMn"});
    parser.process(app);

    if (parser.positionalArguments().size() != 1) {
        parser.showHelp(2);
    }
    QDir folder(parser.positionalArguments().first());
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        return fail(QStringLiteral("cannot create %1").arg(folder.path()));
    }

    if (parser.isSet("assets")) {
        const QDir assets(parser.value("assets"));
        for (int i = 1; i <= 4; ++i) {
            const QString name = QStringLiteral("Bitmap%1.bmp").arg(i);
            if (!folder.exists(name) &&
                !QFile::copy(assets.filePath(name), folder.filePath(name))) {
                return fail(QStringLiteral("cannot copy %1 from %2").arg(name, assets.path()));
            }
        }
    }

    if (!folder.exists(kDeviceFileName)) {
        bool ok = false;
        const int relays = parser.value("relays").toInt(&ok);
        if (!ok || relays < 0 || relays > kMaxDevices) {
            return fail(QStringLiteral("--relays takes a number from 0 to %1").arg(kMaxDevices));
        }
        DeviceTable table;
        for (int n = 1; n <= relays; ++n) {
            table.append(newDeviceEntry(n));
        }
        if (FileError error = saveDeviceFile(folder, table)) {
            return fail(*error);
        }
    }

    if (parser.isSet("tcp") && !folder.exists(kConfigFileName)) {
        const QString target = parser.value("tcp");
        const int colon = target.lastIndexOf(QLatin1Char(':'));
        const QStringList groups = target.left(colon).split(QLatin1Char('.'));
        bool ok = colon > 0 && groups.size() == 4;
        ConnectionConfig config;
        config.LinkType = kLinkTcp;
        for (int i = 0; ok && i < 4; ++i) {
            const int value = groups[i].toInt(&ok);
            ok = ok && value >= 0 && value <= 255;
            config.ipAddress[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
        }
        bool portOk = false;
        const int port = target.mid(colon + 1).toInt(&portOk);
        if (!ok || !portOk || port < 1 || port > 65535) {
            return fail(
                QStringLiteral("--tcp takes an IPv4 address and a port, e.g. 127.0.0.1:1502"));
        }
        config.tcpPort = static_cast<uint16_t>(port);
        if (FileError error = saveConfigFile(folder.filePath(kConfigFileName), config)) {
            return fail(*error);
        }
    }
    if (parser.isSet("rs485") && !folder.exists(kConfigFileName)) {
        const QString name = parser.value("rs485");
        if (normalizePortName(name) != name.toUpper()) {
            return fail(QStringLiteral("--rs485 takes a port name from COM1 to COM96"));
        }
        ConnectionConfig config;
        config.LinkType = kLinkRs485;
        config.portName = name.toUpper();
        if (FileError error = saveConfigFile(folder.filePath(kConfigFileName), config)) {
            return fail(*error);
        }
    }
    return 0;
}
