// The three stored files as anything a disk may hold: gen.dat, param.dat and config.cfg are loaded
// from arbitrary bytes, and whatever was loaded is saved and loaded again unchanged.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "devices/connection_config.h"
#include "devices/device_files.h"
#include "station_fuzz.h"

namespace {

void put(const QDir& dir, const char* name, const QByteArray& bytes) {
    QFile f(dir.filePath(QString::fromLatin1(name)));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terval;
    fuzz::ensureApplication();
    static QTemporaryDir folder;
    const QDir dir(folder.path());
    fuzz::Input in(data, size);
    const size_t genSize = in.byte() * 8u;
    put(dir, "gen.dat", in.take(genSize));
    put(dir, "param.dat", in.take(in.byte() % 40));
    put(dir, "config.cfg", in.take(64));

    const DeviceLoad devices = loadDeviceFile(dir);
    const ParamLoad params = loadParamFile(dir);
    const ConfigLoad config = loadConfigFile(dir.filePath(kConfigFileName));

    if (devices.readable) {
        if (saveDeviceFile(dir, devices.table)) {
            __builtin_trap();
        }
        const DeviceLoad again = loadDeviceFile(dir);
        if (again.table.DeviceCount != devices.table.DeviceCount) {
            __builtin_trap();
        }
        for (int i = 1; i <= devices.table.DeviceCount; ++i) {
            const DeviceEntry& a = devices.table.entry(i);
            const DeviceEntry& b = again.table.entry(i);
            // NaN is never equal to itself; its bytes are.
            if (a.toRecord() != b.toRecord()) {
                __builtin_trap();
            }
        }
    }
    if (saveParamFile(dir, params.params) || !(loadParamFile(dir).params == params.params)) {
        __builtin_trap();
    }
    if (saveConfigFile(dir.filePath(kConfigFileName), config.config) ||
        !(loadConfigFile(dir.filePath(kConfigFileName)).config == config.config)) {
        __builtin_trap();
    }
    return 0;
}
