#include "devices/connection_config.h"

#include <gtest/gtest.h>
#include <QFile>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::hexBytes;
using testing::WorkFolder;

const char* kDefaultRecord =
    "0000"                    // LinkType 0
    "0676757a6b616c00000000"  // reserved text
    "00000000"
    "00"
    "0000"                    // 0.0.0.0, padding, port 0
    "04434f4d31000000000000"  // COM1
    "0a03000002";             // 38400, 8 bits, 1 stop, no parity, no flow control

TEST(ConnectionConfigFile, CreatedWithItsDefaultsWhenMissing) {
    WorkFolder folder;
    ConfigLoad load = loadConfigFile(folder.path("config.cfg"));
    EXPECT_TRUE(load.errors.isEmpty());
    EXPECT_EQ(load.config, ConnectionConfig{});
    EXPECT_EQ(folder.read("config.cfg"), hexBytes(kDefaultRecord));
}

TEST(ConnectionConfigFile, ReadsTheRecordItFinds) {
    WorkFolder folder;
    const QByteArray record = hexBytes(
        "0200"
        "0378797a00000000000000"
        "0a000005"
        "00"
        "f601"
        "05434f4d31320000000000"
        "0d03000002");
    ASSERT_EQ(record.size(), 36);
    folder.write("config.cfg", record + QByteArray("extra"));
    ConfigLoad load = loadConfigFile(folder.path("config.cfg"));
    EXPECT_TRUE(load.errors.isEmpty());
    EXPECT_TRUE(load.warnings.isEmpty()) << qPrintable(load.warnings.join("\n"));
    const ConnectionConfig& c = load.config;
    EXPECT_EQ(c.LinkType, kLinkTcp);
    EXPECT_EQ(c.ipText(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(c.tcpPort, 502);
    EXPECT_EQ(c.portName, QStringLiteral("COM12"));
    EXPECT_EQ(c.baudIndex, 13);
    // The reserved text and everything else is written back as it was read.
    EXPECT_EQ(c.toRecord(), record);
}

TEST(ConnectionConfigFile, ShortFileIsReportedAndNotRewritten) {
    WorkFolder folder;
    const QByteArray broken = hexBytes(kDefaultRecord).left(20);
    folder.write("config.cfg", broken);
    ConfigLoad load = loadConfigFile(folder.path("config.cfg"));
    ASSERT_EQ(load.errors.size(), 1);
    EXPECT_TRUE(load.errors[0].contains("config.cfg"));
    EXPECT_EQ(load.config, ConnectionConfig{});
    EXPECT_EQ(folder.read("config.cfg"), broken);
}

TEST(ConnectionConfigFile, OutOfRangeFieldsAreReadAsTheirDefaultsWithAWarning) {
    QByteArray record = hexBytes(kDefaultRecord);
    record[0] = 3;                        // LinkType
    record[20] = 11;                      // port name length
    record[31] = 16;                      // baud index
    record[32] = 4;                       // data bits index
    record[35] = 7;                       // flow control index
    record[13] = static_cast<char>(192);  // a valid address byte stays
    const ConfigDecode decoded = decodeConnectionConfig(record);
    EXPECT_EQ(decoded.warnings.size(), 5);
    ConnectionConfig expected;
    expected.ipAddress = {192, 0, 0, 0};
    EXPECT_EQ(decoded.config, expected);
}

TEST(PortName, NormalisedToComOneToNinetySix) {
    EXPECT_EQ(normalizePortName("COM3"), QStringLiteral("COM3"));
    EXPECT_EQ(normalizePortName("com12"), QStringLiteral("COM12"));
    EXPECT_EQ(normalizePortName("7"), QStringLiteral("COM7"));
    EXPECT_EQ(normalizePortName("COM96"), QStringLiteral("COM96"));
    for (const char* bad : {"COM0", "COM97", "COM", "", "ttyUSB0", "COMx"}) {
        EXPECT_EQ(normalizePortName(bad), QStringLiteral("COM1")) << bad;
    }
}

}  // namespace
}  // namespace terval

namespace terval {
namespace {

ConfigLoad loadData(const testing::WorkFolder& folder, const char* data) {
    QFile::remove(folder.path("config.cfg"));
    EXPECT_TRUE(
        QFile::copy(QStringLiteral(TERVAL_TEST_DATA "/") + data, folder.path("config.cfg")));
    return loadConfigFile(folder.path("config.cfg"));
}

TEST(HandMadeConfigFiles, GoodShortAndOutOfRange) {
    testing::WorkFolder folder;
    const ConfigLoad tcp = loadData(folder, "config_tcp.cfg");
    EXPECT_TRUE(tcp.errors.isEmpty());
    EXPECT_TRUE(tcp.warnings.isEmpty());
    EXPECT_EQ(tcp.config.LinkType, kLinkTcp);
    EXPECT_EQ(tcp.config.ipText(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(tcp.config.tcpPort, 502);
    EXPECT_EQ(tcp.config.portName, QStringLiteral("COM12"));
    EXPECT_EQ(kBaudRates[tcp.config.baudIndex], 115200);

    const ConfigLoad shortFile = loadData(folder, "config_short.cfg");
    EXPECT_EQ(shortFile.errors.size(), 1);
    EXPECT_EQ(shortFile.config, ConnectionConfig{});

    const ConfigLoad odd = loadData(folder, "config_out_of_range.cfg");
    EXPECT_TRUE(odd.errors.isEmpty());
    ASSERT_EQ(odd.warnings.size(), 1);  // one message listing every field
    EXPECT_EQ(odd.config.LinkType, kLinkRs232);
    EXPECT_EQ(odd.config.baudIndex, kDefaultBaudIndex);
    EXPECT_EQ(odd.config.parityIndex, 0);
    EXPECT_EQ(odd.config.ipText(), QStringLiteral("10.0.0.5"));
}

}  // namespace
}  // namespace terval
