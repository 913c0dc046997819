// The trend read for a chart on the reader's own thread and connection: for random spans over
// days of random readings, what it reads with the samples still in memory merged in is what the
// trend's own read gives once those samples are written; only the newest of requests that follow
// one another comes back; and nothing is read on the thread that asks.
#include "journal/trend_reader.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "journal/journal.h"
#include "support/fakes.h"
#include "support/trend_fixture.h"
#include "support/wait_until.h"

namespace terval {
namespace {

const QDateTime kNow(QDate(2026, 3, 10), QTime(12, 0, 0));

class TrendReaderTest : public testing::TrendJournalTest {
  protected:
    TrendReaderTest() : TrendJournalTest(kNow) {}
    void SetUp() override {
        ASSERT_TRUE(make());
        reader = std::make_unique<TrendReader>(journal->filePath(), QStringLiteral("journal.db"));
        QObject::connect(reader.get(), &TrendReader::finished,
                         [this](const TrendReadResult& r) { results.push_back(r); });
    }
    void TearDown() override {
        reader.reset();
        TrendJournalTest::TearDown();
    }
    bool waitForResults(size_t n) {
        return testing::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return results.size() >= n && !reader->busy();
            },
            std::chrono::seconds(30), std::chrono::milliseconds(2));
    }

    std::unique_ptr<TrendReader> reader;
    std::vector<TrendReadResult> results;
};

