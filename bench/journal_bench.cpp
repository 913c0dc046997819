// What the journal costs the UI thread once it holds a million records: one record appended (the
// median and the 99th percentile of single appends, each its own transaction), opening the file
// (with its integrity check and trimming), and what a journal window would ask for: the newest
// page, a page of a text search, counts.
//   cmake --build build --target terval_journal_bench && build/bench/terval_journal_bench
// The million records are written once per run, into a temporary folder.
#include <benchmark/benchmark.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "journal/journal.h"
#include "station/clock.h"
#include "station/message_sink.h"

namespace {

using namespace terval;

constexpr int kRecords = 1'000'000;

class PrintingSink final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "journal: %s\n", qPrintable(text));
    }
};

JournalRelay relayOf(int i) {
    const int n = 1 + i % 32;
    return {n, static_cast<uint16_t>(n + 10), QStringLiteral("Генератор %1").arg(n),
            QStringLiteral("Выключатель Q%1").arg(n)};
}

// A mix like a station's: mostly link records, a protection event with its whole protocol now
// and then.
JournalEntry recordOf(int i, qint64 timeMs) {
    JournalEntry e;
    e.timeMs = timeMs;
    e.relay = relayOf(i);
    switch (i % 10) {
        case 0: {
            TripRecord record{};
            for (size_t w = 0; w < record.size(); ++w) {
                record[w] = static_cast<uint16_t>(i + w);
            }
            e.kind = JournalKind::ProtectionEvent;
            e.text =
                QStringLiteral("15.03.2024 14:29:58  : %1,Реле ОТКЛЮЧЕНИЯ").arg(e.relay->generator);
            e.details = ProtectionEventDetails{QDateTime::fromMSecsSinceEpoch(timeMs), 1,
                                               QStringLiteral("Реле ОТКЛЮЧЕНИЯ"), record};
            break;
        }
        case 1:
            e.kind = JournalKind::RelayWrite;
            e.text = QStringLiteral("Запись уставки: 12.0 кОм");
            e.details = WriteDetails{
                0x0405, QStringLiteral("Уставка сигнализации"), 150, 120, WriteOutcome::Echoed, 0};
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            e.kind = JournalKind::RelaySilent;
            e.text = QStringLiteral("%1: защита не отвечает").arg(e.relay->generator);
            break;
        default:
            e.kind = JournalKind::RelayAnswering;
            e.text = QStringLiteral("%1: защита снова отвечает").arg(e.relay->generator);
            e.details = SilenceDetails{12'000 + i % 5000};
            break;
    }
    return e;
}

struct MillionRecordJournal {
    MillionRecordJournal() : journal(QDir(folder.path()), clock, sink) {
        journal.open();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        // Four and a half years of records, all within the age kept.
        const qint64 start = now - qint64{1000} * 3600 * 24 * 365 * 9 / 2;
        const qint64 step = (now - start) / kRecords;
        const auto began = std::chrono::steady_clock::now();
        for (int i = 0; i < kRecords;) {
            JournalBatch batch(journal);
            for (const int end = std::min(kRecords, i + 10'000); i < end; ++i) {
                journal.append(recordOf(i, start + step * i));
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::fprintf(stderr, "filled %d records in %.1f s\n", kRecords, seconds);
        // As at a station after a burst: the journal's thread copies the log into the file, and
        // the record after that starts the log over, small.
        const QFileInfo wal(journal.filePath() + QStringLiteral("-wal"));
        const auto settling = std::chrono::steady_clock::now();
        for (int i = 0; i < 600 && QFileInfo(wal.filePath()).size() > 4 * 1024 * 1024; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            journal.append(recordOf(i, QDateTime::currentMSecsSinceEpoch()));
        }
        std::fprintf(stderr, "log copied into the file in %.1f s\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - settling)
                         .count());
    }
    double megabytes() const {
        const QString path = journal.filePath();
        return static_cast<double>(QFileInfo(path).size() +
                                   QFileInfo(path + QStringLiteral("-wal")).size()) /
               (1024.0 * 1024.0);
    }

    QTemporaryDir folder;
    SystemClock clock;
    PrintingSink sink;
    Journal journal;
};

MillionRecordJournal& journal() {
    static MillionRecordJournal j;
    return j;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[i];
}

// One record appended as the station appends them: alone, on the UI thread.
void BM_AppendOneRecordToAMillion(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(state.max_iterations));
    int i = 0;
    for (auto _ : state) {
        const JournalEntry e = recordOf(i++, QDateTime::currentMSecsSinceEpoch());
        const auto began = std::chrono::steady_clock::now();
        const bool stored = j.journal.append(e);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began)
                .count());
        if (!stored) {
            state.SkipWithError("the journal stopped writing");
            break;
        }
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    // The slowest are the appends that meet the journal's thread copying the log into the file.
    state.counters["p999_us"] = percentile(micros, 0.999);
    state.counters["max_us"] = percentile(micros, 1.0);
    state.counters["records"] = static_cast<double>(j.journal.count({}).rows);
    state.counters["file_MB"] = j.megabytes();
}
BENCHMARK(BM_AppendOneRecordToAMillion)->Iterations(20'000)->Unit(benchmark::kMicrosecond);

// Opening at start-up: the integrity check reads the whole file.
void BM_OpenAMillionRecordJournal(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    for (auto _ : state) {
        j.journal.open();
    }
    if (!j.journal.isWriting()) {
        state.SkipWithError("the journal did not open");
    }
}
BENCHMARK(BM_OpenAMillionRecordJournal)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_NewestPage(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    for (auto _ : state) {
        benchmark::DoNotOptimize(j.journal.read({}, 100));
    }
}
BENCHMARK(BM_NewestPage)->Unit(benchmark::kMicrosecond);

void BM_NewestPageOfOneRelaysProtectionEvents(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    JournalFilter filter;
    filter.relay = 7;
    filter.kinds = JournalKinds{JournalKind::ProtectionEvent};
    for (auto _ : state) {
        benchmark::DoNotOptimize(j.journal.read(filter, 100));
    }
}
BENCHMARK(BM_NewestPageOfOneRelaysProtectionEvents)->Unit(benchmark::kMicrosecond);

// A text that no record holds: the search goes through the whole journal.
void BM_TextSearchFindingNothing(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    JournalFilter filter;
    filter.text = QStringLiteral("ГЕНЕРАТОР 77");
    for (auto _ : state) {
        benchmark::DoNotOptimize(j.journal.read(filter, 100));
    }
}
BENCHMARK(BM_TextSearchFindingNothing)->Unit(benchmark::kMillisecond);

void BM_CountAll(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    for (auto _ : state) {
        benchmark::DoNotOptimize(j.journal.count({}));
    }
}
BENCHMARK(BM_CountAll)->Unit(benchmark::kMillisecond);

void BM_CountOfATextSearch(benchmark::State& state) {
    MillionRecordJournal& j = journal();
    JournalFilter filter;
    filter.text = QStringLiteral("отключения");
    for (auto _ : state) {
        benchmark::DoNotOptimize(j.journal.count(filter));
    }
}
BENCHMARK(BM_CountOfATextSearch)->Unit(benchmark::kMillisecond);

}  // namespace
