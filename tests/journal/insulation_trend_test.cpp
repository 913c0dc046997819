// The insulation trend in a real journal.db, over simulated weeks on a clock the test moves: every
// minute and hour exactly what its samples give however the flushes cut them, raw samples gone
// after their days while the aggregates stay, the silences of relays and station shown as gaps at
// every resolution, the resolution a span reads, alarm levels by date, and a full disk reported
// once.
#include "journal/insulation_trend.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "journal/journal.h"
#include "support/fakes.h"
#include "support/trend_fixture.h"

namespace terval {

namespace {

using testing::bucketsOf;
using testing::kDay;
using testing::kHour;
using testing::kMinute;
using testing::kSecond;

const QDateTime kStart(QDate(2025, 1, 20), QTime(0, 0));

qint64 floorTo(qint64 t, qint64 unit) {
    return t / unit * unit;
}

class InsulationTrendTest : public testing::TrendJournalTest {
  protected:
    InsulationTrendTest() : TrendJournalTest(kStart) {}
};

// Two relays answer every 20 to 55 s for seven weeks, with silences of minutes to hours and
// days when the station did not run; the alarm levels are read now and then and sometimes
// changed. The samples go in at random flushes (cutting minutes in two), the journal is trimmed
// every simulated day and opened again midway. Afterwards every series is compared with what the
// samples added give. A failing run prints its seed; TERVAL_TREND_SEED=<seed> replays it.
TEST_F(InsulationTrendTest, AggregatesGapsAndLevelsAreWhatTheSamplesGiveOverWeeksOfTrims) {
    uint32_t seed = std::random_device{}();
    if (const char* replay = std::getenv("TERVAL_TREND_SEED")) {
        seed = static_cast<uint32_t>(std::strtoul(replay, nullptr, 10));
    }
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_TREND_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto uniform = [&rng](qint64 lo, qint64 hi) {
        return std::uniform_int_distribution<qint64>(lo, hi)(rng);
    };

    JournalOptions options;
    options.keepMonths = 1;
    make(options);
    ASSERT_TRUE(journal->isWriting()) << journal->problem().toStdString();

    const std::vector<uint16_t> relays{3, 200};
    const qint64 start = kStart.toMSecsSinceEpoch();
    const qint64 end = start + 49 * kDay;
    // Days the station did not run.
    std::vector<std::pair<qint64, qint64>> stationOff;
    for (int i = 0; i < 2; ++i) {
        const qint64 from = start + uniform(3, 45) * kDay + uniform(0, kDay);
        stationOff.push_back({from, from + uniform(kDay, 3 * kDay)});
    }
    const auto stationRuns = [&](qint64 t) {
        return std::none_of(stationOff.begin(), stationOff.end(),
                            [t](const auto& off) { return t >= off.first && t < off.second; });
    };

    std::map<uint16_t, std::vector<InsulationSample>> added;
    std::map<uint16_t, std::vector<AlarmLevels>> levelChanges;  // as stored: changed, or a new day
    std::map<uint16_t, qint64> next;
    std::map<uint16_t, int> value;
    for (uint16_t a : relays) {
        next[a] = start + uniform(0, 30 * kSecond);
        value[a] = static_cast<int>(uniform(200, 5000));
    }
    // Which flush wrote into each minute, to see that some minutes were written by two.
    std::map<std::pair<uint16_t, qint64>, std::set<int>> flushesOfMinute;
    int flushes = 0;
    qint64 untilFlush = uniform(1, 400);
    qint64 nextDay = start + kDay;
    bool reopened = false;
    qint64 lastAdded = 0;
    qint64 newestWritten = 0;

    for (;;) {
        const auto due = std::min_element(next.begin(), next.end(),
                                          [](auto& x, auto& y) { return x.second < y.second; });
        const uint16_t address = due->first;
        const qint64 t = due->second;
        if (t >= end) {
            break;
        }
        while (t >= nextDay) {
            clock.time = QDateTime::fromMSecsSinceEpoch(nextDay);
            ASSERT_TRUE(trend->trim());
            // Samples older than fourteen days before the newest written are gone, and minutes
            // stand in for a read of them; the samples after are all there.
            const qint64 rawCutoff =
                QDateTime::fromMSecsSinceEpoch(std::min(nextDay, newestWritten))
                    .addDays(-14)
                    .toMSecsSinceEpoch();
            for (uint16_t a : relays) {
                const TrendSeries before =
                    trend->read(a, rawCutoff - 6 * kHour, rawCutoff, TrendResolution::Raw);
                ASSERT_EQ(before.error, QString());
                if (!before.points.empty()) {
                    ASSERT_EQ(before.resolution, TrendResolution::Minute) << "day " << nextDay;
                }
                const TrendSeries after =
                    trend->read(a, rawCutoff, rawCutoff + 6 * kHour, TrendResolution::Raw);
                ASSERT_EQ(after.resolution, TrendResolution::Raw);
                const auto& all = added[a];
                ASSERT_EQ(static_cast<qint64>(after.points.size()),
                          std::count_if(all.begin(), all.end(),
                                        [&](const InsulationSample& s) {
                                            return s.timeMs >= rawCutoff &&
                                                   s.timeMs < rawCutoff + 6 * kHour;
                                        }))
                    << "day " << nextDay;
            }
            nextDay += kDay;
        }
        // The journal opened again without a flush: closing writes what was waiting. Once
        // something waits: a flush or a stopped station may have left nothing at the twentieth day.
        if (!reopened && t > start + 20 * kDay && trend->pending() > 0) {
            reopened = true;
            ASSERT_TRUE(journal->open());
            EXPECT_EQ(trend->pending(), 0u);
            newestWritten = lastAdded;
            ++flushes;
            untilFlush = uniform(1, 400);
        }
        clock.time = QDateTime::fromMSecsSinceEpoch(t);

        if (stationRuns(t)) {
            // Extremes now and then: the whole range of the register is kept.
            int insulation = value[address] =
                std::clamp<int>(value[address] + static_cast<int>(uniform(-40, 40)), 0, 65535);
            const int pick = static_cast<int>(uniform(0, 999));
            if (pick == 0) {
                insulation = 0;
            } else if (pick == 1) {
                insulation = 65535;
            }
            const InsulationSample s{address, t, static_cast<uint16_t>(insulation),
                                     static_cast<uint16_t>(uniform(0, 65535))};
            trend->add(s);
            added[address].push_back(s);
            lastAdded = t;
            flushesOfMinute[{address, floorTo(t, kMinute)}].insert(flushes);
            if (--untilFlush == 0) {
                ASSERT_TRUE(trend->flush());
                newestWritten = lastAdded;
                ++flushes;
                untilFlush = uniform(1, 400);
            }
            if (uniform(0, 1499) == 0) {
                const AlarmLevels read{t, static_cast<uint16_t>(uniform(0, 1) ? 500 : 400),
                                       static_cast<uint16_t>(uniform(0, 1) ? 250 : 200)};
                ASSERT_TRUE(trend->storeLevels(address, read));
                auto& changes = levelChanges[address];
                // A change is stored, and the same levels once more on a new day.
                if (changes.empty() || changes.back().signalKohm != read.signalKohm ||
                    changes.back().tripKohm != read.tripKohm ||
                    QDateTime::fromMSecsSinceEpoch(changes.back().readAtMs).date() !=
                        QDateTime::fromMSecsSinceEpoch(read.readAtMs).date()) {
                    changes.push_back(read);
                }
            }
        }
        // Mostly the next poll round; now and then a silence of ten minutes to five hours.
        next[address] = t + (uniform(0, 2999) == 0 ? uniform(10 * kMinute, 5 * kHour)
                                                   : uniform(20 * kSecond, 55 * kSecond));
    }
    ASSERT_TRUE(trend->flush());
    clock.time = QDateTime::fromMSecsSinceEpoch(end);
    ASSERT_TRUE(trend->trim());
    EXPECT_EQ(trend->lostSamples(), 0);
    EXPECT_TRUE(messages.messages.isEmpty()) << messages.texts().join('\n').toStdString();
    const int split = static_cast<int>(std::count_if(flushesOfMinute.begin(), flushesOfMinute.end(),
                                                     [](auto& m) { return m.second.size() > 1; }));
    ASSERT_GT(split, 10) << "too few minutes were written by two flushes to tell anything";

    qint64 newest = 0;
    for (uint16_t a : relays) {
        newest = std::max(newest, added[a].back().timeMs);
    }
    const qint64 rawCutoff =
        QDateTime::fromMSecsSinceEpoch(newest).addDays(-14).toMSecsSinceEpoch();
    const qint64 ageCutoff =
        QDateTime::fromMSecsSinceEpoch(newest).addMonths(-1).toMSecsSinceEpoch();
    EXPECT_EQ(trend->addresses(), relays);

    for (uint16_t a : relays) {
        SCOPED_TRACE(::testing::Message() << "relay " << a);
        const std::vector<InsulationSample>& all = added[a];

        // Raw: exactly the samples of the last fourteen days, none before.
        std::vector<TrendPoint> expectedRaw;
        for (const InsulationSample& s : all) {
            if (s.timeMs >= rawCutoff) {
                const double v = s.insulationKohm;
                expectedRaw.push_back({s.timeMs, v, v, v, static_cast<double>(s.controlKohm), 1});
            }
        }
        const TrendSeries raw = trend->read(a, rawCutoff, end + 1, TrendResolution::Raw);
        ASSERT_EQ(raw.error, QString());
        ASSERT_EQ(raw.resolution, TrendResolution::Raw);
        ASSERT_EQ(raw.points, expectedRaw);
        const TrendSeries older = trend->read(a, start, rawCutoff, TrendResolution::Raw);
        EXPECT_EQ(older.resolution, TrendResolution::Minute);
        ASSERT_FALSE(older.points.empty());

        // Raw gaps: none where the relay answered round after round, one at every silence.
        EXPECT_GE(raw.gapMs, kMinute);
        for (size_t i = 1; i < raw.points.size(); ++i) {
            const qint64 spacing = raw.points[i].timeMs - raw.points[i - 1].timeMs;
            if (spacing <= 55 * kSecond) {
                ASSERT_FALSE(gapBefore(raw, i)) << "at " << raw.points[i].timeMs;
            } else {
                ASSERT_GE(spacing, 10 * kMinute);
                ASSERT_TRUE(gapBefore(raw, i)) << "at " << raw.points[i].timeMs;
            }
        }

        // Minutes and hours: every one kept is exactly its samples, those past the age are gone.
        for (const auto& [resolution, unit, gap] :
             {std::tuple{TrendResolution::Minute, kMinute, 150 * kSecond},
              std::tuple{TrendResolution::Hour, kHour, 150 * kMinute}}) {
            SCOPED_TRACE(::testing::Message() << "bucket of " << unit << " ms");
            const std::map<qint64, TrendPoint> buckets = bucketsOf(all, unit);
            std::vector<TrendPoint> expected;
            for (const auto& [bucketStart, point] : buckets) {
                if (bucketStart >= floorTo(ageCutoff, unit)) {
                    expected.push_back(point);
                }
            }
            ASSERT_LT(expected.size(), buckets.size()) << "nothing was old enough to be trimmed";
            const TrendSeries series = trend->read(a, start, end + 1, resolution);
            ASSERT_EQ(series.error, QString());
            ASSERT_EQ(series.resolution, resolution);
            ASSERT_EQ(series.points.size(), expected.size());
            for (size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(series.points[i], expected[i]) << "point " << i;
            }
            // A gap wherever two or more whole minutes (hours) passed without a sample.
            EXPECT_EQ(series.gapMs, gap);
            int gaps = 0;
            for (size_t i = 1; i < series.points.size(); ++i) {
                const qint64 empty =
                    (series.points[i].timeMs - series.points[i - 1].timeMs) / unit - 1;
                ASSERT_EQ(gapBefore(series, i), empty >= 2) << "at " << series.points[i].timeMs;
                gaps += gapBefore(series, i);
            }
            // The days the station was off are gaps at least.
            EXPECT_GE(gaps, 1);
        }

        // The first kept to the minute (its samples are gone), the last to the millisecond.
        const auto span = trend->span(a);
        ASSERT_TRUE(span);
        EXPECT_EQ(span->first,
                  bucketsOf(all, kMinute).lower_bound(floorTo(ageCutoff, kMinute))->first);
        EXPECT_EQ(span->second, all.back().timeMs);

        // Levels: the last change at or before any moment since the age began.
        const std::vector<AlarmLevels>& changes = levelChanges[a];
        ASSERT_FALSE(changes.empty());
        for (int i = 0; i < 500; ++i) {
            const qint64 at = uniform(ageCutoff, end);
            std::optional<AlarmLevels> expected;
            for (const AlarmLevels& c : changes) {
                if (c.readAtMs <= at) {
                    expected = c;
                }
            }
            ASSERT_EQ(trend->levels(a, at), expected) << "at " << at;
        }
        EXPECT_EQ(trend->levels(a), changes.back());
    }
    EXPECT_FALSE(trend->span(7));
    EXPECT_FALSE(trend->levels(7));
}

TEST_F(InsulationTrendTest, EachSpanReadsItsResolution) {
    using R = TrendResolution;
    EXPECT_EQ(InsulationTrend::resolutionFor(0), R::Raw);
    EXPECT_EQ(InsulationTrend::resolutionFor(6 * kHour), R::Raw);
    EXPECT_EQ(InsulationTrend::resolutionFor(6 * kHour + 1), R::Minute);
    EXPECT_EQ(InsulationTrend::resolutionFor(7 * kDay), R::Minute);
    EXPECT_EQ(InsulationTrend::resolutionFor(7 * kDay + 1), R::Hour);
    EXPECT_EQ(InsulationTrend::resolutionFor(std::numeric_limits<qint64>::max()), R::Hour);

    make();
    const qint64 t0 = kStart.toMSecsSinceEpoch();
    // Two days of a sample every 30 s, a constant 700 kΩ.
    for (qint64 t = t0; t < t0 + 2 * kDay; t += 30 * kSecond) {
        trend->add({9, t, 700, 40});
    }
    ASSERT_TRUE(trend->flush());
    const auto read = [this](qint64 from, qint64 to) { return trend->read(9, from, to); };
    EXPECT_EQ(read(t0, t0 + kHour).resolution, R::Raw);
    EXPECT_EQ(read(t0, t0 + kHour).points.size(), 120u);
    EXPECT_EQ(read(t0, t0 + kDay).resolution, R::Minute);
    EXPECT_EQ(read(t0, t0 + kDay).points.size(), 1440u);
    const TrendSeries month = read(t0 - 28 * kDay, t0 + 2 * kDay);
    EXPECT_EQ(month.resolution, R::Hour);
    ASSERT_EQ(month.points.size(), 48u);
    EXPECT_EQ(month.points[0], (TrendPoint{t0, 700, 700, 700, 40, 120}));
    // The widest span there is, and one backwards, ask for nothing impossible.
    EXPECT_EQ(trend->read(9, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max())
                  .points.size(),
              48u);
    EXPECT_TRUE(read(t0 + kDay, t0).points.empty());
    // Addresses no relay can have are refused, and counted.
    trend->add({0, t0, 1, 1});
    trend->add({248, t0, 1, 1});
    EXPECT_EQ(trend->pending(), 0u);
    EXPECT_EQ(trend->lostSamples(), 2);
    // A sample at the millisecond of one kept already is not counted twice in its minute.
    trend->add({9, t0, 100, 40});
    EXPECT_TRUE(trend->flush());
    EXPECT_EQ(trend->lostSamples(), 3);
    EXPECT_EQ(read(t0, t0 + kDay).points[0], (TrendPoint{t0, 700, 700, 700, 40, 2}));
    EXPECT_TRUE(messages.messages.isEmpty()) << messages.texts().join('\n').toStdString();
}

// A small file system of the test's own that can be filled to the last byte.
class InsulationTrendOnItsOwnDisk : public InsulationTrendTest {
  protected:
    void SetUp() override {
        disk = std::make_unique<testing::SmallDisk>(folder.dir(), 512);
        if (!disk->unavailable().isEmpty()) {
            GTEST_SKIP() << qPrintable(disk->unavailable());
        }
    }
    void TearDown() override {
        InsulationTrendTest::TearDown();
        disk.reset();
    }
    std::unique_ptr<testing::SmallDisk> disk;
};

TEST_F(InsulationTrendOnItsOwnDisk, AFullDiskDuringAFlushIsReportedOnceAndTheSamplesWait) {
    make();
    ASSERT_TRUE(journal->isWriting());
    const qint64 t0 = kStart.toMSecsSinceEpoch();
    qint64 t = t0;
    const auto round = [&] {
        for (uint16_t a = 1; a <= 32; ++a) {
            trend->add({a, t, static_cast<uint16_t>(1000 + a), 50});
        }
        t += 6400;
    };
    round();
    ASSERT_TRUE(trend->flush());
    ASSERT_TRUE(trend->storeLevels(1, {t0, 500, 250}));
    disk->fill();
    int flushed = 1;
    bool stopped = false;
    for (int i = 0; i < 100000 && !stopped; ++i) {
        round();
        stopped = !trend->flush();
        flushed += stopped ? 0 : 1;
    }
    ASSERT_TRUE(stopped) << "the disk never ran out";
    EXPECT_FALSE(journal->isWriting());
    EXPECT_TRUE(journal->isHolding());
    EXPECT_EQ(trend->lostSamples(), 0);
    EXPECT_EQ(trend->pending(), 32u);
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(messages.messages[0].text.startsWith(
        QStringLiteral("Не удалось записать в журнал событий journal.db: на диске нет места.\n"
                       "Записи ждут в памяти")))
        << messages.messages[0].text.toStdString();

    // From then on samples wait in memory, levels and trims wait for a later reading and day,
    // and nothing more is said.
    round();
    EXPECT_EQ(trend->pending(), 64u);
    EXPECT_EQ(trend->lostSamples(), 0);
    EXPECT_FALSE(trend->flush());
    EXPECT_FALSE(trend->storeLevels(1, {t, 400, 200}));
    EXPECT_FALSE(trend->trim());
    EXPECT_EQ(messages.messages.size(), 1);
    // What was written before is there to read; with room again the samples that waited are
    // written too, and are there after a new start.
    const auto stored = [&] {
        const TrendSeries s = trend->read(32, t0, t + 1, TrendResolution::Raw);
        EXPECT_EQ(s.error, QString());
        return s.points.size();
    };
    EXPECT_EQ(stored(), static_cast<size_t>(flushed));
    ASSERT_TRUE(QFile::remove(folder.path("filler")));
    EXPECT_TRUE(journal->retry(true));
    EXPECT_TRUE(trend->flush());
    EXPECT_EQ(trend->pending(), 0u);
    EXPECT_EQ(stored(), static_cast<size_t>(flushed + 2));
    make();
    EXPECT_TRUE(journal->isWriting());
    EXPECT_EQ(stored(), static_cast<size_t>(flushed + 2));
    EXPECT_EQ(trend->levels(1), (AlarmLevels{t0, 500, 250}));
    EXPECT_EQ(messages.messages.size(), 2);

    // A journal that is not open says why to whoever reads.
    journal->close();
    EXPECT_FALSE(trend->read(1, t0, t).error.isEmpty());
}

}  // namespace
}  // namespace terval
