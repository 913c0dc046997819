#pragma once

#include <QString>

#include "modbus/register_map.h"

namespace terval {

// The program's version as the operator reads it: in the title bar and in "Описание программы".
// The build gives it from the project's version, the one place it is written.
inline const QString kVersionText = QStringLiteral(TERVAL_VERSION);
inline const QString kStationCaption = QStringLiteral("ТЕРВАЛ. Версия ") + kVersionText;

// The relay's status bits in bit order: the captions of the status lamps, the rows of a report
// and the texts of the sign codes 0 to 4.
inline const QString kStatusBitCaptions[registers::kStatusBits] = {
    QStringLiteral("СИГНАЛЬНОЕ реле"), QStringLiteral("Реле ОТКЛЮЧЕНИЯ"),
    QStringLiteral("Фиксация альфы 1"), QStringLiteral("Фиксация альфы 2"),
    QStringLiteral("Обрыв цепи")};

}  // namespace terval
