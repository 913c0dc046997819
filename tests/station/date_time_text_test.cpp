#include "station/date_time_text.h"

#include <gtest/gtest.h>

namespace terval {
namespace {

TEST(ClockText, DateUsesSlashesInsteadOfDots) {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    EXPECT_EQ(shortDateFormat(ru), QStringLiteral("dd.MM.yyyy"));
    EXPECT_EQ(clockDateText(QDate(2026, 12, 6), ru), QStringLiteral("06/12/2026"));
    // A format without dots is shown as it is.
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(clockDateText(QDate(2026, 12, 6), us),
              QLocale(us).toString(QDate(2026, 12, 6), QLocale::ShortFormat));
}

TEST(ClockText, LongTimeWithoutTheZone) {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    EXPECT_EQ(longTimeFormat(ru), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(clockTimeText(QTime(23, 59, 1), ru), QStringLiteral("23:59:01"));
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    EXPECT_FALSE(longTimeFormat(us).contains(QLatin1Char('t')));
    EXPECT_TRUE(clockTimeText(QTime(13, 4, 5), us).startsWith(QStringLiteral("1:04:05")));
}

}  // namespace
}  // namespace terval
