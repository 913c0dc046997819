#pragma once

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "journal/insulation_trend.h"

namespace terval {

// How fast a relay's insulation resistance is changing, and when it would reach the signal level
// if it went on so: a forecast, never a measurement.
struct TrendForecast {
    double slopeKohmPerDay = 0;  // negative when falling
    int hours = 0;               // hourly means the fit stands on
    qint64 fromMs = 0;           // the week the fit covers
    qint64 toMs = 0;
    double nowKohm = 0;  // the fitted line at `nowMs`
    // The level the forecast was made against; none when the relay's levels were never read.
    std::optional<double> signalKohm;
    // When the fitted line reaches the signal level, if it is falling and does so within 30 days
    // of `nowMs`.
    std::optional<qint64> signalReachedAtMs;
    // The fitted line is already at or below the signal level at `nowMs`: there is no date to
    // forecast, and the window says so instead.
    bool atOrBelowSignal = false;
};

// A robust fit (the median of the pairwise slopes, with the median intercept) over the hourly
// means of the week before `nowMs`: a single sudden drop or a few wild readings do not swing it.
// Nothing when the week holds too few hours to say anything (less than a day's worth, or spread
// over less than a day).
std::optional<TrendForecast> forecastInsulation(const std::vector<TrendPoint>& hourly,
                                                qint64 nowMs,
                                                std::optional<double> signalKohm);

// "−12,5 кОм/сут", "уровень СИГНАЛ будет достигнут ≈ 12.01.2027 (прогноз)".
QString slopeText(double kohmPerDay);
QString forecastText(const TrendForecast& forecast);

}  // namespace terval
