#include "journal/trend_plot.h"

#include <algorithm>
#include <cstddef>

namespace terval {

std::vector<std::vector<TrendPoint>> trendSegments(const TrendSeries& series) {
    std::vector<std::vector<TrendPoint>> segments;
    for (size_t i = 0; i < series.points.size(); ++i) {
        if (segments.empty() || gapBefore(series, i)) {
            segments.emplace_back();
        }
        segments.back().push_back(series.points[i]);
    }
    return segments;
}

namespace {

// Floor division, so that a column holds the same span on both sides of 1970.
qint64 columnOf(qint64 timeMs, qint64 bucketMs) {
    const qint64 q = timeMs / bucketMs;
    return (timeMs % bucketMs < 0) ? q - 1 : q;
}

}  // namespace

std::vector<TrendPoint> thinTrendSegment(const std::vector<TrendPoint>& segment, qint64 bucketMs) {
    if (bucketMs <= 0 || segment.size() <= 2) {
        return segment;
    }
    std::vector<TrendPoint> thinned;
    size_t first = 0;
    while (first < segment.size()) {
        const qint64 column = columnOf(segment[first].timeMs, bucketMs);
        size_t end = first + 1;
        while (end < segment.size() && columnOf(segment[end].timeMs, bucketMs) == column) {
            ++end;
        }
        if (end - first <= 2) {
            // Nothing to gain: the points stay as they are, each with its own extremes.
            thinned.insert(thinned.end(), segment.begin() + static_cast<std::ptrdiff_t>(first),
                           segment.begin() + static_cast<std::ptrdiff_t>(end));
            first = end;
            continue;
        }
        size_t low = first;
        size_t high = first;
        double least = segment[first].min;
        double greatest = segment[first].max;
        for (size_t i = first + 1; i < end; ++i) {
            if (segment[i].mean < segment[low].mean) {
                low = i;
            }
            if (segment[i].mean > segment[high].mean) {
                high = i;
            }
            least = std::min(least, segment[i].min);
            greatest = std::max(greatest, segment[i].max);
        }
        const auto take = [&](size_t i) {
            TrendPoint p = segment[i];
            p.min = least;
            p.max = greatest;
            thinned.push_back(p);
        };
        take(std::min(low, high));
        if (low != high) {
            take(std::max(low, high));
        }
        first = end;
    }
    return thinned;
}

}  // namespace terval
