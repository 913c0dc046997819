#include "devices/device_files.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QFileInfo>

#include "devices/device_editor.h"
#include "devices/error_text.h"
#include "devices/short_string.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::hexBytes;
using testing::WorkFolder;

DeviceEntry relay(const QString& generator, const QString& breaker, uint16_t address,
                  double lastEvent = 0.0) {
    DeviceEntry e;
    e.GeneratorName = generator;
    e.BreakerName = breaker;
    e.Address = address;
    e.LastEventTime = lastEvent;
    return e;
}

TEST(DeviceRecord, LayoutByteForByte) {
    DeviceEntry e = relay(QStringLiteral("ТГ-1"), QStringLiteral("ВГ1234567890"), 0x0107, 45000.5);
    e.reserved32 = 0x01020304;
    e.GoodAnswers = 5;
    e.BadAnswers = 6;
    e.RequestsSent = 0xA0B0C0D0;
    const QByteArray r = e.toRecord();
    ASSERT_EQ(r.size(), 56);
    // "ТГ-1" in Windows-1251 with its length byte; the rest of the field is zero.
    EXPECT_EQ(r.left(11), hexBytes("04D2C32D31000000000000"));
    // A breaker name is cut to ten characters and has no terminator.
    EXPECT_EQ(r.mid(11, 11), hexBytes("0AC2C331323334353637") + QByteArray(1, '8'));
    EXPECT_EQ(r.mid(22, 2), hexBytes("0701"));
    EXPECT_EQ(r.mid(24, 8), hexBytes("0000000010F9E540"));  // 45000.5 as a little-endian double
    EXPECT_EQ(r.mid(32, 4), hexBytes("00000000"));
    EXPECT_EQ(r.mid(36, 4), hexBytes("04030201"));
    EXPECT_EQ(r.mid(40, 16), hexBytes("0500000006000000D0C0B0A000000000"));
    EXPECT_EQ(DeviceEntry::fromRecord(r.constData()), [&] {
        DeviceEntry cut = e;
        cut.BreakerName = QStringLiteral("ВГ12345678");
        return cut;
    }());
}

TEST(DeviceRecord, NameLengthByteAboveTenIsReadAsTen) {
    QByteArray r = relay(QStringLiteral("ABCDEFGHIJ"), QStringLiteral("x"), 1).toRecord();
    r[0] = static_cast<char>(200);
    EXPECT_EQ(DeviceEntry::fromRecord(r.constData()).GeneratorName, QStringLiteral("ABCDEFGHIJ"));
    EXPECT_EQ(DeviceEntry::fromRecord(r.constData()).BreakerName, QStringLiteral("x"));
}

TEST(DeviceRecord, CharactersOutsideTheCodePageCompareAsTheyWillBeStored) {
    EXPECT_EQ(storedShortString(QStringLiteral("Ген. 1")), QStringLiteral("Ген. 1"));
    EXPECT_EQ(storedShortString(QStringLiteral("Генератор №12")), QStringLiteral("Генератор "));
    EXPECT_NE(storedShortString(QStringLiteral("Г€н")), QStringLiteral("Гxн"));
}

TEST(ParamFile, CreatedWithDefaultsOnFirstStart) {
    WorkFolder folder;
    ParamLoad load = loadParamFile(folder.dir());
    EXPECT_TRUE(load.messages.errors.isEmpty());
    EXPECT_EQ(load.params, StationParams{});
    EXPECT_EQ(folder.read("param.dat"), hexBytes("01000000070000000300000000000000"));
}

TEST(ParamFile, ReadsFourLittleEndianIntegers) {
    WorkFolder folder;
    folder.write("param.dat", hexBytes("0300000005000000020000002A000000"));
    ParamLoad load = loadParamFile(folder.dir());
    EXPECT_TRUE(load.messages.errors.isEmpty());
    EXPECT_EQ(load.params, (StationParams{3, 5, 2, 42}));
}

TEST(ParamFile, ShortFileIsReportedKeptAndDefaultsUsed) {
    WorkFolder folder;
    const QByteArray shortFile = hexBytes("0300000005000000020000");
    folder.write("param.dat", shortFile);
    ParamLoad load = loadParamFile(folder.dir());
    ASSERT_EQ(load.messages.errors.size(), 1);
    EXPECT_TRUE(load.messages.errors[0].contains("param.dat"));
    EXPECT_EQ(load.params, StationParams{});
    EXPECT_EQ(folder.read("param.dat"), shortFile);

    folder.write("param.dat", {});
    EXPECT_EQ(loadParamFile(folder.dir()).messages.errors.size(), 1);
}

