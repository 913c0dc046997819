#pragma once

#include <gtest/gtest.h>

#include <QDateTime>
#include <QString>
#include <map>
#include <memory>
#include <ostream>
#include <vector>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "support/fakes.h"

namespace terval {

// Points print as their numbers in a failed assertion.
void PrintTo(const TrendPoint& p, std::ostream* os);

namespace testing {

inline constexpr qint64 kSecond = 1000;
inline constexpr qint64 kMinute = kMinuteMs;
inline constexpr qint64 kHour = kHourMs;
inline constexpr qint64 kDay = kDayMs;

// A journal.db of the test's own with the insulation trend over it, on a clock the test moves.
class TrendJournalTest : public ::testing::Test {
  protected:
    explicit TrendJournalTest(const QDateTime& now) : clock(now) {}
    void TearDown() override;
    // The journal made anew over the folder, and the trend before it opens, as the station makes
    // them, so that opening trims the trend too. Whether the journal opened.
    bool make(JournalOptions options = {}, TrendOptions trendOptions = {});

    WorkFolder folder;
    FixedClock clock;
    RecordingMessageSink messages;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<InsulationTrend> trend;
};

// What the samples give for each minute or hour (`unit`), computed here from the samples
// themselves: the start of each unit that has any, and its minimum, mean and maximum.
std::map<qint64, TrendPoint> bucketsOf(const std::vector<InsulationSample>& samples, qint64 unit);
// The samples in [from, from + length) as one point stamped `from`; a count of 0 when none.
TrendPoint aggregateOf(const std::vector<InsulationSample>& samples, qint64 from, qint64 length);
// A resistance as the window writes it: Russian decimal comma, no digit groups.
QString kohmText(double kohm, int decimals);

}  // namespace testing
}  // namespace terval
