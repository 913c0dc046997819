#pragma once

#include <QtGlobal>
#include <vector>

#include "journal/insulation_trend.h"

namespace terval {

// The stretches of a series between its gaps, oldest first. A chart draws each as a line of its
// own, so that two points are never joined across a time the relay did not answer.
std::vector<std::vector<TrendPoint>> trendSegments(const TrendSeries& series);

// A stretch cut down to what a chart can show in columns `bucketMs` wide: of the points in a
// column that holds more than two, the one with the lowest and the one with the highest mean, in
// their time order, both carrying the least minimum and the greatest maximum of the column. The
// line drawn through them covers the same pixels as the line through every point, and the
// minimum–maximum band keeps every extreme, while a year of hours becomes two points per column.
// A column of one or two points keeps them as they are. Nothing is merged across columns, and a
// stretch never spans a gap, so gaps stay gaps.
std::vector<TrendPoint> thinTrendSegment(const std::vector<TrendPoint>& segment, qint64 bucketMs);

}  // namespace terval
