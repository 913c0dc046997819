#pragma once

#include <QString>

#include "devices/menu_mask.h"

namespace terval {

enum class SaveReport { EveryFailure, FirstFailureOnly };

// What the link, the poll machine and the parameter window change in the main window through the
// main window's own rules: the tiles, the menus, the alarm log and the saving of the device table.
// The main window's rules implement it; the controls that no rule stands between (status line,
// lamps) are reached through MainView.
class StationDisplay {
  public:
    virtual ~StationDisplay() = default;

    // Applies a menu mask; the add command stays disabled while the table is full, and "Выход"
    // is always enabled.
    virtual void EnableMenu(MenuMask mask) = 0;
    // Link closed or lost: menus as when nothing is polled.
    virtual void EnableMenuLinkDown() = 0;

    virtual void setTileState(int i, int state) = 0;
    virtual void setTileValue(int i, const QString& text) = 0;
    // Every tile back to "no answer", keeping its last value greyed.
    virtual void setAllTilesNoAnswer() = 0;

    // A new line at the top of the alarm log, red and selected.
    virtual void addAlarmLine(const QString& text) = 0;
    virtual void enableAlarmCommands() = 0;

    // Writes gen.dat. Every failure is shown, or with FirstFailureOnly only the first of a run of
    // failures, for saves nobody asked for that would otherwise repeat the same box at each event.
    virtual bool SaveDeviceTable(SaveReport report) = 0;
};

}  // namespace terval
