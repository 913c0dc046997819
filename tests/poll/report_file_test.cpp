#include "poll/report_file.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QStringEncoder>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::WorkFolder;

// A trip protocol of 12 February, 18:45:36: trip relay sign, signal and alpha 1 bits set.
TripProtocolPage protocolOf12February() {
    RegisterWords w{};
    w[0] = 17 << 8 | 2;
    w[1] = 12 << 8 | 18;
    w[2] = 45 << 8 | 36;
    w[3] = 456;
    w[4] = 0;
    w[5] = 65535;
    w[6] = 1234;
    w[7] = 2300;
    w[8] = 7;
    w[27] = 0b10101;
    w[31] = 1;
    return decodeTripProtocol(w);
}

QString blanks(int n) {
    return QString(n, QLatin1Char(' '));
}

QByteArray cp1251(const QStringList& lines) {
    QStringEncoder encoder("windows-1251");
    QByteArray bytes;
    for (const QString& line : lines) {
        bytes += encoder(line);
        bytes += "\r\n";
    }
    return bytes;
}

// The report as the operator's table gives it, written out field by field.
QStringList expectedLines(const QString& lastValue) {
    return {
        QStringLiteral("Название генератора: Ген. 3"),
        QString(),
        QStringLiteral("Физический адрес: 3"),
        QString(),
        QStringLiteral("Дата:   12/02"),
        QStringLiteral("Время:  18:45:36"),
        QString(),
        QString(),
        QString(),
        QStringLiteral("Значение сопротивления изоляции:") + blanks(7) + blanks(6) +
            QStringLiteral("1234 кОм"),
        QStringLiteral("Электрическая удаленность:") + blanks(13) + blanks(6) +
            QStringLiteral("45.6 %"),
        QStringLiteral("Значение альфы 1:") + blanks(22) + blanks(7) + QStringLiteral("0.0 %"),
        QStringLiteral("Значение альфы 2:") + blanks(22) + blanks(4) + QStringLiteral("6553.5 %"),
        QStringLiteral("Напряжение взбуждения:") + blanks(17) + blanks(5) +
            QStringLiteral("230.0 В"),
        QStringLiteral("Напряжение наложенное:") + blanks(17) +
            blanks(std::max<int>(0, 10 - static_cast<int>(lastValue.size()))) + lastValue +
            QStringLiteral(" В"),
        QString(),
        QString(),
        QStringLiteral("*********************************"),
        QStringLiteral("Статусный регистр  |  Признак защит"),
        blanks(9) + "1" + blanks(18) + "-" + blanks(14) + QStringLiteral(":СИГНАЛЬНОЕ реле"),
        blanks(9) + "-" + blanks(18) + "1" + blanks(14) + QStringLiteral(":Реле ОТКЛЮЧЕНИЯ"),
        blanks(9) + "1" + blanks(18) + "-" + blanks(14) + QStringLiteral(":Фиксация альфы 1"),
        blanks(9) + "-" + blanks(18) + "-" + blanks(14) + QStringLiteral(":Фиксация альфы 2"),
        QString(),
        QStringLiteral("*********************************")};
}

TEST(ReportFile, NameFromTheProtocolsDayAndTime) {
    EXPECT_EQ(reportFileName(protocolOf12February().stamp),
              QStringLiteral("Pr_12_02_18_45_36.dat"));
    ProtocolStamp s;
    s.day = 5;
    s.month = 3;
    s.hour = 7;
    s.minute = 5;
    s.second = 9;
    EXPECT_EQ(reportFileName(s), QStringLiteral("Pr_5_03_7_05_09.dat"));
}

