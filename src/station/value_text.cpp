#include "station/value_text.h"

#include <algorithm>
#include <limits>

namespace terval {
namespace {

// A decimal integer as the conversion takes it: an optional sign and at least one digit, within
// the signed 32-bit range. Only the low 16 bits are kept.
std::optional<uint16_t> integerLow16(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) {
        negative = text[0] == QLatin1Char('-');
        i = 1;
    }
    if (i >= text.size()) {
        return std::nullopt;
    }
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + (c.unicode() - u'0');
        if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) {
            return std::nullopt;
        }
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
}

}  // namespace

QString ValueToText(uint16_t value, uint16_t decimals) {
    const QString s = QString::number(value);
    const qsizetype len = s.size();
    if (decimals == 0) {
        return s;
    }
    if (len > decimals) {
        return s.left(len - decimals) + QLatin1Char('.') + s.right(decimals);
    }
    // The padding comes from a five-zero text, so no more than five zeros are ever put in.
    const qsizetype zeros = std::min<qsizetype>(decimals - len, 5);
    return QStringLiteral("0.") + QString(zeros, QLatin1Char('0')) + s;
}

std::optional<uint16_t> TextToValue(const QString& text) {
    const qsizetype point = text.lastIndexOf(QLatin1Char('.'));
    if (point < 0) {
        if (text.isEmpty()) {
            return uint16_t{0};
        }
        return integerLow16(text);
    }
    const std::optional<uint16_t> whole = integerLow16(QStringView(text).left(point));
    if (!whole) {
        return std::nullopt;
    }
    const QStringView after = QStringView(text).mid(point + 1);
    uint16_t fraction = 0;
    if (!after.isEmpty()) {
        const std::optional<uint16_t> f = integerLow16(after);
        if (!f) {
            return std::nullopt;
        }
        fraction = *f;
    }
    uint16_t scale = 1;
    for (qsizetype k = 0; k < after.size(); ++k) {
        scale = static_cast<uint16_t>(scale * 10u);
    }
    return static_cast<uint16_t>(uint32_t{*whole} * scale + fraction);
}

}  // namespace terval
