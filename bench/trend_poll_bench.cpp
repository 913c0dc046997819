// The poll's pace while the trend window reads a long history: the real main window polling 32
// relays of relay-sim over loopback TCP, with a year of their readings in its journal, and its
// trend window of all 32 relays switched between "Год" and "Всё" every 2 s. Prints the requests
// per second with the window closed, with the window switching, and with the same year read on
// the UI thread every 2 s, as the window once read it.
//   cmake --build build --target terval_trend_poll_bench
//   tools/trend-history/trend-history FOLDER (a folder of 32 relays whose config.cfg points at
//   relay-sim --tcp ... --relays 1-32), then build/bench/terval_trend_poll_bench FOLDER [SECONDS]
// The folder is used as it is: work on a copy.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "station/clock.h"
#include "station/message_sink.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"
#include "windows/trend/form_trend.h"

namespace {

using namespace terval;

class PrintingSink final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
};

qint64 requestsSent(TFormMain& main) {
    qint64 sum = 0;
    const DeviceTable& devices = main.station().devices;
    for (int i = 1; i <= devices.DeviceCount; ++i) {
        sum += devices.entry(i).RequestsSent;
    }
    return sum;
}

// Runs the event loop for `seconds` with `every2s` called every 2 s; the requests per second.
double paceWhile(TFormMain& main, int seconds, const std::function<void()>& every2s) {
    QTimer tick;
    tick.setInterval(2000);
    QObject::connect(&tick, &QTimer::timeout, every2s);
    if (every2s) {
        tick.start();
    }
    const qint64 before = requestsSent(main);
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < seconds * 1000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return double(requestsSent(main) - before) * 1000.0 / double(wall.elapsed());
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [SECONDS]\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    QDir::setCurrent(folder.absolutePath());
    installFontSubstitutions();
    PrintingSink sink;
    SystemClock clock;
    WindowedStation windowed(folder, sink, clock, QLocale(QLocale::Russian, QLocale::Russia));
    TFormMain& main = windowed.window();
    main.show();
    main.connectAtStart();
    // The first round over, every relay answering.
    paceWhile(main, 10, {});

    std::printf("%d relays, %d s each\n", main.station().devices.DeviceCount, seconds);
    std::printf("trend window closed: %.2f requests per second\n", paceWhile(main, seconds, {}));

    main.openTrend();
    TFormTrend& window = *main.findChild<TFormTrend*>(QStringLiteral("FormTrend"));
    auto* list = window.findChild<QListWidget*>(QStringLiteral("ListRelays"));
    for (int row = 0; row < list->count(); ++row) {
        list->item(row)->setCheckState(Qt::Checked);
    }
    bool year = false;
    int clicks = 0;
    const double switching = paceWhile(main, seconds, [&] {
        year = !year;
        window.rangeClicked(year ? TrendRange::Year : TrendRange::All);
        ++clicks;
    });
    std::printf(
        "trend window of %zu relays, \"Год\" and \"Всё\" in turn every 2 s (%d clicks): "
        "%.2f requests per second\n",
        window.shown().size(), clicks, switching);
    window.hide();

    // The same reads on the UI thread, on a connection of their own as the window's were not:
    // what the window cost the poll when it read where it draws.
    Journal journal(folder, clock, sink);
    if (!journal.openForReading()) {
        return 1;
    }
    InsulationTrend trend(journal);
    size_t points = 0;
    const double onUiThread = paceWhile(main, seconds, [&] {
        const qint64 end = clock.now().toMSecsSinceEpoch();
        for (uint16_t address : trend.addresses()) {
            points += trend.read(address, end - 365 * kDayMs, end).points.size();
        }
    });
    std::printf(
        "the year of every relay read on the UI thread every 2 s (%zu points in all): "
        "%.2f requests per second\n",
        points, onUiThread);
    main.close();
    return 0;
}
