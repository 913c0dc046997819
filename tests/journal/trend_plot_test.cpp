// A series cut at its gaps and thinned to a chart's columns: nothing drawn across a gap, and every
// extreme of the line and of the band still there.
#include "journal/trend_plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace terval {
namespace {

constexpr qint64 kMinute = 60'000;

TEST(TrendPlotTest, ThinningKeepsEveryExtremeOfEachColumnAndNeverCrossesAGap) {
    std::mt19937 rng(20261206);
    TrendSeries series;
    series.resolution = TrendResolution::Minute;
    series.gapMs = 150'000;
    qint64 t = 1'780'000'000'000;
    for (int i = 0; i < 20'000; ++i) {
        // A silence now and then, of three minutes to a day.
        t += (rng() % 500 == 0) ? 3 * kMinute + qint64(rng() % (24 * 60)) * kMinute : kMinute;
        const double mean = 500 + double(rng() % 4000);
        series.points.push_back(
            {t, mean, mean - double(rng() % 300), mean + double(rng() % 300), 100, 3});
    }
    const auto segments = trendSegments(series);
    ASSERT_GT(segments.size(), 10u);
    size_t total = 0;
    for (const auto& segment : segments) {
        for (size_t i = 1; i < segment.size(); ++i) {
            ASSERT_LE(segment[i].timeMs - segment[i - 1].timeMs, series.gapMs);
        }
        total += segment.size();
    }
    EXPECT_EQ(total, series.points.size());
    for (size_t s = 1; s < segments.size(); ++s) {
        EXPECT_GT(segments[s].front().timeMs - segments[s - 1].back().timeMs, series.gapMs);
    }

    const qint64 column = 7 * kMinute;
    for (const auto& segment : segments) {
        const std::vector<TrendPoint> thin = thinTrendSegment(segment, column);
        ASSERT_FALSE(thin.empty());
        EXPECT_EQ(thin.front().timeMs >= segment.front().timeMs, true);
        EXPECT_LE(thin.back().timeMs, segment.back().timeMs);
        struct Column {
            std::vector<TrendPoint> in, out;
        };
        std::map<qint64, Column> columns;
        for (const TrendPoint& p : segment) {
            columns[p.timeMs / column].in.push_back(p);
        }
        for (size_t i = 0; i < thin.size(); ++i) {
            if (i > 0) {
                ASSERT_LT(thin[i - 1].timeMs, thin[i].timeMs);
            }
            columns[thin[i].timeMs / column].out.push_back(thin[i]);
        }
        for (const auto& [index, c] : columns) {
            ASSERT_FALSE(c.out.empty()) << index;
            ASSERT_LE(c.out.size(), 2u);
            if (c.in.size() <= 2) {
                EXPECT_EQ(c.out, c.in);
                continue;
            }
            const auto byMean = [](const TrendPoint& a, const TrendPoint& b) {
                return a.mean < b.mean;
            };
            const auto [lo, hi] = std::minmax_element(c.in.begin(), c.in.end(), byMean);
            const auto [outLo, outHi] = std::minmax_element(c.out.begin(), c.out.end(), byMean);
            EXPECT_EQ(outLo->mean, lo->mean);
            EXPECT_EQ(outHi->mean, hi->mean);
            double least = 1e9, greatest = -1e9;
            for (const TrendPoint& p : c.in) {
                least = std::min(least, p.min);
                greatest = std::max(greatest, p.max);
            }
            for (const TrendPoint& p : c.out) {
                EXPECT_EQ(p.min, least);
                EXPECT_EQ(p.max, greatest);
            }
        }
    }
}

}  // namespace
}  // namespace terval
