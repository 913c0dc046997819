#pragma once

#include <QColor>
#include <QIcon>

namespace terval::trend_style {

// The colours of the trend window, shared by its controls, its chart and its picture.
inline const QColor kNavy(0x00, 0x00, 0x80);
inline const QColor kDarkRed(0xB0, 0x00, 0x00);
inline const QColor kSignalColor(0xE0, 0x78, 0x00);
inline const QColor kTripColor(0xD0, 0x00, 0x00);
inline const QColor kProtectionMarkColor(0xD0, 0x00, 0x00);
inline const QColor kLinkMarkColor(0x70, 0x70, 0x70);

// Colours that stay apart on white and from each other, none of them the orange and red of the
// alarm levels and protection events; past the table, hues spread by the golden angle over the
// same part of the circle.
QColor relayColor(int index);
// A square of `color` for the list of relays and the forecast's table.
QIcon swatch(const QColor& color);

}  // namespace terval::trend_style
