#include "station/station_settings.h"

#include <gtest/gtest.h>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::WorkFolder;

TEST(StationSettings, SavingTheSettingKeepsEverythingElseInTheFile) {
    WorkFolder folder;
    EXPECT_FALSE(loadStationSettings(folder.dir()).settings.connectAtStart);
    ASSERT_FALSE(saveStationSettings(folder.dir(), StationSettings{true}));
    EXPECT_EQ(folder.read("terval.ini"), QByteArray("[link]\nconnectAtStart=true\n"));
    EXPECT_TRUE(loadStationSettings(folder.dir()).settings.connectAtStart);

    folder.write("terval.ini",
                 "; kept by hand\n[mqtt]\nhost=10.0.0.9\n\n[link]\nother=1\n"
                 "connectAtStart = true\n[more]\nx=2\n");
    ASSERT_FALSE(saveStationSettings(folder.dir(), StationSettings{false}));
    EXPECT_EQ(folder.read("terval.ini"),
              QByteArray("; kept by hand\n[mqtt]\nhost=10.0.0.9\n\n[link]\nother=1\n"
                         "connectAtStart=false\n[more]\nx=2\n"));
    EXPECT_FALSE(loadStationSettings(folder.dir()).settings.connectAtStart);

    // A section without the key gets it at its end.
    folder.write("terval.ini", "[link]\nother=1\n[more]\nx=2\n");
    ASSERT_FALSE(saveStationSettings(folder.dir(), StationSettings{true}));
    EXPECT_EQ(folder.read("terval.ini"),
              QByteArray("[link]\nother=1\nconnectAtStart=true\n[more]\nx=2\n"));
}

TEST(StationSettings, JournalAgeIsTakenOnlyWhenItIsAPlausibleNumberOfMonths) {
    WorkFolder folder;
    EXPECT_EQ(loadStationSettings(folder.dir()).settings.journalKeepMonths, 60);
    const struct {
        const char* text;
        int months;
        bool error;
    } cases[] = {
        {"[journal]\nkeepMonths=24\n", 24, false},  {"[journal]\nkeepMonths=0\n", 0, false},
        {"[journal]\nkeepMonths=1200\n", 1200, false},
        {"[journal]\nkeepMonths=-1\n", 60, true},  {"[journal]\nkeepMonths=1201\n", 60, true},
        {"[journal]\nkeepMonths=пять\n", 60, true}, {"[journal]\nkeepMonths=\n", 60, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        folder.write("terval.ini", c.text);
        const SettingsLoad load = loadStationSettings(folder.dir());
        EXPECT_EQ(load.settings.journalKeepMonths, c.months);
        EXPECT_EQ(load.error.has_value(), c.error);
        // Saving the link setting leaves the journal's alone.
        ASSERT_FALSE(saveStationSettings(folder.dir(), load.settings));
        EXPECT_TRUE(folder.read("terval.ini").startsWith(c.text));
    }
}

}  // namespace
}  // namespace terval
