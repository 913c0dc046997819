// The synthetic history tool run as the program it is, on a folder of its own: what it leaves in
// journal.db is read back through the journal and the trend, as the station would read it.
#include <gtest/gtest.h>

#include <QProcess>
#include <algorithm>
#include <variant>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "journal/trend_forecast.h"
#include "modbus/register_map.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::RecordingMessageSink;
using testing::WorkFolder;

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome run(const QStringList& arguments) {
    QProcess program;
    program.start(QStringLiteral(TREND_HISTORY), arguments);
    Outcome result;
    if (!program.waitForFinished(120'000)) {
        program.kill();
        program.waitForFinished();
        result.err = QStringLiteral("did not finish");
        return result;
    }
    result.exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    result.out = QString::fromUtf8(program.readAllStandardOutput());
    result.err = QString::fromUtf8(program.readAllStandardError());
    return result;
}

TEST(TrendHistoryProgram, FillsAJournalWithSeriesLevelsAndEventsAndRefusesToFillItTwice) {
    WorkFolder folder;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const Outcome filled =
        run({folder.dir().path(), "--days", "2", "--relays", "2,7", "--seed", "11"});
    ASSERT_EQ(filled.exitCode, 0) << filled.err.toStdString();
    EXPECT_TRUE(filled.out.contains(QStringLiteral("address 7"))) << filled.out.toStdString();
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    SystemClock clock;
    RecordingMessageSink sink;
    JournalOptions options;
    options.keepMonths = 0;
    {
        Journal journal(folder.dir(), clock, sink, options);
        InsulationTrend trend(journal);
        ASSERT_TRUE(journal.open()) << journal.problem().toStdString();
        ASSERT_EQ(trend.addresses(), (std::vector<uint16_t>{2, 7}));
        for (const uint16_t address : {2, 7}) {
            SCOPED_TRACE(::testing::Message() << "relay " << address);
            // Two days up to the moment the program ran, the last sample at its end.
            const auto span = trend.span(address);
            ASSERT_TRUE(span);
            EXPECT_GE(span->first, before - 2 * 86'400'000LL - 60'000);
            EXPECT_LE(span->first, before - 2 * 86'400'000LL + 86'400'000LL / 2);
            EXPECT_GE(span->second, before - 2000);
            EXPECT_LE(span->second, after);
            // Minutes over the two days, with the silences of the relay and the link as gaps.
            const TrendSeries minutes = trend.read(address, span->first, span->second + 1);
            ASSERT_EQ(minutes.error, QString());
            EXPECT_EQ(minutes.resolution, TrendResolution::Minute);
            EXPECT_GT(minutes.points.size(), 1800u);
            bool gap = false;
            for (size_t i = 1; i < minutes.points.size(); ++i) {
                gap = gap || gapBefore(minutes, i);
                ASSERT_LE(minutes.points[i].min, minutes.points[i].mean);
                ASSERT_LE(minutes.points[i].mean, minutes.points[i].max);
            }
            EXPECT_TRUE(gap);
            // The last hour sample by sample, two relays in turn on the bus: each read every
            // 2 × 400 ms, as the station reads them.
            const TrendSeries hour =
                trend.read(address, span->second - 3'600'000, span->second + 1);
            EXPECT_EQ(hour.resolution, TrendResolution::Raw);
            std::vector<qint64> steps;
            for (size_t i = 1; i < hour.points.size(); ++i) {
                steps.push_back(hour.points[i].timeMs - hour.points[i - 1].timeMs);
            }
            ASSERT_GT(steps.size(), 3000u);
            std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
            EXPECT_EQ(steps[steps.size() / 2], 800);
            // The levels as the station read them when it started.
            const auto levels = trend.levels(address);
            ASSERT_TRUE(levels);
            EXPECT_EQ(levels->signalKohm, 500);
            EXPECT_EQ(levels->tripKohm, 250);
            EXPECT_LE(levels->readAtMs, span->first);
        }

        const auto count = [&journal](JournalKinds kinds) {
            JournalFilter filter;
            filter.kinds = kinds;
            return journal.count(filter).rows;
        };
        EXPECT_GE(count({JournalKind::ProtectionEvent}), 2);
        EXPECT_GE(count({JournalKind::Acknowledgement}), 1);
        EXPECT_GE(count({JournalKind::RelaySilent}), 2);
        EXPECT_GE(count({JournalKind::RelayAnswering}), 1);
        EXPECT_GE(count({JournalKind::LinkLost}), 1);
        EXPECT_GE(count({JournalKind::LinkRestored}), 1);
        EXPECT_EQ(count({JournalKind::StationStarted}), 1);
        EXPECT_EQ(count({JournalKind::StationStopped}), 1);
        // An event carries the relay's trip protocol, with the value that crossed the level.
        JournalFilter events;
        events.kinds = JournalKinds{JournalKind::ProtectionEvent};
        const JournalRows rows = journal.read(events, 100);
        ASSERT_FALSE(rows.entries.empty());
        for (const JournalEntry& e : rows.entries) {
            ASSERT_TRUE(e.relay);
            const auto* details = std::get_if<ProtectionEventDetails>(&e.details);
            ASSERT_TRUE(details && details->record);
            const uint16_t sign = (*details->record)[registers::trip::kSign];
            EXPECT_LT((*details->record)[registers::trip::kInsulationResistance],
                      sign == 0 ? 500 : 250);
            EXPECT_TRUE(e.text.contains(e.relay->generator)) << e.text.toStdString();
        }
    }
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.texts().join('\n').toStdString();

    // A second history would mix made-up readings with the first: refused, the file untouched.
    const QByteArray journalBefore = folder.read("journal.db");
    const Outcome again = run({folder.dir().path(), "--days", "2", "--relays", "7"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.err.contains(QStringLiteral("address 7"))) << again.err.toStdString();
    EXPECT_EQ(folder.read("journal.db"), journalBefore);

    const Outcome nowhere = run({folder.path("missing"), "--days", "2"});
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_TRUE(nowhere.err.contains(QStringLiteral("there is no folder")))
        << nowhere.err.toStdString();
    EXPECT_FALSE(folder.exists("missing"));
    const Outcome badDays = run({folder.dir().path(), "--days", "0"});
    EXPECT_EQ(badDays.exitCode, 1);
    EXPECT_TRUE(badDays.err.contains(QStringLiteral("--days"))) << badDays.err.toStdString();
}

// Given the values the simulated relays read now, the history runs on into them: it ends there,
// and a relay drifting falls at its drift's rate, so that the forecast tells what the tile shows.
TEST(TrendHistoryProgram, EndsAtTheGivenValuesFallingAtTheGivenRate) {
    WorkFolder folder;
    // Ending at a fixed hour: the weather and the dawn move a steady relay's line over three
    // days by how much depends on the hour the history ends at.
    const Outcome filled =
        run({folder.dir().path(), "--days", "3", "--relays", "2,7", "--seed", "5", "--end",
             "2:1200:-6", "--end", "7:900", "--now", "2026-06-15 12:00:00"});
    ASSERT_EQ(filled.exitCode, 0) << filled.err.toStdString();
    SystemClock clock;
    RecordingMessageSink sink;
    JournalOptions options;
    options.keepMonths = 0;
    Journal journal(folder.dir(), clock, sink, options);
    InsulationTrend trend(journal);
    ASSERT_TRUE(journal.open()) << journal.problem().toStdString();
    for (const auto& [address, end, perDay] : {std::tuple{2, 1200.0, -144.0}, {7, 900.0, 0.0}}) {
        SCOPED_TRACE(::testing::Message() << "relay " << address);
        const auto span = trend.span(static_cast<uint16_t>(address));
        ASSERT_TRUE(span);
        // The last minute's readings: the given value, give or take the readings' noise.
        const TrendSeries last =
            trend.read(static_cast<uint16_t>(address), span->second - 60'000, span->second + 1);
        ASSERT_FALSE(last.points.empty());
        double sum = 0;
        for (const TrendPoint& p : last.points) {
            sum += p.mean;
        }
        EXPECT_NEAR(sum / static_cast<double>(last.points.size()), end, end * 0.01);
        const TrendSeries hours = trend.read(static_cast<uint16_t>(address), span->first,
                                             span->second + 1, TrendResolution::Hour);
        const auto forecast = forecastInsulation(hours.points, span->second + 1, 500.0);
        ASSERT_TRUE(forecast);
        EXPECT_NEAR(forecast->slopeKohmPerDay, perDay, perDay == 0 ? 30 : 10);
        EXPECT_NEAR(forecast->nowKohm, end, end * (perDay == 0 ? 0.06 : 0.03));
    }

    WorkFolder badTime;
    EXPECT_EQ(run({badTime.dir().path(), "--days", "1", "--now", "2026-13-01 00:00:00"}).exitCode,
              1);
    EXPECT_FALSE(badTime.exists("journal.db"));
    for (const char* bad : {"2", "2:x", "2:100:fast", "0:100", "2:-1", "2:100:-20000", "9:100"}) {
        WorkFolder other;
        const Outcome refused =
            run({other.dir().path(), "--days", "1", "--relays", "2", "--end", bad});
        EXPECT_EQ(refused.exitCode, 1) << bad;
        EXPECT_TRUE(refused.err.contains(QStringLiteral("--end"))) << refused.err.toStdString();
        EXPECT_FALSE(other.exists("journal.db")) << bad;
    }
}

}  // namespace
}  // namespace terval
