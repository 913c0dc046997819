#include "app/station_core.h"

#include <algorithm>

#include "devices/tile_pictures.h"
#include "station/station_texts.h"

namespace terval {

StationCore::StationCore(const QDir& folder, MainView& view, MessageSink& messages,
                         const Clock& clock, QLocale locale, Link& serial, Link& tcp,
                         std::optional<JournalOptions> journal)
    : station(folder),
      main(station, view, messages, clock, std::move(locale)),
      scheduler(station, main, view),
      dispatcher(station, main, clock, main.locale(), scheduler),
      link(station, main, view, messages, clock, scheduler, dispatcher, serial, tcp),
      alarms(station, main, clock),
      paramWindow(station, main, messages, clock, main.locale(), scheduler),
      serial_(serial),
      tcp_(tcp),
      waker_([this] { link.wireWake(); }),
      clock_(clock),
      messages_(messages),
      journalOptions_(std::move(journal)) {
    scheduler.setLink(link);
    scheduler.setWaker(waker_);
    scheduler.setMessages(messages);
    // After the journal's writer, before any companion: the plant's broker sees the alarms'
    // records as it sees the others.
    station.journal.records().addFeed(&alarms);
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty()) {
        user = qEnvironmentVariable("USERNAME");
    }
    alarms.setUser(user);
}

StationCore::~StationCore() {
    stop();
    station.journal.records().removeFeed(&alarms);
}

void StationCore::start() {
    // A new working folder gets the pictures the station brings along before the window loads
    // them; a failed copy is told first, as the reason for the window's "not found".
    for (const QString& error : provideTilePictures(station.folder, tilePictureSources_)) {
        messages_.showMessage(MessageIcon::Error, error);
    }
    main.createMainWindow();
    if (commandLinePace_) {
        station.settings.poll.pace = *commandLinePace_;
    }
    link.serialSettings() = serialSettingsOf(station.connection, link.serialSettings());
    // After the stored files, so that a journal that cannot be opened is told after them; before
    // the link, so that nothing the station does goes unrecorded.
    if (journalOptions_) {
        // The trend lives on the journal's connection: it goes first.
        station.journal.attach(nullptr, nullptr);
        trend_.reset();
        JournalOptions options = *journalOptions_;
        options.keepMonths = station.settings.journalKeepMonths;
        journal_ = std::make_unique<Journal>(station.folder, clock_, messages_, options);
        journal_->open();
        trend_ = std::make_unique<InsulationTrend>(*journal_);
        station.journal.attach(journal_.get(), &clock_, trend_.get());
        station.journal.stationStarted(kVersionText);
        lastFlush_ = clock_.now();
        // Opening the journal has trimmed it.
        lastTrim_ = lastFlush_.date();
    }
    started_ = true;
    tellCompanions(false, [](StationCompanion& c) { c.stationStarted(); });
    // What stood when the station last stopped: an unacknowledged event is red again. After the
    // companions, so that the plant's broker is given the restored alarms as well.
    if (journal_) {
        alarms.restore(journal_->standingAlarms());
    }
}

void StationCore::setPaceFromCommandLine(PollPace pace) {
    commandLinePace_ = pace;
    if (started_) {
        station.settings.poll.pace = pace;
    }
}

template <class Tell>
void StationCore::tellCompanions(bool lastFirst, const Tell& tell) {
    std::vector<StationCompanion*> told = companions_;
    if (lastFirst) {
        std::reverse(told.begin(), told.end());
    }
    // One told may make another leave, and go with it: only those still with the station are.
    for (StationCompanion* companion : told) {
        if (std::find(companions_.begin(), companions_.end(), companion) != companions_.end()) {
            tell(*companion);
        }
    }
}

void StationCore::addCompanion(StationCompanion& companion) {
    if (std::find(companions_.begin(), companions_.end(), &companion) != companions_.end()) {
        return;
    }
    companions_.push_back(&companion);
    if (started_ && !stopped_) {
        companion.stationStarted();
    }
}

void StationCore::removeCompanion(StationCompanion& companion) {
    std::erase(companions_, &companion);
}

void StationCore::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    scheduler.abandonWrites(WriteStop::StationStopped);
    if (started_) {
        // The last to join goes first, as it may rely on those that joined before it.
        tellCompanions(true, [](StationCompanion& c) { c.stationStopping(); });
    }
    if (journal_) {
        trend_->flush();
        station.journal.stationStopped();
        station.journal.attach(nullptr, nullptr);
        journal_->close();
    }
}

void StationCore::Timer1Timer() {
    main.Timer1Timer();
    if (started_ && !stopped_) {
        alarms.secondPassed();
        tellCompanions(false, [](StationCompanion& c) { c.secondPassed(); });
    }
    if (!trend_ || stopped_) {
        return;
    }
    // Records waiting for a file that could not be written are tried again when their time has
    // come, also when the station has nothing new to record.
    journal_->retry();
    const QDateTime now = clock_.now();
    // A clock set back starts the count again rather than stopping the writes.
    if (now < lastFlush_ || lastFlush_.secsTo(now) >= kTrendFlushSeconds) {
        trend_->flush();
        lastFlush_ = now;
    }
    if (now.date() != lastTrim_) {
        lastTrim_ = now.date();
        trend_->trim();
    }
}

TimerPollWaker::TimerPollWaker(std::function<void()> wake) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(wake));
    clock_.start();
}

void TimerPollWaker::wakeAfter(std::chrono::microseconds delay) {
    // The timer counts whole milliseconds: rounded up, a wait is never cut short.
    timer_.start(std::chrono::ceil<std::chrono::milliseconds>(delay));
}

std::chrono::microseconds TimerPollWaker::now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::nanoseconds(clock_.nsecsElapsed()));
}

SerialSettings serialSettingsOf(const ConnectionConfig& config, const SerialSettings& current) {
    SerialSettings s = current;
    s.portName = normalizePortName(config.portName);
    // Index 0 is a custom rate the record cannot hold: the port keeps its own.
    if (config.baudIndex > 0 && config.baudIndex < kBaudRates.size()) {
        s.baudRate = kBaudRates[config.baudIndex];
    }
    s.dataBitsIndex = config.dataBitsIndex;
    s.stopBitsIndex = config.stopBitsIndex;
    s.parityIndex = config.parityIndex;
    s.flowControlIndex = config.flowControlIndex;
    return s;
}

}  // namespace terval
