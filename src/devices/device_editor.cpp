#include "devices/device_editor.h"

#include "devices/short_string.h"

namespace terval {

DeviceEntry newDeviceEntry(int n) {
    DeviceEntry e;
    e.GeneratorName = storedShortString(QStringLiteral("Ген. %1").arg(n));
    e.BreakerName = storedShortString(QStringLiteral("Выкл %1").arg(n));
    e.Address = static_cast<uint16_t>(n);
    return e;
}

DeviceEdit normalizedEdit(const DeviceEdit& typed) {
    return {storedShortString(typed.name.trimmed()), storedShortString(typed.breaker.trimmed()),
            typed.address};
}

DeviceEditCheck checkDeviceEdit(const DeviceTable& table, int selected, const DeviceEdit& typed) {
    const DeviceEdit edit = normalizedEdit(typed);
    const DeviceEntry& own = table.entry(selected);
    if (edit.name == own.GeneratorName && edit.breaker == own.BreakerName &&
        edit.address == own.Address) {
        return DeviceEditCheck::Unchanged;
    }
    for (int j = 1; j <= table.DeviceCount; ++j) {
        if (j == selected) {
            continue;
        }
        const DeviceEntry& other = table.entry(j);
        if (other.GeneratorName == edit.name) {
            return DeviceEditCheck::NameTaken;
        }
        if (other.BreakerName == edit.breaker) {
            return DeviceEditCheck::BreakerTaken;
        }
        if (other.Address == edit.address) {
            return DeviceEditCheck::AddressTaken;
        }
    }
    return DeviceEditCheck::Accepted;
}

QString deviceEditMessage(DeviceEditCheck check) {
    switch (check) {
        case DeviceEditCheck::NameTaken:
            return QStringLiteral("Двигатель с таким названием уже существует!");
        case DeviceEditCheck::BreakerTaken:
            return QStringLiteral("Выключатель с таким названием уже существует!");
        case DeviceEditCheck::AddressTaken:
            return QStringLiteral("Устройство с таким адресом уже существует!");
        case DeviceEditCheck::Unchanged:
        case DeviceEditCheck::Accepted:
            break;
    }
    return {};
}

}  // namespace terval
