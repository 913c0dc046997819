#include "station/value_text.h"

#include <gtest/gtest.h>
#include <QLocale>

#include "param/setpoint_limits.h"

namespace terval {
namespace {

TEST(ValueToText, PutsThePointBeforeTheLastDecimals) {
    EXPECT_EQ(ValueToText(1234, 1), QStringLiteral("123.4"));
    EXPECT_EQ(ValueToText(10, 1), QStringLiteral("1.0"));
    EXPECT_EQ(ValueToText(5, 1), QStringLiteral("0.5"));
    EXPECT_EQ(ValueToText(0, 1), QStringLiteral("0.0"));
    EXPECT_EQ(ValueToText(7, 3), QStringLiteral("0.007"));
    EXPECT_EQ(ValueToText(65535, 1), QStringLiteral("6553.5"));
    EXPECT_EQ(ValueToText(42, 0), QStringLiteral("42"));
    EXPECT_EQ(ValueToText(0, 0), QStringLiteral("0"));
    EXPECT_EQ(ValueToText(65535, 5), QStringLiteral("0.65535"));
    // The padding never has more than five zeros.
    EXPECT_EQ(ValueToText(7, 10), QStringLiteral("0.000007"));
}

TEST(ValueToText, PointIsAlwaysAFullStop) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(ValueToText(1234, 1), QStringLiteral("123.4"));
    QLocale::setDefault(saved);
}

TEST(TextToValue, DigitsAfterThePointSetTheScale) {
    EXPECT_EQ(TextToValue(QStringLiteral("125")), 125);
    EXPECT_EQ(TextToValue(QStringLiteral("12.5")), 125);
    EXPECT_EQ(TextToValue(QStringLiteral("12.50")), 1250);
    EXPECT_EQ(TextToValue(QStringLiteral("12.")), 12);
    EXPECT_EQ(TextToValue(QString()), 0);
    EXPECT_EQ(TextToValue(QStringLiteral("0.05")), 5);
    EXPECT_EQ(TextToValue(QStringLiteral("007")), 7);
}

TEST(TextToValue, WrapsAtSixteenBits) {
    EXPECT_EQ(TextToValue(QStringLiteral("65535")), 65535);
    EXPECT_EQ(TextToValue(QStringLiteral("65536")), 0);
    EXPECT_EQ(TextToValue(QStringLiteral("6553.6")), 0);
    EXPECT_EQ(TextToValue(QStringLiteral("70000")), 70000 - 65536);
    EXPECT_EQ(TextToValue(QStringLiteral("-1")), 65535);
}

TEST(TextToValue, TextThatIsNotANumberIsAConversionError) {
    EXPECT_FALSE(TextToValue(QStringLiteral(".5")));
    EXPECT_FALSE(TextToValue(QStringLiteral(".")));
    EXPECT_FALSE(TextToValue(QStringLiteral("1.2.3")));
    EXPECT_FALSE(TextToValue(QStringLiteral("1a")));
    EXPECT_FALSE(TextToValue(QStringLiteral("12.x")));
    EXPECT_FALSE(TextToValue(QStringLiteral("99999999999")));
}

TEST(SetpointLimits, TableAndPanelNumbers) {
    EXPECT_EQ(setpointNumber(QStringLiteral("PanUst12")), 12);
    EXPECT_EQ(setpointNumber(QStringLiteral("PanPar33")), 33);
    EXPECT_EQ(setpointNumber(QStringLiteral("PanUst127")), 127);
    EXPECT_EQ(setpointNumber(QStringLiteral("PanUst0")), 0);
    EXPECT_FALSE(setpointNumber(QStringLiteral("PanUst")));
    EXPECT_FALSE(setpointNumber(QStringLiteral("PanUstX1")));

    EXPECT_EQ(setpointLimit(0)->Min, 1);
    EXPECT_EQ(setpointLimit(0)->Max, 246);
    for (int n : {24, 26, 28, 30, 40}) {
        EXPECT_EQ(setpointLimit(n)->Max, 10000) << n;
    }
    for (int n : {1, 2, 3, 8, 19, 22, 32, 33, 34, 41, 47}) {
        EXPECT_EQ(setpointLimit(n)->Min, 0) << n;
        EXPECT_EQ(setpointLimit(n)->Max, 65535) << n;
    }
    EXPECT_EQ(setpointLimit(127)->Max, 65535);
    EXPECT_FALSE(setpointLimit(48));
    EXPECT_FALSE(setpointLimit(-1));
    for (const SetpointLimit& e : SetpointLimits) {
        EXPECT_EQ(e.Decimals, 0);
    }
    EXPECT_EQ(setpointRegister(127), 1151);
    EXPECT_EQ(setpointRegister(32), 1056);

    // Every editable panel edits a number with limits; measurement panels are not editable.
    for (const char* name : editablePanelNames()) {
        const std::optional<int> n = setpointNumber(QString::fromLatin1(name));
        ASSERT_TRUE(n) << name;
        EXPECT_TRUE(setpointLimit(*n)) << name;
    }
    EXPECT_FALSE(isEditablePanel(QStringLiteral("PanPar27")));
    EXPECT_FALSE(isEditablePanel(QStringLiteral("PanUst4")));
    EXPECT_TRUE(isEditablePanel(QStringLiteral("PanPar34")));
}

}  // namespace
}  // namespace terval
