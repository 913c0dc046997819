#include "poll/protocol_pages.h"

#include <gtest/gtest.h>

namespace terval {
namespace {

RegisterWords record(int number, int month, int day, int hour, int minute, int second) {
    RegisterWords w{};
    w[0] = static_cast<uint16_t>(number << 8 | month);
    w[1] = static_cast<uint16_t>(day << 8 | hour);
    w[2] = static_cast<uint16_t>(minute << 8 | second);
    return w;
}

TEST(TripProtocolPage, StampValuesSignAndStatus) {
    RegisterWords w = record(61, 3, 5, 7, 5, 9);
    w[3] = 456;
    w[4] = 5;
    w[5] = 65535;
    w[6] = 1234;
    w[7] = 2300;
    w[8] = 0;
    w[27] = 0xFFE0 | 0b01011;
    w[31] = 54;
    const TripProtocolPage page = decodeTripProtocol(w);
    EXPECT_EQ(page.number, QStringLiteral("61"));
    EXPECT_EQ(page.date, QStringLiteral("5/03"));
    EXPECT_EQ(page.time, QStringLiteral("7:05:09"));
    EXPECT_EQ(page.value(3), QStringLiteral("45.6"));
    EXPECT_EQ(page.value(4), QStringLiteral("0.5"));
    EXPECT_EQ(page.value(5), QStringLiteral("6553.5"));
    EXPECT_EQ(page.value(6), QStringLiteral("1234"));  // kΩ, no decimals
    EXPECT_EQ(page.value(7), QStringLiteral("230.0"));
    EXPECT_EQ(page.value(8), QStringLiteral("0.0"));
    EXPECT_EQ(page.status, (std::array<bool, 5>{true, true, false, true, false}));
    EXPECT_EQ(page.sign, QStringLiteral("Отказ блока"));

    w[31] = 7;
    EXPECT_EQ(decodeTripProtocol(w).sign, QStringLiteral("Неизвестный код признака"));
    w[31] = 4;
    EXPECT_EQ(decodeTripProtocol(w).sign, QStringLiteral("Обрыв цепи"));

    // An erased slot shows its numbers as they are.
    RegisterWords erased;
    erased.fill(0xFFFF);
    const TripProtocolPage e = decodeTripProtocol(erased);
    EXPECT_EQ(e.number, QStringLiteral("255"));
    EXPECT_EQ(e.date, QStringLiteral("255/255"));
    EXPECT_EQ(e.time, QStringLiteral("255:255:255"));
}

TEST(InsulationProtocolPage, KindOfChangeAndStamp) {
    RegisterWords w = record(60, 2, 29, 4, 51, 42);
    w[3] = 1480;
    w[4] = 814;
    w[5] = 0xAAAA;
    InsulationProtocolPage page = decodeInsulationProtocol(w);
    EXPECT_EQ(page.number, QStringLiteral("60"));
    EXPECT_EQ(page.date, QStringLiteral("29/02"));
    EXPECT_EQ(page.time, QStringLiteral("4:51:42"));
    EXPECT_EQ(page.initial, QStringLiteral("1480"));
    EXPECT_EQ(page.final, QStringLiteral("814"));
    EXPECT_EQ(page.kind, InsulationChange::Decrease);
    EXPECT_EQ(insulationChangeText(page.kind), QStringLiteral("Снижение изоляции"));
    w[5] = 0x5555;
    EXPECT_EQ(decodeInsulationProtocol(w).kind, InsulationChange::Increase);
    EXPECT_EQ(insulationChangeText(InsulationChange::Increase),
              QStringLiteral("Повышение изоляции"));
    for (uint16_t other : {0x0000, 0xFFFF, 0xAAAB, 0x5554}) {
        w[5] = other;
        EXPECT_EQ(decodeInsulationProtocol(w).kind, InsulationChange::None) << other;
    }
}

TEST(ProtocolPages, ProtocolNumberOfARequest) {
    EXPECT_EQ(tripProtocolOfRegister(0x1000), 1);
    EXPECT_EQ(tripProtocolOfRegister(0x1080), 5);
    EXPECT_EQ(tripProtocolOfRegister(0x17E0), 64);
    EXPECT_EQ(tripProtocolOfRegister(0x1800), 0);
    EXPECT_EQ(tripProtocolOfRegister(0x1001), 0);
    EXPECT_EQ(tripProtocolOfRegister(0x0FE0), 0);
    EXPECT_EQ(insulationProtocolOfRegister(0x3000), 1);
    EXPECT_EQ(insulationProtocolOfRegister(0x31F8), 64);
    EXPECT_EQ(insulationProtocolOfRegister(0x3200), 0);
    EXPECT_EQ(insulationProtocolOfRegister(0x1000), 0);
}

}  // namespace
}  // namespace terval
