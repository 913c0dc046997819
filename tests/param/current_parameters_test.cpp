#include "param/current_parameters.h"

#include <gtest/gtest.h>

#include "station/date_time_text.h"

namespace terval {
namespace {

RegisterWords clockWords(int day, int month, int hour, int minute, int second, int year = 1999) {
    RegisterWords w{};
    w[9] = static_cast<uint16_t>(second);
    w[10] = static_cast<uint16_t>(minute);
    w[11] = static_cast<uint16_t>(hour);
    w[12] = 3;
    w[13] = static_cast<uint16_t>(day);
    w[14] = static_cast<uint16_t>(month);
    w[15] = static_cast<uint16_t>(year);
    return w;
}

QString textOf(const QList<PanelText>& panels, const char* name) {
    for (const PanelText& p : panels) {
        if (p.name == QLatin1String(name)) {
            return p.text;
        }
    }
    return QStringLiteral("<none>");
}

TEST(CurrentParameters, IdentificationWords) {
    EXPECT_EQ(manufactureDateText(3 << 12 | 2008), QStringLiteral("3/2008"));
    EXPECT_EQ(manufactureDateText(12 << 12 | 95), QStringLiteral("12/95"));
    EXPECT_EQ(manufactureDateText(0), QStringLiteral("0/0"));
    EXPECT_EQ(programVersionText(1 << 8 | 14), QStringLiteral("1.14"));
    EXPECT_EQ(programVersionText(10 << 8 | 5), QStringLiteral("10.5"));
    EXPECT_EQ(programVersionText(0xFFFF), QStringLiteral("255.255"));
    EXPECT_EQ(programDateText(9 << 11 | 4 << 7 | 8), QStringLiteral("9/04/2008"));
    EXPECT_EQ(programDateText(31 << 11 | 12 << 7 | 99), QStringLiteral("31/12/2099"));
    EXPECT_EQ(programDateText(0), QStringLiteral("0/00/2000"));
}

TEST(CurrentParameters, BlockDecodingWithScalingAndLeds) {
    RegisterWords w = clockWords(9, 3, 7, 5, 0);
    w[1] = 2402;
    w[2] = 3 << 12 | 2008;
    w[5] = 2 << 8 | 7;
    w[6] = 17 << 11 | 6 << 7 | 19;
    w[8] = 65535;
    w[19] = 0xFFE0 | 0b10101;  // bits 5 to 15 are not shown
    w[24] = 1234;
    w[25] = 5;
    w[26] = 0;
    w[27] = 65535;
    w[28] = 65535;
    w[29] = 10;
    w[30] = 4800;
    w[32] = 32768;
    w[33] = 1;
    w[34] = 0;
    const CurrentParameters p =
        decodeCurrentParameters(w, QDateTime(QDate(2008, 3, 10), QTime(18, 45, 36)),
                                QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(p.identity, (QList<PanelText>{{"PanPar_1", "2402"},
                                            {"PanPar_2", "3/2008"},
                                            {"PanPar_5", "2.7"},
                                            {"PanPar_6", "17/06/2019"}}));
    EXPECT_EQ(textOf(p.values, "PanPar8"), QStringLiteral("65535"));
    EXPECT_EQ(textOf(p.values, "PanPar24"), QStringLiteral("123.4"));
    EXPECT_EQ(textOf(p.values, "PanPar25"), QStringLiteral("0.5"));
    EXPECT_EQ(textOf(p.values, "PanPar26"), QStringLiteral("0.0"));
    EXPECT_EQ(textOf(p.values, "PanPar27"), QStringLiteral("65535"));
    EXPECT_EQ(textOf(p.values, "PanPar28"), QStringLiteral("6553.5"));
    EXPECT_EQ(textOf(p.values, "PanPar29"), QStringLiteral("1.0"));
    EXPECT_EQ(textOf(p.values, "PanPar30"), QStringLiteral("4800"));
    EXPECT_EQ(textOf(p.values, "PanPar32"), QStringLiteral("32768"));
    EXPECT_EQ(textOf(p.values, "PanPar33"), QStringLiteral("1"));
    EXPECT_EQ(textOf(p.values, "PanPar34"), QStringLiteral("0"));
    EXPECT_EQ(p.values.size(), 11);
    EXPECT_EQ(p.status, (std::array<bool, 5>{true, false, true, false, true}));
    EXPECT_EQ(p.relayClock, QStringLiteral("09.03.2008   07:05:00"));
    EXPECT_EQ(p.systemClock, QStringLiteral("10.03.2008   18:45:36"));
    EXPECT_EQ(p.pickers, QDateTime(QDate(2008, 3, 9), QTime(7, 5, 0)));
}

TEST(CurrentParameters, RelayClockCarriesTheComputersYearWrittenAsTheComputersClock) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    // The relay's own year register (1999 here) is never shown; both clocks in one format.
    EXPECT_EQ(relayClockText(clockWords(9, 3, 7, 5, 0), 2026, russian),
              QStringLiteral("09.03.2026   07:05:00"));
    EXPECT_EQ(relayClockText(clockWords(9, 3, 7, 5, 0), 2026, russian),
              systemClockText(QDateTime(QDate(2026, 3, 9), QTime(7, 5, 0)), russian));
    EXPECT_EQ(relayClockText(clockWords(31, 12, 23, 59, 59), 2026, russian),
              QStringLiteral("31.12.2026   23:59:59"));
    const QLocale finnish(QLocale::Finnish, QLocale::Finland);
    EXPECT_EQ(relayClockText(clockWords(31, 12, 23, 59, 59), 2026, finnish),
              systemClockText(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)), finnish));
    // An impossible clock is shown as the numbers received; only the pickers ignore it.
    EXPECT_EQ(relayClockText(clockWords(0, 0, 25, 61, 99), 2026, russian),
              QStringLiteral("00.00.2026   25:61:99"));
    EXPECT_FALSE(relayClockValue(clockWords(0, 0, 25, 61, 99), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(1, 0, 0, 0, 0), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(1, 13, 0, 0, 0), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(31, 4, 0, 0, 0), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(1, 1, 24, 0, 0), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(1, 1, 0, 60, 0), 2026));
    EXPECT_FALSE(relayClockValue(clockWords(1, 1, 0, 0, 60), 2026));
    // 29 February is a date in the computer's leap year only.
    EXPECT_FALSE(relayClockValue(clockWords(29, 2, 0, 0, 0), 2026));
    EXPECT_EQ(relayClockValue(clockWords(29, 2, 12, 0, 1), 2028),
              QDateTime(QDate(2028, 2, 29), QTime(12, 0, 1)));
}

