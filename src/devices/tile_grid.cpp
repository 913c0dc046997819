#include "devices/tile_grid.h"

#include <algorithm>

namespace terval {

QPoint tileOffset(int i, int columns) {
    const int index = i - 1;
    return {kTilePitchX * (index % columns), kTilePitchY * (index / columns)};
}

QRect fitMainWindow(int n, int columns, int visibleRows, bool lastDeleted, QRect available) {
    const int shownColumns = std::min(n, columns);
    const int width = shownColumns > 3 ? 505 + 160 * (shownColumns - 3) : 505;
    int usedRows = n >= 1 ? (n + columns - 1) / columns : (lastDeleted ? 0 : 1);
    const int height = 472 + 210 * (std::min(usedRows, visibleRows) - 1);
    // Never larger than the screen's free area, nor placed off it: on a small panel PC the tile
    // area scrolls instead, and the menu and the first column stay in sight.
    const int w = std::min(std::clamp(width, kMainMinWidth, kMainMaxWidth), available.width());
    const int h = std::min(std::clamp(height, kMainMinHeight, kMainMaxHeight), available.height());
    const int left = available.left() + std::max(0, (available.width() - w) / 2);
    const int top = available.top() + std::max(0, (available.height() - h - 20) / 2);
    return {left, top, w, h};
}

std::optional<QString> gridDoesNotFit(int columns, int rows, QSize screen) {
    if (140 * columns + 10 > screen.width()) {
        return QStringLiteral("Столько столбцов не поместится на экране!");
    }
    if (170 * rows + 181 > screen.height() - 50) {
        return QStringLiteral("Столько строк не поместится на экране!");
    }
    return std::nullopt;
}

}  // namespace terval