TEST_F(TrendReaderTest, ReadsWithTheSamplesInMemoryWhatTheTrendReadsOnceTheyAreWritten) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const qint64 now = kNow.toMSecsSinceEpoch();
    const std::vector<uint16_t> addresses{3, 7, 12};
    // Three days at the pace of a busy bus, with silences; the last minutes stay in memory, and
    // the cut between written and held falls inside a minute and an hour.
    const qint64 first = now - 3 * kDayMs;
    const qint64 held = now - 150'000 - static_cast<qint64>(random() % 50'000);
    std::vector<InsulationSample> samples;
    for (uint16_t address : addresses) {
        double kohm = 800 + random() % 2000;
        for (qint64 t = first + static_cast<qint64>(random() % 6400); t < now;
             t += 3000 + static_cast<qint64>(random() % 7000)) {
            if (t < now - 7 * kHourMs && random() % 5000 == 0) {
                t += static_cast<qint64>(random() % (6 * kHourMs));  // the relay fell silent
                continue;
            }
            kohm = std::clamp(kohm + std::normal_distribution<double>(0, 15)(random), 1.0, 9999.0);
            samples.push_back({address, t, static_cast<uint16_t>(std::lround(kohm)),
                               static_cast<uint16_t>(100 + random() % 3)});
        }
    }
    std::sort(samples.begin(), samples.end(),
              [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
    for (const InsulationSample& s : samples) {
        if (s.timeMs >= held) {
            break;
        }
        trend->add(s);
    }
    ASSERT_TRUE(trend->flush());
    for (const InsulationSample& s : samples) {
        if (s.timeMs >= held) {
            trend->add(s);
        }
    }
    ASSERT_GT(trend->pending(), 30u);

    // Spans of every width, a few ending now, some reaching past either end.
    struct Asked {
        TrendReadRequest request;
        std::vector<TrendSeries> series;
    };
    std::vector<Asked> asked;
    const std::thread::id uiThread = std::this_thread::get_id();
    std::vector<std::thread::id> readOn;
    reader->setBeforeRead([&readOn] { readOn.push_back(std::this_thread::get_id()); });
    for (int k = 0; k < 60; ++k) {
        TrendReadRequest request;
        for (uint16_t address : addresses) {
            if (random() % 3 != 0 || request.relays.empty()) {
                request.relays.push_back({address, 0});
            }
        }
        const qint64 width = std::llround(std::exp(std::uniform_real_distribution<double>(
            std::log(double(2 * kMinuteMs)), std::log(double(4 * kDayMs)))(random)));
        const qint64 end =
            random() % 4 == 0
                ? now
                : first - kHourMs + static_cast<qint64>(random() % (3 * kDayMs + 2 * kHourMs));
        request.fromMs = end - width;
        request.toMs = end;
        reader->submit(request);
        ASSERT_TRUE(waitForResults(asked.size() + 1)) << "request " << k;
        const TrendReadResult& result = results.back();
        ASSERT_EQ(result.series.size(), request.relays.size());
        Asked a{request, result.series};
        for (size_t i = 0; i < a.series.size(); ++i) {
            ASSERT_TRUE(a.series[i].error.isEmpty()) << a.series[i].error.toStdString();
            mergePendingSamples(a.series[i], trend->pendingSamples(request.relays[i].address),
                                request.fromMs, request.toMs);
        }
        asked.push_back(std::move(a));
    }
    ASSERT_EQ(readOn.size(), asked.size());
    for (const std::thread::id& id : readOn) {
        EXPECT_NE(id, uiThread);
    }

    ASSERT_TRUE(trend->flush());
    int raw = 0, aggregated = 0;
    for (const Asked& a : asked) {
        for (size_t i = 0; i < a.series.size(); ++i) {
            const TrendSeries expected =
                trend->read(a.request.relays[i].address, a.request.fromMs, a.request.toMs);
            const TrendSeries& got = a.series[i];
            SCOPED_TRACE(::testing::Message() << "relay " << a.request.relays[i].address << " "
                                              << a.request.fromMs << " – " << a.request.toMs);
            ASSERT_EQ(got.resolution, expected.resolution);
            (got.resolution == TrendResolution::Raw ? raw : aggregated) += 1;
            ASSERT_EQ(got.points.size(), expected.points.size());
            for (size_t p = 0; p < got.points.size(); ++p) {
                const TrendPoint& g = got.points[p];
                const TrendPoint& e = expected.points[p];
                ASSERT_EQ(g.timeMs, e.timeMs) << p;
                ASSERT_EQ(g.count, e.count) << p;
                ASSERT_EQ(g.min, e.min) << p;
                ASSERT_EQ(g.max, e.max) << p;
                ASSERT_NEAR(g.mean, e.mean, 1e-9 * e.mean) << p;
                ASSERT_NEAR(g.controlMean, e.controlMean, 1e-9 * e.controlMean) << p;
            }
        }
    }
    EXPECT_GT(raw, 5);
    EXPECT_GT(aggregated, 5);
}

TEST_F(TrendReaderTest, OnlyTheNewestOfRequestsInARowComesBackWithItsMarks) {
    const qint64 now = kNow.toMSecsSinceEpoch();
    for (qint64 t = now - 2 * kHourMs; t < now; t += 10'000) {
        trend->add({5, t, 1000, 100});
    }
    ASSERT_TRUE(trend->flush());
    const JournalRelay relay{2, 5, QStringLiteral("Ген. 2"), QStringLiteral("Выкл 2")};
    ASSERT_TRUE(journal->append({0,
                                 now - kHourMs,
                                 JournalKind::RelaySilent,
                                 relay,
                                 QStringLiteral("Защита не отвечает"),
                                 {}}));
    ASSERT_TRUE(journal->append({0, now - kHourMs + 1, JournalKind::LinkLost, std::nullopt,
                                 QStringLiteral("Связь потеряна"),
                                 LinkDetails{QStringLiteral("TCP"), QStringLiteral("обрыв"), {}}}));
    ASSERT_TRUE(journal->append({0,
                                 now - kHourMs + 2,
                                 JournalKind::Acknowledgement,
                                 relay,
                                 QStringLiteral("Событие квитировано"),
                                 {}}));

    // The reader is held at its first request until the two after it have come.
    std::atomic<bool> release{false};
    reader->setBeforeRead([&release] {
        testing::waitUntil([&] { return release.load(); }, std::chrono::seconds(30));
    });
    TrendReadRequest request;
    request.relays = {{5, 2}};
    request.fromMs = now - 3 * kHourMs;
    request.toMs = now;
    request.maxMarks = 100;
    reader->submit(request);
    request.fromMs = now - 2 * kHourMs;
    reader->submit(request);
    request.fromMs = now - kHourMs - kMinuteMs;
    const quint64 newest = reader->submit(request);
    EXPECT_TRUE(reader->busy());
    release = true;
    ASSERT_TRUE(waitForResults(1));
    // Anything else would have come by the time the newest has.
    QCoreApplication::processEvents();
    ASSERT_EQ(results.size(), 1u);
    const TrendReadResult& result = results[0];
    EXPECT_EQ(result.id, newest);
    EXPECT_EQ(result.request.fromMs, now - kHourMs - kMinuteMs);
    ASSERT_EQ(result.series.size(), 1u);
    EXPECT_EQ(result.series[0].resolution, TrendResolution::Raw);
    EXPECT_EQ(result.series[0].points.size(), 366u);
    // The relay's silence (not its acknowledgement), then the station's lost link.
    ASSERT_EQ(result.marks.size(), 2u);
    ASSERT_EQ(result.marks[0].entries.size(), 1u);
    EXPECT_EQ(result.marks[0].entries[0].kind, JournalKind::RelaySilent);
    EXPECT_EQ(result.marks[0].entries[0].relay->address, 5);
    ASSERT_EQ(result.marks[1].entries.size(), 1u);
    EXPECT_EQ(result.marks[1].entries[0].text, QStringLiteral("Связь потеряна"));
}

}  // namespace
}  // namespace terval