TEST(CurrentParameters, ComputerClockLineIsTheSystemsShortDateAndLongTime) {
    const QDateTime now(QDate(2008, 2, 12), QTime(18, 45, 36));
    EXPECT_EQ(systemClockText(now, QLocale(QLocale::Russian, QLocale::Russia)),
              QStringLiteral("12.02.2008   18:45:36"));
    // Another locale's own formats, without the time zone.
    const QLocale finnish(QLocale::Finnish, QLocale::Finland);
    const QString line = systemClockText(now, finnish);
    EXPECT_EQ(line, finnish.toString(now.date(), QLocale::ShortFormat) + QStringLiteral("   ") +
                        finnish.toString(now.time(), longTimeFormat(finnish)));
}

TEST(CurrentParameters, SetpointWordsGoToPanelsByNumber) {
    RegisterWords w{};
    for (int i = 0; i < 64; ++i) {
        w[static_cast<size_t>(i)] = static_cast<uint16_t>(1000 + i);
    }
    const QList<PanelText> panels = setpointPanelTexts(w);
    ASSERT_EQ(panels.size(), 49);
    EXPECT_EQ(panels.first(), (PanelText{"PanUst0", "1000"}));
    EXPECT_EQ(panels[12], (PanelText{"PanUst12", "1012"}));
    EXPECT_EQ(panels.last(), (PanelText{"PanUst48", "1048"}));
}

}  // namespace
}  // namespace terval
