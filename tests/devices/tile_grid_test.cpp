#include "devices/tile_grid.h"

#include <gtest/gtest.h>

namespace terval {
namespace {

TEST(TileGrid, TilesFollowRowsOfTheGivenColumns) {
    EXPECT_EQ(tileOffset(1, 7), QPoint(0, 0));
    EXPECT_EQ(tileOffset(7, 7), QPoint(960, 0));
    EXPECT_EQ(tileOffset(8, 7), QPoint(0, 200));  // relay 8 starts row 2 under relay 1
    EXPECT_EQ(tileOffset(9, 7), QPoint(160, 200));
    EXPECT_EQ(tileOffset(6, 5), QPoint(0, 200));  // 5 columns: relay 6 starts row 2
    EXPECT_EQ(tileOffset(32, 15), QPoint(160, 400));
}

TEST(MainWindowSize, WidthFollowsTheColumnsInUse) {
    const QRect screen(0, 0, 1280, 1024);
    for (int n : {0, 1, 2, 3}) {
        EXPECT_EQ(fitMainWindow(n, 7, 3, false, screen).width(), 505) << n;
    }
    EXPECT_EQ(fitMainWindow(10, 7, 3, false, screen).width(), 1145);
    EXPECT_EQ(fitMainWindow(8, 8, 3, false, screen).width(), 1270);  // 1305 clamped
    EXPECT_EQ(fitMainWindow(32, 15, 3, false, screen).width(), 1270);
    EXPECT_EQ(fitMainWindow(4, 3, 3, false, screen).width(), 505);
}

TEST(MainWindowSize, HeightFollowsTheRowsInUseUpToTheVisibleRows) {
    const QRect screen(0, 0, 1280, 1024);
    EXPECT_EQ(fitMainWindow(0, 7, 3, false, screen).height(), 472);  // empty table: one row
    EXPECT_EQ(fitMainWindow(7, 7, 3, false, screen).height(), 472);
    EXPECT_EQ(fitMainWindow(8, 7, 3, false, screen).height(), 682);
    EXPECT_EQ(fitMainWindow(15, 7, 3, false, screen).height(), 800);  // 892 clamped
    EXPECT_EQ(fitMainWindow(15, 7, 1, false, screen).height(), 472);
    EXPECT_EQ(fitMainWindow(32, 3, 10, false, screen).height(), 800);
    // Right after the last relay is deleted no row is in use: 262 is shown as 351.
    EXPECT_EQ(fitMainWindow(0, 7, 3, true, screen).height(), 351);
}

TEST(MainWindowSize, CentredWithTruncatingDivision) {
    EXPECT_EQ(fitMainWindow(0, 7, 3, false, QRect(0, 0, 1024, 768)),
              QRect((1024 - 505) / 2, (768 - 472 - 20) / 2, 505, 472));
    EXPECT_EQ(fitMainWindow(1, 7, 3, false, QRect(0, 0, 1025, 769)).topLeft(), QPoint(260, 138));
}

TEST(MainWindowSize, NeverBeyondTheScreensFreeArea) {
    // Panel PCs and desktops, with a task bar at the bottom and one at the left.
    const QRect areas[] = {QRect(0, 0, 1024, 768), QRect(0, 0, 1024, 728), QRect(48, 0, 976, 768),
                           QRect(0, 0, 1280, 1024), QRect(0, 0, 1280, 984)};
    for (const QRect& area : areas) {
        for (int relays : {1, 7, 12, 32}) {
            for (int columns = 1; columns <= 15; ++columns) {
                // Only what the grid dialog lets the operator choose on that screen.
                if (gridDoesNotFit(columns, 3, QSize(area.right() + 1, area.bottom() + 1))) {
                    continue;
                }
                const QRect w = fitMainWindow(relays, columns, 3, false, area);
                EXPECT_TRUE(area.contains(w)) << relays << " relays, " << columns << " columns";
            }
        }
    }
    // Seven columns of twelve relays on 1024 x 768 used to be 1145 wide at x = -60.
    EXPECT_EQ(fitMainWindow(12, 7, 3, false, QRect(0, 0, 1024, 768)),
              QRect(0, (768 - 682 - 20) / 2, 1024, 682));
}

TEST(GridDialogChecks, ScreenLimitsOfColumnsAndRows) {
    const QSize screen(1024, 768);
    EXPECT_FALSE(gridDoesNotFit(7, 3, screen));  // 990 <= 1024, 691 <= 718
    EXPECT_EQ(gridDoesNotFit(8, 3, screen).value_or(""),
              QStringLiteral("Столько столбцов не поместится на экране!"));
    EXPECT_EQ(gridDoesNotFit(7, 4, screen).value_or(""),
              QStringLiteral("Столько строк не поместится на экране!"));
    // Columns are judged first.
    EXPECT_EQ(gridDoesNotFit(8, 4, screen).value_or(""),
              QStringLiteral("Столько столбцов не поместится на экране!"));
}

}  // namespace
}  // namespace terval
