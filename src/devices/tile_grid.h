#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <optional>

namespace terval {

// The tile grid: every tile is a picture with three labels, 160 pixels apart along a row and 200
// pixels apart from row to row.
inline constexpr int kTilePitchX = 160;
inline constexpr int kTilePitchY = 200;

// Places of tile 1's controls; tile i is the same shifted by tileOffset(i).
inline constexpr QPoint kTilePicturePos{2, 10};
inline constexpr QPoint kTileBreakerPos{50, 55};
inline constexpr QPoint kTileGeneratorPos{50, 122};
inline constexpr QPoint kTileValuePos{10, 160};

// Offset of tile i (1-based) from tile 1 in a grid of `columns` columns.
QPoint tileOffset(int i, int columns);

// Main window size limits; every size the station sets is held within them.
inline constexpr int kMainMinWidth = 290;
inline constexpr int kMainMaxWidth = 1270;
inline constexpr int kMainMinHeight = 351;
inline constexpr int kMainMaxHeight = 800;

// Size and place of the main window (outer frame) for n relays, centred on the screen.
// `lastDeleted` is true right after the last relay has been deleted: the window then shrinks to
// its smallest height instead of keeping one empty row.
// `available` is the screen's area free of panels and task bars.
QRect fitMainWindow(int deviceCount, int columns, int visibleRows, bool lastDeleted,
                    QRect available);

// The grid dialog refuses a grid the screen cannot show; the message to show, or nothing.
std::optional<QString> gridDoesNotFit(int columns, int rows, QSize screen);

}  // namespace terval