TEST(ReportFile, BytesForByteInWindows1251WithCrLf) {
    const TripProtocolPage page = protocolOf12February();
    const QByteArray bytes = reportBytes(QStringLiteral("Ген. 3"), 3, page);
    EXPECT_EQ(bytes, cp1251(expectedLines(QStringLiteral("0.7"))));
    // Single-byte Cyrillic, every line ended by CR LF and no bare LF.
    EXPECT_TRUE(bytes.startsWith(QByteArray::fromHex("cde0e7e2e0ede8e520")));
    EXPECT_EQ(bytes.count("\r\n"), 25);
    EXPECT_EQ(bytes.count('\n'), 25);
    // The value column starts at the 40th character on every value line.
    const QStringList lines = reportLines(QStringLiteral("Ген. 3"), 3, page);
    for (int i = 9; i <= 14; ++i) {
        EXPECT_EQ(lines[i].indexOf(QLatin1Char(' '), 39), 39) << i;
        EXPECT_NE(lines[i][48], QLatin1Char(' ')) << i;
    }

    // A caption longer than ten characters is written whole and pushes the unit on.
    TripProtocolPage longer = page;
    longer.values[8] = QStringLiteral("123456789012");
    EXPECT_EQ(reportBytes(QStringLiteral("Ген. 3"), 3, longer),
              cp1251(expectedLines(QStringLiteral("123456789012"))));
}

TEST(ReportFile, SignFlagFollowsTheSignCode) {
    TripProtocolPage page = protocolOf12February();
    for (uint16_t code : {0, 1, 2, 3, 4, 54, 7}) {
        page.signCode = code;
        const QStringList lines = reportLines(QString(), 1, page);
        for (int bit = 0; bit < 4; ++bit) {
            EXPECT_EQ(lines[19 + bit][28], code == bit ? QLatin1Char('1') : QLatin1Char('-'))
                << code << " " << bit;
        }
    }
}

TEST(ReportFile, WrittenIntoProtokolsCreatedWhenMissingAndNeverOverwritten) {
    WorkFolder folder;
    const TripProtocolPage page = protocolOf12February();
    ReportOutcome outcome = writeTripReport(folder.dir(), QStringLiteral("Ген. 3"), 3, page);
    ASSERT_FALSE(outcome.error) << qPrintable(*outcome.error);
    EXPECT_EQ(outcome.path, folder.path(QStringLiteral("Protokols/Pr_12_02_18_45_36.dat")));
    EXPECT_EQ(folder.read(QStringLiteral("Protokols/Pr_12_02_18_45_36.dat")),
              reportBytes(QStringLiteral("Ген. 3"), 3, page));

    // A later report of the same moment (another relay, another year) takes the next free name;
    // every earlier report stays as it was, a gap left by a deleted one is filled first.
    for (int n = 2; n <= 4; ++n) {
        outcome = writeTripReport(folder.dir(), QStringLiteral("Ген. %1").arg(n + 2), n + 2, page);
        ASSERT_FALSE(outcome.error);
        EXPECT_EQ(outcome.path,
                  folder.path(QStringLiteral("Protokols/Pr_12_02_18_45_36_%1.dat").arg(n)));
    }
    EXPECT_EQ(folder.read(QStringLiteral("Protokols/Pr_12_02_18_45_36.dat")),
              reportBytes(QStringLiteral("Ген. 3"), 3, page));
    for (int n = 2; n <= 4; ++n) {
        EXPECT_EQ(folder.read(QStringLiteral("Protokols/Pr_12_02_18_45_36_%1.dat").arg(n)),
                  reportBytes(QStringLiteral("Ген. %1").arg(n + 2), n + 2, page));
    }
    ASSERT_TRUE(QFile::remove(folder.path(QStringLiteral("Protokols/Pr_12_02_18_45_36_3.dat"))));
    outcome = writeTripReport(folder.dir(), QStringLiteral("Ген. 9"), 9, page);
    EXPECT_EQ(outcome.path, folder.path(QStringLiteral("Protokols/Pr_12_02_18_45_36_3.dat")));
    EXPECT_EQ(folder.read(QStringLiteral("Protokols/Pr_12_02_18_45_36_4.dat")),
              reportBytes(QStringLiteral("Ген. 6"), 6, page));
}

TEST(ReportFile, FileNamedProtokolsIsReportedAndLeftAlone) {
    WorkFolder folder;
    folder.write(QStringLiteral("Protokols"), "not a folder");
    const ReportOutcome outcome =
        writeTripReport(folder.dir(), QStringLiteral("Ген. 3"), 3, protocolOf12February());
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->contains(QStringLiteral("Protokols"))) << qPrintable(*outcome.error);
    EXPECT_EQ(folder.read(QStringLiteral("Protokols")), QByteArray("not a folder"));
}

}  // namespace
}  // namespace terval
