#include "link/connection_settings.h"

#include <gtest/gtest.h>
#include <random>

#include "station/station_settings.h"
#include "support/fakes.h"

namespace terval {
namespace {

// Types the keys one by one into an edit governed by `filter`, as the dialog does.
QString type(EditKey (*filter)(const QString&, QChar), const QString& keys,
             QString text = QString()) {
    for (QChar key : keys) {
        switch (filter(text, key)) {
            case EditKey::Accept:
                text = key == kKeyBackspace ? text.left(text.size() - 1) : text + key;
                break;
            case EditKey::Discard:
            case EditKey::Leave:
            case EditKey::RestoreAndLeave:
                break;
        }
    }
    return text;
}

TEST(AddressKeys, GroupsAboveTwoFiftyFiveAndMisplacedDotsAreDiscarded) {
    EXPECT_EQ(type(ipAddressKey, "192.168.0.256"), QStringLiteral("192.168.0.25"));
    EXPECT_EQ(type(ipAddressKey, ".1..2.3.4.5"), QStringLiteral("1.2.3.45"));
    EXPECT_EQ(type(ipAddressKey, "1.2.3.4."), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(type(ipAddressKey, "300"), QStringLiteral("30"));
    EXPECT_EQ(type(ipAddressKey, "1a,2 b-"), QStringLiteral("12"));
    EXPECT_EQ(type(ipAddressKey, QStringLiteral("10.0") + kKeyBackspace + "1"),
              QStringLiteral("10.1"));
}

// What the filters let through can always be stored: an address with three dots and a last group
// is never refused on "OK", nor is a port with a digit in it. Random keys and pastes, seeded.
TEST(AddressKeys, WhateverTheFiltersLetThroughOkCanStore) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const QString keys = QStringLiteral("0123456789..0x ") + kKeyBackspace;
    for (int round = 0; round < 5000; ++round) {
        QString address;
        QString port;
        for (int step = 0; step < 30; ++step) {
            QString burst;
            const int length = std::uniform_int_distribution<int>(1, 4)(random);
            for (int i = 0; i < length; ++i) {
                burst += keys[std::uniform_int_distribution<int>(0, keys.size() - 1)(random)];
            }
            if (length > 1) {  // pasted
                address += acceptedTyping(address, burst, ipAddressKey);
                port += acceptedTyping(port, burst, ipPortKey);
            } else {
                address = type(ipAddressKey, burst, address);
                port = type(ipPortKey, burst, port);
            }
            if (address.count('.') == 3 && !address.endsWith('.')) {
                ASSERT_TRUE(parseIpAddress(address)) << qPrintable(address) << " seed " << seed;
            }
            ConnectionConfig config;
            if (!port.isEmpty()) {
                ASSERT_FALSE(
                    applyConnectionSettings(config, 0, SerialSettings{}, QString(), port).error)
                    << qPrintable(port) << " seed " << seed;
            }
        }
    }
}

TEST(AddressKeys, PastedTextIsTypedCharacterByCharacter) {
    const struct {
        const char* text;
        const char* pasted;
        const char* accepted;
    } address[] = {
        {"", "192.168.0.25", "192.168.0.25"},
        {"", " 10.0.0.1\n", "10.0.0.1"},
        {"", "1.2.3.4.5", "1.2.3.45"},
        {"10.", "0255.7", "025.7"},
        {"", "256", "25"},
        {"1.2.3.255", "9", ""},
        {"", "\x08\x1b\r1", "1"},
    };
    for (const auto& c : address) {
        EXPECT_EQ(acceptedTyping(QString::fromLatin1(c.text), QString::fromLatin1(c.pasted),
                                 ipAddressKey),
                  QString::fromLatin1(c.accepted))
            << c.text << " + " << c.pasted;
    }
    EXPECT_EQ(acceptedTyping("", "0000000", ipPortKey), QStringLiteral("00000"));
    EXPECT_EQ(acceptedTyping("", " 1502 ", ipPortKey), QStringLiteral("1502"));
    EXPECT_EQ(acceptedTyping("6", "5536", ipPortKey), QStringLiteral("553"));
}

TEST(AddressKeys, EnterLeavesOnlyACompleteAddressEscapeAlways) {
    EXPECT_EQ(ipAddressKey("10.0.0.5", kKeyEnter), EditKey::Leave);
    EXPECT_EQ(ipAddressKey("10.0.0.", kKeyEnter), EditKey::Discard);
    EXPECT_EQ(ipAddressKey("10.0", kKeyEnter), EditKey::Discard);
    EXPECT_EQ(ipAddressKey("10.0", kKeyEscape), EditKey::RestoreAndLeave);
    EXPECT_EQ(ipAddressKey("", kKeyBackspace), EditKey::Accept);
}

TEST(PortKeys, NumbersAboveSixtyFiveThousandFiveHundredThirtyFiveAreDiscarded) {
    EXPECT_EQ(type(ipPortKey, "65536"), QStringLiteral("6553"));
    EXPECT_EQ(type(ipPortKey, "65535"), QStringLiteral("65535"));
    EXPECT_EQ(type(ipPortKey, "5.0x2"), QStringLiteral("502"));
    EXPECT_EQ(ipPortKey("", kKeyEnter), EditKey::Leave);
    EXPECT_EQ(ipPortKey("5", kKeyEscape), EditKey::RestoreAndLeave);
}

TEST(ApplySettings, FramingIsAlwaysStoredAsEightNoneOneWithoutFlowControl) {
    ConnectionConfig config;
    SerialSettings port;
    port.portName = QStringLiteral("COM7");
    port.baudRate = 115200;
    port.dataBitsIndex = 2;  // seven bits chosen in the setup dialog
    port.parityIndex = 2;    // even
    port.flowControlIndex = 0;
    const SettingsApply r = applyConnectionSettings(config, kLinkRs485, port, "10.0.0.5", "502");
    ASSERT_FALSE(r.error);
    EXPECT_EQ(config.LinkType, kLinkRs485);
    EXPECT_EQ(config.portName, QStringLiteral("COM7"));
    EXPECT_EQ(config.baudIndex, 13);
    EXPECT_EQ(config.dataBitsIndex, 3);
    EXPECT_EQ(config.stopBitsIndex, 0);
    EXPECT_EQ(config.parityIndex, 0);
    EXPECT_EQ(config.flowControlIndex, 2);
    EXPECT_EQ(config.ipText(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(config.tcpPort, 502);
    EXPECT_EQ(r.addressText, QStringLiteral("10.0.0.5"));
    EXPECT_EQ(config.toRecord().right(5), QByteArray::fromHex("0d03000002"));
}

TEST(ApplySettings, AddressWithFewerThanThreeDotsKeepsTheStoredOne) {
    ConnectionConfig config;
    config.ipAddress = {192, 168, 1, 2};
    const SettingsApply r = applyConnectionSettings(config, kLinkTcp, {}, "", "1502");
    ASSERT_FALSE(r.error);
    EXPECT_EQ(r.addressText, QStringLiteral("192.168.1.2"));
    EXPECT_EQ(config.ipText(), QStringLiteral("192.168.1.2"));
    EXPECT_EQ(config.tcpPort, 1502);
    EXPECT_EQ(config.LinkType, kLinkTcp);
}

TEST(ApplySettings, BadAddressOrPortIsRefusedAndNothingChanges) {
    ConnectionConfig config;
    config.ipAddress = {10, 1, 1, 1};
    config.tcpPort = 502;
    const ConnectionConfig before = config;
    for (const char* bad : {"1.2.3.4.5", "1..3.4", "1.2.3.", "1.2.3.256", "1.2.3.4x", "-1.2.3.4"}) {
        const SettingsApply r = applyConnectionSettings(config, kLinkTcp, {}, bad, "503");
        ASSERT_TRUE(r.error) << bad;
        EXPECT_TRUE(r.error->contains(QString::fromLatin1(bad)));
        EXPECT_EQ(r.addressText, QStringLiteral("10.1.1.1"));
        EXPECT_EQ(config, before) << bad;
    }
    for (const char* bad : {"", "abc", "65536", "1 2", "99999999999"}) {
        const SettingsApply r = applyConnectionSettings(config, kLinkTcp, {}, "10.0.0.9", bad);
        ASSERT_TRUE(r.error) << bad;
        EXPECT_TRUE(r.error->startsWith(QStringLiteral("Неверный номер порта")));
        EXPECT_EQ(config, before) << bad;
    }
}

TEST(ApplySettings, BaudRatesOutsideTheTableAreStoredAsCustom) {
    EXPECT_EQ(baudIndexOf(38400), 10);
    EXPECT_EQ(baudIndexOf(110), 1);
    EXPECT_EQ(baudIndexOf(256000), 15);
    EXPECT_EQ(baudIndexOf(12345), 0);
}

// [poll] of terval.ini: each value is taken only within its range, a wrong one is named and its
// default stands, and writing the section keeps every other line of the file.
TEST(PollPacingSettings, ValuesOutsideTheirRangesAreNamedAndTheDefaultsStand) {
    const struct {
        const char* text;
        PollPace pace;
        int serialMargin;
        int tcpMargin;
        int tcpPause;
        const char* named;  // what the message names, or nothing when there is none
    } cases[] = {
        {"", PollPace::Tick, 50, 300, 20, nullptr},
        {"[poll]\npace=wire\n", PollPace::Wire, 50, 300, 20, nullptr},
        {"[poll]\npace= Wire \nserialMarginMs=5\ntcpMarginMs=5000\ntcpPauseMs=0\n", PollPace::Wire,
         5, 5000, 0, nullptr},
        {"[poll]\npace=fast\n", PollPace::Tick, 50, 300, 20, "pace=fast"},
        {"[poll]\npace=wire\nserialMarginMs=4\n", PollPace::Wire, 50, 300, 20, "serialMarginMs=4"},
        {"[poll]\ntcpMarginMs=lots\ntcpPauseMs=1001\n", PollPace::Tick, 50, 300, 20,
         "tcpPauseMs=1001"},
        {"[poll]\ntcpPauseMs=-1\n", PollPace::Tick, 50, 300, 20, "tcpPauseMs=-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        testing::WorkFolder folder;
        folder.write(QStringLiteral("terval.ini"), c.text);
        const SettingsLoad load = loadStationSettings(folder.dir());
        EXPECT_EQ(load.settings.poll.pace, c.pace);
        EXPECT_EQ(load.settings.poll.serialMarginMs, c.serialMargin);
        EXPECT_EQ(load.settings.poll.tcpMarginMs, c.tcpMargin);
        EXPECT_EQ(load.settings.poll.tcpPauseMs, c.tcpPause);
        EXPECT_EQ(load.error.has_value(), c.named != nullptr);
        if (c.named) {
            EXPECT_TRUE(load.error->contains(QLatin1String(c.named))) << load.error->toStdString();
        }
    }

    testing::WorkFolder folder;
    folder.write(QStringLiteral("terval.ini"), "; by hand\n[link]\nconnectAtStart=true\n");
    PollPacing pacing;
    pacing.pace = PollPace::Wire;
    pacing.serialMarginMs = 80;
    ASSERT_FALSE(savePollPacing(folder.dir(), pacing));
    EXPECT_EQ(folder.read(QStringLiteral("terval.ini")),
              QByteArray("; by hand\n[link]\nconnectAtStart=true\n\n[poll]\npace=wire\n"
                         "serialMarginMs=80\ntcpMarginMs=300\ntcpPauseMs=20\n"));
    const SettingsLoad load = loadStationSettings(folder.dir());
    EXPECT_FALSE(load.error);
    EXPECT_EQ(load.settings.poll, pacing);
    EXPECT_TRUE(load.settings.connectAtStart);
}

}  // namespace
}  // namespace terval
