// What the insulation trend costs a station of 32 relays, each answering once every 12.8 s (polled
// in turn, two requests each over two of the poll's 100 ms ticks):
// - one flush of a round of samples, on a journal holding two weeks of samples and a year of
//   aggregates (the median and the 99th percentile of single flushes, each its own transaction);
// - reading a year of hourly series of all 32 relays, as a chart of a year asks;
// - how much journal.db grows per relay and day, from the file's size after a checkpoint, before
//   and after simulated days (in total while samples are kept, and of the aggregates alone, which
//   is what stays once the samples are past their days).
//   cmake --build build --target terval_trend_bench && build/bench/terval_trend_bench
// The history is written once per run, into a temporary folder; it takes a while.
#include <benchmark/benchmark.h>

#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "station/clock.h"
#include "station/message_sink.h"

namespace {

using namespace terval;

constexpr int kRelays = 32;
constexpr qint64 kIntervalMs = 12800;  // one relay's turn comes again
constexpr qint64 kSecondMs = 1000;
constexpr qint64 kDayMs = 24 * 3600 * kSecondMs;

class PrintingSink final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "journal: %s\n", qPrintable(text));
    }
};

// A clock the history is written on: the journal trims by it.
class SetClock final : public Clock {
  public:
    QDateTime now() const override { return QDateTime::fromMSecsSinceEpoch(ms); }
    qint64 ms = 0;
};

// Insulation that wanders slowly around a relay's own level, as a plant's does.
class Readings {
  public:
    Readings() : rng_(7) {
        for (int r = 0; r < kRelays; ++r) {
            level_[r] = 500 + 100 * r;
        }
    }
    InsulationSample next(int relay, qint64 timeMs) {
        double& v = level_[relay];
        v = std::clamp(v + noise_(rng_), 50.0, 10000.0);
        return {static_cast<uint16_t>(relay + 1), timeMs, static_cast<uint16_t>(v),
                static_cast<uint16_t>(40 + relay)};
    }

  private:
    std::mt19937 rng_;
    std::normal_distribution<double> noise_{0.0, 3.0};
    double level_[kRelays] = {};
};

// Samples from `fromMs` to `toMs`, one every `intervalMs` per relay, the relays in turn, written
// `perFlush` at a time (50: what the station writes every 20 s at the pace of a full bus).
void writeHistory(Journal& journal, InsulationTrend& trend, SetClock& clock, Readings& readings,
                  qint64 fromMs, qint64 toMs, qint64 intervalMs, size_t perFlush) {
    const qint64 step = intervalMs / kRelays;
    int relay = 0;
    int flushes = 0;
    for (qint64 t = fromMs; t < toMs; t += step) {
        trend.add(readings.next(relay, t));
        relay = (relay + 1) % kRelays;
        if (trend.pending() == perFlush) {
            clock.ms = t;
            trend.flush();
            // Days written without a pause leave the journal's thread none to copy the log in.
            if (++flushes % std::max<size_t>(1, 50'000 / perFlush) == 0) {
                journal.checkpoint();
            }
        }
    }
    clock.ms = toMs;
    trend.flush();
    journal.checkpoint();
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Two weeks of samples at the station's pace after a year at one sample a relay every five
// minutes: every hour of the year is there to read, and the samples are as many as a station
// keeps.
struct YearOfTrend {
    YearOfTrend() : journal(QDir(folder.path()), clock, sink), trend(journal) {
        now = QDateTime::currentMSecsSinceEpoch() / 1000 * 1000;
        clock.ms = now - 365 * kDayMs;
        journal.open();
        const auto began = std::chrono::steady_clock::now();
        writeHistory(journal, trend, clock, readings, now - 365 * kDayMs, now - 14 * kDayMs,
                     5 * 60 * kSecondMs, 5000);
        trend.trim();
        std::fprintf(stderr, "a year at a sample every 5 min: %.1f s\n", seconds(began));
        const auto recent = std::chrono::steady_clock::now();
        writeHistory(journal, trend, clock, readings, now - 14 * kDayMs, now, kIntervalMs, 5000);
        std::fprintf(stderr, "two weeks at a sample every 12.8 s: %.1f s\n", seconds(recent));
        if (!journal.isWriting()) {
            std::fprintf(stderr, "the journal stopped writing\n");
        }
    }

    QTemporaryDir folder;
    SetClock clock;
    PrintingSink sink;
    Journal journal;
    InsulationTrend trend;
    Readings readings;
    qint64 now = 0;
};

YearOfTrend& year() {
    static YearOfTrend y;
    return y;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[i];
}

// One round of the bus, 32 samples, written as one flush.
void BM_FlushARoundOf32Relays(benchmark::State& state) {
    YearOfTrend& y = year();
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(state.max_iterations));
    qint64 t = y.now;
    int flushes = 0;
    y.journal.checkpoint();
    const QString log = y.journal.filePath() + QStringLiteral("-wal");
    qint64 logBytes = 0;
    for (auto _ : state) {
        // As the journal's thread would in the ten seconds between two flushes of the station;
        // what the flushes since have written to the log first.
        if (++flushes % 100 == 0) {
            logBytes += QFileInfo(log).size();
            y.journal.checkpoint();
        }
        for (int r = 0; r < kRelays; ++r) {
            y.trend.add(y.readings.next(r, t + r * kIntervalMs / kRelays));
        }
        t += kIntervalMs;
        y.clock.ms = t;
        const auto began = std::chrono::steady_clock::now();
        const bool written = y.trend.flush();
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began)
                .count());
        if (!written || !y.journal.isWriting()) {
            state.SkipWithError("the journal stopped writing");
            break;
        }
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["max_us"] = percentile(micros, 1.0);
    // Every flush writes the newest page of each relay's samples, minutes and hours to the log.
    state.counters["log_KB_per_flush"] =
        static_cast<double>(logBytes) / 1024.0 / std::max(1, flushes / 100 * 100);
}
BENCHMARK(BM_FlushARoundOf32Relays)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

