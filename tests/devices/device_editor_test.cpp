#include "devices/device_editor.h"

#include <gtest/gtest.h>

namespace terval {
namespace {

DeviceTable threeRelays() {
    DeviceTable t;
    for (int n = 1; n <= 3; ++n) {
        t.append(newDeviceEntry(n));
    }
    return t;
}

TEST(NewDevice, GeneratedNamesAndAddress) {
    const DeviceEntry first = newDeviceEntry(1);
    EXPECT_EQ(first.GeneratorName, QStringLiteral("Ген. 1"));
    EXPECT_EQ(first.BreakerName, QStringLiteral("Выкл 1"));
    EXPECT_EQ(first.Address, 1);
    EXPECT_EQ(first.LastEventTime, 0.0);
    const DeviceEntry thirteenth = newDeviceEntry(13);
    EXPECT_EQ(thirteenth.GeneratorName, QStringLiteral("Ген. 13"));
    EXPECT_EQ(thirteenth.BreakerName, QStringLiteral("Выкл 13"));
    EXPECT_EQ(thirteenth.Address, 13);
}

TEST(DeviceEdit, UniquenessIsCheckedInOrderNameBreakerAddress) {
    const DeviceTable t = threeRelays();
    EXPECT_EQ(checkDeviceEdit(t, 2, {"Ген. 3", "Выкл 3", 3}), DeviceEditCheck::NameTaken);
    EXPECT_EQ(checkDeviceEdit(t, 2, {"Новый", "Выкл 1", 1}), DeviceEditCheck::BreakerTaken);
    EXPECT_EQ(checkDeviceEdit(t, 2, {"Новый", "Новый", 3}), DeviceEditCheck::AddressTaken);
    EXPECT_EQ(checkDeviceEdit(t, 2, {"Новый", "Новый", 30}), DeviceEditCheck::Accepted);
    // The relay's own values never conflict with themselves.
    EXPECT_EQ(checkDeviceEdit(t, 2, {"Ген. 2", "Выкл 2", 20}), DeviceEditCheck::Accepted);
}

TEST(DeviceEdit, CaseCountsBlanksAroundDoNot) {
    const DeviceTable t = threeRelays();
    EXPECT_EQ(checkDeviceEdit(t, 1, {"  Ген. 1 ", "Выкл 1  ", 1}), DeviceEditCheck::Unchanged);
    EXPECT_EQ(checkDeviceEdit(t, 1, {"ГЕН. 1", "Выкл 1", 1}), DeviceEditCheck::Accepted);
    EXPECT_EQ(normalizedEdit({"  Ген. 1 ", " x ", 5}).name, QStringLiteral("Ген. 1"));
}

TEST(DeviceEdit, EmptyNamesConflictWithEachOther) {
    DeviceTable t = threeRelays();
    t.entry(3).GeneratorName.clear();
    EXPECT_EQ(checkDeviceEdit(t, 1, {"", "Выкл 1", 1}), DeviceEditCheck::NameTaken);
}

TEST(DeviceEdit, NamesAreJudgedAsTheyWillBeStored) {
    DeviceTable t = threeRelays();
    t.entry(3).GeneratorName = QStringLiteral("Генератор1");
    // Eleven characters are stored as ten, so this is the name of relay 3.
    EXPECT_EQ(checkDeviceEdit(t, 1, {"Генератор12", "Выкл 1", 1}), DeviceEditCheck::NameTaken);
    EXPECT_EQ(deviceEditMessage(DeviceEditCheck::NameTaken),
              QStringLiteral("Двигатель с таким названием уже существует!"));
    EXPECT_EQ(deviceEditMessage(DeviceEditCheck::BreakerTaken),
              QStringLiteral("Выключатель с таким названием уже существует!"));
    EXPECT_EQ(deviceEditMessage(DeviceEditCheck::AddressTaken),
              QStringLiteral("Устройство с таким адресом уже существует!"));
}

}  // namespace
}  // namespace terval