TEST(ParamFile, GridOutsideItsLimitsIsBroughtToTheNearestLimitInMemoryOnly) {
    WorkFolder folder;
    const QByteArray odd = hexBytes("0100000000000000FFFFFFFF00000000");  // 0 columns, -1 rows
    folder.write("param.dat", odd);
    ParamLoad load = loadParamFile(folder.dir());
    EXPECT_EQ(load.params.TileColumns, 3);
    EXPECT_EQ(load.params.VisibleRows, 1);
    EXPECT_EQ(load.messages.warnings.size(), 1);
    EXPECT_EQ(folder.read("param.dat"), odd);

    folder.write("param.dat", hexBytes("0100000064000000630000000000000000"));
    load = loadParamFile(folder.dir());
    EXPECT_EQ(load.params.TileColumns, 15);
    EXPECT_EQ(load.params.VisibleRows, 10);
}

TEST(ParamFile, SaveWritesFromOffsetZeroAndKeepsWhatFollows) {
    WorkFolder folder;
    folder.write("param.dat", hexBytes("0100000007000000030000000000000099"));
    ASSERT_FALSE(saveParamFile(folder.dir(), {2, 9, 4, 7}));
    EXPECT_EQ(folder.read("param.dat"), hexBytes("0200000009000000040000000700000099"));
}

TEST(DeviceFile, MissingAndEmptyFilesMeanNoRelays) {
    WorkFolder folder;
    DeviceLoad load = loadDeviceFile(folder.dir());
    EXPECT_EQ(load.table.DeviceCount, 0);
    EXPECT_TRUE(load.readable);
    EXPECT_FALSE(folder.exists("gen.dat"));

    folder.write("gen.dat", {});
    load = loadDeviceFile(folder.dir());
    EXPECT_EQ(load.table.DeviceCount, 0);
    EXPECT_TRUE(load.messages.errors.isEmpty());
}

TEST(DeviceFile, WholeRecordsAreReadAndCountersStartFromZero) {
    WorkFolder folder;
    QByteArray bytes;
    for (int n = 1; n <= 3; ++n) {
        DeviceEntry e = relay(QStringLiteral("Г%1").arg(n), QStringLiteral("В%1").arg(n),
                              static_cast<uint16_t>(10 + n), 40000.0 + n);
        e.GoodAnswers = e.BadAnswers = e.RequestsSent = 77;
        e.reserved16a = e.reserved16b = 5;
        e.reserved32 = 9;
        bytes += e.toRecord();
    }
    folder.write("gen.dat", bytes + QByteArray(20, '\x7F'));
    DeviceLoad load = loadDeviceFile(folder.dir());
    ASSERT_EQ(load.table.DeviceCount, 3);
    EXPECT_TRUE(load.messages.errors.isEmpty());
    const DeviceEntry& third = load.table.entry(3);
    EXPECT_EQ(third.GeneratorName, QStringLiteral("Г3"));
    EXPECT_EQ(third.Address, 13);
    EXPECT_EQ(third.LastEventTime, 40003.0);
    EXPECT_EQ(third.GoodAnswers + third.BadAnswers + third.RequestsSent, 0u);
    EXPECT_EQ(third.reserved16a + third.reserved16b, 0);
    EXPECT_EQ(third.reserved32, 9u);  // kept as read
}

TEST(DeviceFile, MoreThanThirtyTwoRecordsLoadTheFirstThirtyTwoWithAWarning) {
    WorkFolder folder;
    QByteArray bytes;
    for (int n = 1; n <= 40; ++n) {
        bytes += newDeviceEntry(n).toRecord();
    }
    folder.write("gen.dat", bytes);
    DeviceLoad load = loadDeviceFile(folder.dir());
    EXPECT_EQ(load.table.DeviceCount, 32);
    EXPECT_EQ(load.table.entry(32).GeneratorName, QStringLiteral("Ген. 32"));
    ASSERT_EQ(load.messages.warnings.size(), 1);
    EXPECT_TRUE(load.messages.warnings[0].contains(QStringLiteral(" 40 записей,")));
    EXPECT_TRUE(load.table.isFull());
    EXPECT_EQ(load.table.append(newDeviceEntry(33)), 0);
}

TEST(DeviceFile, CountsTakeTheRussianFormThatFollowsThem) {
    const struct {
        long long n;
        const char* text;
    } cases[] = {{0, "0 записей"},     {1, "1 запись"},      {2, "2 записи"},
                 {4, "4 записи"},      {5, "5 записей"},     {11, "11 записей"},
                 {12, "12 записей"},   {14, "14 записей"},   {21, "21 запись"},
                 {33, "33 записи"},    {35, "35 записей"},   {101, "101 запись"},
                 {111, "111 записей"}, {112, "112 записей"}, {122, "122 записи"}};
    for (const auto& c : cases) {
        EXPECT_EQ(russianCount(c.n, QStringLiteral("запись"), QStringLiteral("записи"),
                               QStringLiteral("записей")),
                  QString::fromUtf8(c.text));
    }
}

TEST(DeviceFile, UnreadableFileIsReportedAndMarkedNotToBeWritten) {
    WorkFolder folder;
    ASSERT_TRUE(folder.dir().mkdir("gen.dat"));
    DeviceLoad load = loadDeviceFile(folder.dir());
    EXPECT_FALSE(load.readable);
    EXPECT_EQ(load.table.DeviceCount, 0);
    EXPECT_EQ(load.messages.errors.size(), 1);
}