// A chart of a year: every relay's hourly series.
void BM_ReadAYearOfHoursFor32Relays(benchmark::State& state) {
    YearOfTrend& y = year();
    size_t points = 0;
    for (auto _ : state) {
        points = 0;
        for (uint16_t a = 1; a <= kRelays; ++a) {
            const TrendSeries s = y.trend.read(a, y.now - 365 * kDayMs, y.now);
            if (s.resolution != TrendResolution::Hour || !s.error.isEmpty()) {
                state.SkipWithError("the year was not read in hours");
                return;
            }
            points += s.points.size();
        }
    }
    state.counters["points"] = static_cast<double>(points);
}
BENCHMARK(BM_ReadAYearOfHoursFor32Relays)->Unit(benchmark::kMillisecond);

// The longest span a chart reads in samples: six hours of every relay.
void BM_ReadSixHoursOfSamplesFor32Relays(benchmark::State& state) {
    YearOfTrend& y = year();
    size_t points = 0;
    for (auto _ : state) {
        points = 0;
        for (uint16_t a = 1; a <= kRelays; ++a) {
            const TrendSeries s = y.trend.read(a, y.now - 6 * 3600 * kSecondMs, y.now);
            if (s.resolution != TrendResolution::Raw || s.points.empty()) {
                state.SkipWithError("no samples were read");
                return;
            }
            points += s.points.size();
        }
    }
    state.counters["points"] = static_cast<double>(points);
}
BENCHMARK(BM_ReadSixHoursOfSamplesFor32Relays)->Unit(benchmark::kMillisecond);

// The file's size once its log is copied in: the journal closed.
struct Sizes {
    qint64 file = 0;
    std::map<QString, qint64> tables;  // bytes of each table's pages
};

Sizes sizesAfterCheckpoint(Journal& journal) {
    journal.close();
    Sizes sizes;
    sizes.file = QFileInfo(journal.filePath()).size();
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-sizes"));
        db.setDatabaseName(journal.filePath());
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT name, sum(pgsize) FROM dbstat GROUP BY name"))) {
                while (q.next()) {
                    sizes.tables[q.value(0).toString()] = q.value(1).toLongLong();
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-sizes"));
    journal.open();
    return sizes;
}

// Days at the station's pace; the growth of the file between the end of the first day and the end
// of the last, per relay and day.
void BM_GrowthPerRelayAndDay(benchmark::State& state) {
    const int days = static_cast<int>(state.range(0));
    for (auto _ : state) {
        QTemporaryDir folder;
        SetClock clock;
        PrintingSink sink;
        Journal journal(QDir(folder.path()), clock, sink);
        InsulationTrend trend(journal);
        Readings readings;
        const qint64 start = QDateTime(QDate(2026, 1, 5), QTime(0, 0)).toMSecsSinceEpoch();
        clock.ms = start;
        journal.open();
        writeHistory(journal, trend, clock, readings, start, start + kDayMs, kIntervalMs, 50);
        const Sizes first = sizesAfterCheckpoint(journal);
        writeHistory(journal, trend, clock, readings, start + kDayMs, start + days * kDayMs,
                     kIntervalMs, 50);
        const Sizes last = sizesAfterCheckpoint(journal);
        const double perRelayDay = kRelays * (days - 1.0);
        const auto grew = [&](const QString& table) {
            const auto a = last.tables.find(table);
            const auto b = first.tables.find(table);
            return (a == last.tables.end() ? 0 : a->second) -
                   (b == first.tables.end() ? 0 : b->second);
        };
        const double total = static_cast<double>(last.file - first.file) / perRelayDay / 1024;
        const double samples = static_cast<double>(grew("trend_samples")) / perRelayDay / 1024;
        const double aggregates =
            static_cast<double>(grew("trend_minutes") + grew("trend_hours")) / perRelayDay / 1024;
        state.counters["file_KB_per_relay_day"] = total;
        state.counters["samples_KB"] = samples;
        state.counters["minutes_hours_KB"] = aggregates;
        state.counters["file_MB"] = static_cast<double>(last.file) / (1024.0 * 1024.0);
        std::fprintf(stderr,
                     "journal.db after %d days of 32 relays at one sample each 12.8 s: %.1f MB; "
                     "growth per relay and day %.0f KB (samples %.0f KB, minutes and hours %.1f "
                     "KB)\n",
                     days, static_cast<double>(last.file) / (1024.0 * 1024.0), total, samples,
                     aggregates);
    }
}
BENCHMARK(BM_GrowthPerRelayAndDay)->Arg(3)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
