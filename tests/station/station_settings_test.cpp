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

}  // namespace
}  // namespace terval
