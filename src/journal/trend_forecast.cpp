#include "journal/trend_forecast.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace terval {
namespace {

constexpr qint64 kFitSpanMs = 7 * kDayMs;
constexpr double kHorizonDays = 30;
constexpr size_t kMinHours = 24;

// Reorders `values`; the middle one, or the mean of the two middle ones.
double median(std::vector<double>& values) {
    const size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half),
                     values.end());
    const double upper = values[half];
    if (values.size() % 2 == 1) {
        return upper;
    }
    // After nth_element everything before the middle is no greater than it; the largest of those
    // is the lower middle.
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half));
    return (lower + upper) / 2;
}

// A slope as the window shows it: tenths below 100 kΩ/day, whole kΩ above, where a tenth says
// nothing any more. Decided on the rounded value, so that 99.96 reads "100", not "100,0".
struct ShownSlope {
    double value;
    int decimals;
};

ShownSlope shown(double kohmPerDay) {
    const double tenths = std::round(kohmPerDay * 10) / 10;
    if (std::abs(tenths) < 100) {
        return {tenths, 1};
    }
    return {std::round(kohmPerDay), 0};
}

}  // namespace

std::optional<TrendForecast> forecastInsulation(const std::vector<TrendPoint>& hourly, qint64 nowMs,
                                                std::optional<double> signalKohm) {
    const qint64 fromMs = nowMs - kFitSpanMs;
    // Days relative to now: the intercept is then the fitted value now, and the numbers stay
    // small enough that the differences of close hours keep their precision.
    std::vector<double> days;
    std::vector<double> kohm;
    qint64 first = std::numeric_limits<qint64>::max();
    qint64 last = std::numeric_limits<qint64>::min();
    for (const TrendPoint& p : hourly) {
        if (p.timeMs < fromMs || p.timeMs >= nowMs || p.count <= 0 || !std::isfinite(p.mean)) {
            continue;
        }
        days.push_back(static_cast<double>(p.timeMs - nowMs) / kDayMs);
        kohm.push_back(p.mean);
        first = std::min(first, p.timeMs);
        last = std::max(last, p.timeMs);
    }
    // Each point stands for its whole hour, so 24 hours in a row cover a day.
    if (days.size() < kMinHours || last + kHourMs - first < kDayMs) {
        return std::nullopt;
    }

    std::vector<double> slopes;
    slopes.reserve(days.size() * (days.size() - 1) / 2);
    for (size_t i = 0; i < days.size(); ++i) {
        for (size_t j = i + 1; j < days.size(); ++j) {
            if (days[j] != days[i]) {
                slopes.push_back((kohm[j] - kohm[i]) / (days[j] - days[i]));
            }
        }
    }
    const double slope = median(slopes);
    std::vector<double> intercepts(days.size());
    for (size_t i = 0; i < days.size(); ++i) {
        intercepts[i] = kohm[i] - slope * days[i];
    }

    TrendForecast f;
    f.slopeKohmPerDay = slope;
    f.hours = static_cast<int>(days.size());
    f.fromMs = fromMs;
    f.toMs = nowMs;
    f.nowKohm = median(intercepts);
    if (signalKohm && std::isfinite(*signalKohm)) {
        f.signalKohm = signalKohm;
        if (f.nowKohm <= *signalKohm) {
            f.atOrBelowSignal = true;
        } else if (slope < 0) {
            const double daysToSignal = (*signalKohm - f.nowKohm) / slope;
            if (daysToSignal <= kHorizonDays) {
                f.signalReachedAtMs = nowMs + std::llround(daysToSignal * kDayMs);
            }
        }
    }
    return f;
}

QString slopeText(double kohmPerDay) {
    const QString unit = QStringLiteral(" кОм/сут");
    if (!std::isfinite(kohmPerDay)) {
        return QStringLiteral("—") + unit;
    }
    const ShownSlope s = shown(kohmPerDay);
    if (s.value == 0) {
        return QStringLiteral("0") + unit;
    }
    const QString number = QString::number(std::abs(s.value), 'f', s.decimals)
                               .replace(QLatin1Char('.'), QLatin1Char(','));
    // A true minus sign: a hyphen next to a number reads as a dash in Russian text.
    return (s.value < 0 ? QStringLiteral("\u2212") : QStringLiteral("+")) + number + unit;
}

QString forecastText(const TrendForecast& forecast) {
    if (forecast.atOrBelowSignal) {
        return QStringLiteral("сопротивление изоляции уже на уровне СИГНАЛ или ниже");
    }
    if (forecast.signalReachedAtMs) {
        const QDate day = QDateTime::fromMSecsSinceEpoch(*forecast.signalReachedAtMs).date();
        return QStringLiteral("уровень СИГНАЛ будет достигнут \u2248 %1 (прогноз)")
            .arg(day.toString(QStringLiteral("dd.MM.yyyy")));
    }
    // What the slope shows decides: a slope shown as "0 кОм/сут" is not called falling.
    if (shown(forecast.slopeKohmPerDay).value >= 0) {
        return QStringLiteral("сопротивление изоляции не снижается");
    }
    if (!forecast.signalKohm) {
        return QStringLiteral("уровень СИГНАЛ неизвестен: уставки защиты ещё не прочитаны");
    }
    return QStringLiteral("уровень СИГНАЛ в ближайшие 30 суток не будет достигнут (прогноз)");
}

}  // namespace terval