TEST(DeviceFile, SaveWritesTheTableAnewAndAppendWritesOneRecordInPlace) {
    WorkFolder folder;
    DeviceTable table;
    table.append(relay(QStringLiteral("A"), QStringLiteral("a"), 1));
    table.append(relay(QStringLiteral("B"), QStringLiteral("b"), 2));
    ASSERT_FALSE(saveDeviceFile(folder.dir(), table));
    EXPECT_EQ(folder.read("gen.dat"), table.toFileBytes());

    table.append(relay(QStringLiteral("C"), QStringLiteral("c"), 3));
    ASSERT_FALSE(appendDeviceRecord(folder.dir(), table, 3));
    EXPECT_EQ(folder.read("gen.dat"), table.toFileBytes());

    // A trailing part shorter than a record: the whole table is written.
    folder.write("gen.dat", table.toFileBytes() + QByteArray(20, '\x01'));
    table.append(relay(QStringLiteral("D"), QStringLiteral("d"), 4));
    ASSERT_FALSE(appendDeviceRecord(folder.dir(), table, 4));
    EXPECT_EQ(folder.read("gen.dat"), table.toFileBytes());

    // A file that lacks the record before the new one (an add whose write failed): never a gap of
    // zeros, which would be a relay with no names at address 0 after the next start.
    folder.write("gen.dat", table.toFileBytes().left(3 * 56));
    table.append(relay(QStringLiteral("E"), QStringLiteral("e"), 5));
    ASSERT_FALSE(appendDeviceRecord(folder.dir(), table, 5));
    EXPECT_EQ(folder.read("gen.dat"), table.toFileBytes());
}

TEST(DeviceFile, AppendAfterAFailedRewriteDoesNotLeaveStaleRecords) {
    WorkFolder folder;
    DeviceTable table;
    for (int n = 1; n <= 3; ++n) {
        table.append(newDeviceEntry(n));
    }
    folder.write("gen.dat", table.toFileBytes());
    table.remove(2);
    table.remove(2);  // the file still holds three records: the rewrite "failed"
    table.append(newDeviceEntry(7));
    ASSERT_FALSE(appendDeviceRecord(folder.dir(), table, 2));
    EXPECT_EQ(folder.read("gen.dat"), table.toFileBytes());
}

TEST(DeviceFile, FailedSaveLeavesTheOldFileAsItWas) {
    WorkFolder folder;
    DeviceTable table;
    table.append(newDeviceEntry(1));
    // The folder of the file is gone: nothing can be written.
    const QDir missing(folder.path("no-such-folder"));
    const FileError error = saveDeviceFile(missing, table);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->contains("gen.dat"));

    // A directory where the file should be cannot be replaced; it stays, and no temporary file
    // is left behind.
    ASSERT_TRUE(folder.dir().mkdir("gen.dat"));
    ASSERT_TRUE(saveDeviceFile(folder.dir(), table));
    EXPECT_TRUE(QFileInfo(folder.path("gen.dat")).isDir());
    EXPECT_EQ(folder.dir().entryList(QDir::Files | QDir::Hidden).size(), 0);
}

}  // namespace
}  // namespace terval

namespace terval {
namespace {

// Copies a hand-made file of tests/data into the working folder under the station's name.
void place(const testing::WorkFolder& folder, const char* data, const char* as) {
    QFile::remove(folder.path(as));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TERVAL_TEST_DATA "/") + data, folder.path(as)));
}

TEST(HandMadeFiles, DeviceListWrittenByAnEarlierRun) {
    testing::WorkFolder folder;
    place(folder, "gen_3_and_partial.dat", "gen.dat");
    const DeviceLoad load = loadDeviceFile(folder.dir());
    ASSERT_EQ(load.table.DeviceCount, 3);
    EXPECT_EQ(load.table.entry(1).GeneratorName, QStringLiteral("ТГ-1"));
    EXPECT_EQ(load.table.entry(1).GoodAnswers, 0u);
    EXPECT_EQ(load.table.entry(2).Address, 17);
    EXPECT_EQ(load.table.entry(2).LastEventTime, 46090.3125);
    EXPECT_EQ(load.table.entry(3).GeneratorName, QStringLiteral("Генератор3"));
    EXPECT_EQ(load.table.entry(3).BreakerName, QStringLiteral("Выключател"));
    EXPECT_EQ(load.table.entry(3).Address, 246);
}

TEST(HandMadeFiles, ParamFiles) {
    testing::WorkFolder folder;
    place(folder, "param_wide.dat", "param.dat");
    EXPECT_EQ(loadParamFile(folder.dir()).params, (StationParams{3, 15, 10, 77}));
    place(folder, "param_short.dat", "param.dat");
    const ParamLoad broken = loadParamFile(folder.dir());
    EXPECT_EQ(broken.params, StationParams{});
    EXPECT_EQ(broken.messages.errors.size(), 1);
}

}  // namespace
}  // namespace terval
