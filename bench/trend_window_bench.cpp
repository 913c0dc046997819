// How long the trend window takes to show a year of 32 relays: the series read from journal.db at
// the resolution of the span (hours) on the window's reading thread, cut at their gaps, thinned to
// the plot's columns and painted; and how long the UI thread, which also runs the poll, is held
// meanwhile at the longest. Filling the year takes a while; it is done once per run, into a
// temporary folder.
//   cmake --build build --target terval_trend_window_bench && build/bench/terval_trend_window_bench
// With DISPLAY set and QT_QPA_PLATFORM=xcb it paints on that display; otherwise offscreen.
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QListWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "devices/device_table.h"
#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "station/clock.h"
#include "station/message_sink.h"
#include "windows/main/form_main.h"
#include "windows/trend/form_trend.h"

namespace {

using namespace terval;

constexpr int kRelays = 32;
constexpr qint64 kMinute = 60'000;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;
constexpr int kRuns = 7;

class PrintingSink final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
};

class StillClock final : public Clock {
  public:
    explicit StillClock(QDateTime t) : time_(std::move(t)) {}
    QDateTime now() const override { return time_; }

  private:
    QDateTime time_;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    installFontSubstitutions();
    QTemporaryDir folder;
    const QDateTime now(QDate(2026, 12, 6), QTime(14, 30));
    StillClock clock(now);
    PrintingSink sink;
    Journal journal(QDir(folder.path()), clock, sink);
    InsulationTrend trend(journal);
    if (!journal.open()) {
        return 1;
    }

    // Three samples an hour of every relay for a year, each relay silent for a few hours now and
    // then, and the station off for a day four times.
    QElapsedTimer fill;
    fill.start();
    std::mt19937 rng(7);
    const qint64 end = now.toMSecsSinceEpoch();
    const qint64 start = end - 365 * kDay;
    std::vector<std::pair<qint64, qint64>> off;
    for (int i = 0; i < 4; ++i) {
        const qint64 from = start + qint64(rng() % 360) * kDay;
        off.push_back({from, from + kDay});
    }
    std::vector<qint64> silentUntil(kRelays + 1, 0);
    long long samples = 0;
    for (qint64 t = start; t < end; t += 20 * kMinute) {
        if (std::any_of(off.begin(), off.end(),
                        [t](const auto& o) { return t >= o.first && t < o.second; })) {
            continue;
        }
        for (int r = 1; r <= kRelays; ++r) {
            if (t < silentUntil[r]) {
                continue;
            }
            if (rng() % 3000 == 0) {
                silentUntil[r] = t + (3 + qint64(rng() % 10)) * kHour;
                continue;
            }
            const double days = double(t - start) / kDay;
            const auto kohm = static_cast<uint16_t>(
                std::max(50.0, 3000 + 40 * r - days * (2 + r % 5) + double(rng() % 200)));
            trend.add({static_cast<uint16_t>(r), t, kohm, static_cast<uint16_t>(100 + r)});
            ++samples;
        }
        if (trend.pending() > 50'000 && !trend.flush()) {
            return 1;
        }
    }
    if (!trend.flush()) {
        return 1;
    }
    std::printf("filled %lld samples of %d relays over a year in %.1f s\n", samples, kRelays,
                fill.elapsed() / 1000.0);

    DeviceTable devices;
    for (int r = 1; r <= kRelays; ++r) {
        DeviceEntry d;
        d.GeneratorName = QStringLiteral("Генератор %1").arg(r);
        d.BreakerName = QStringLiteral("Q%1").arg(r);
        d.Address = static_cast<uint16_t>(r);
        devices.append(d);
    }
    TFormTrend window(&trend, &journal, devices, QDir(folder.path()), sink, clock, nullptr);
    window.resize(1400, 900);
    window.showForRelay(1);
    auto* list = window.findChild<QListWidget*>(QStringLiteral("ListRelays"));
    for (int row = 0; row < list->count(); ++row) {
        list->item(row)->setCheckState(Qt::Checked);
    }
    QApplication::processEvents();

    const auto settle = [&window] {
        while (window.isReading()) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    };
    settle();
    std::vector<double> reads;
    std::vector<double> clicks;
    std::vector<double> holds;
    std::vector<double> builds;
    std::vector<double> shows;
    size_t points = 0;
    for (int run = 0; run < kRuns; ++run) {
        window.rangeClicked(TrendRange::Day);
        settle();
        QApplication::processEvents();
        QElapsedTimer read;
        read.start();
        points = 0;
        for (int r = 1; r <= kRelays; ++r) {
            points += trend.read(static_cast<uint16_t>(r), end - 365 * kDay, end).points.size();
        }
        reads.push_back(read.nsecsElapsed() / 1e6);
        // From the click to the picture on the screen: read, build the series, lay out, paint.
        QElapsedTimer shown;
        shown.start();
        window.rangeClicked(TrendRange::Year);
        clicks.push_back(shown.nsecsElapsed() / 1e6);
        // Each turn of the event loop, as the poll's timers and socket would have it, until the
        // result has come and been built into the chart.
        double held = 0;
        while (window.isReading()) {
            QElapsedTimer turn;
            turn.start();
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            held = std::max(held, turn.nsecsElapsed() / 1e6);
        }
        holds.push_back(held);
        builds.push_back(shown.nsecsElapsed() / 1e6);
        window.chartView()->viewport()->repaint();
        shows.push_back(shown.nsecsElapsed() / 1e6);
    }
    size_t drawn = 0;
    for (QAbstractSeries* s : window.chart()->series()) {
        if (auto* xy = qobject_cast<QXYSeries*>(s)) {
            drawn += static_cast<size_t>(xy->count());
        } else if (auto* band = qobject_cast<QAreaSeries*>(s)) {
            drawn +=
                static_cast<size_t>(band->upperSeries()->count() + band->lowerSeries()->count());
        }
    }
    std::printf("a year of %d relays: %zu hourly points read, %lld series, %zu points drawn\n",
                kRelays, points, static_cast<long long>(window.chart()->series().size()), drawn);
    std::printf("reading them alone: median %.0f ms\n", median(reads));
    std::printf("click on \"Год\" to the series built (read included): median %.0f ms\n",
                median(builds));
    std::printf(
        "the UI thread held by the click itself: median %.1f ms; by the longest turn of "
        "its event loop until the chart is built: median %.0f ms, worst %.0f ms\n",
        median(clicks), median(holds), *std::max_element(holds.begin(), holds.end()));
    std::printf("click on \"Год\" to the painted chart: median %.0f ms, worst %.0f ms (%d runs)\n",
                median(shows), *std::max_element(shows.begin(), shows.end()), kRuns);
    return 0;
}
