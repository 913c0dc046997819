// Fills a working folder's journal.db with a made-up but plausible history of its relays, for
// demonstrations and for trying the trend window on a year of data without waiting a year: every
// relay's insulation resistance drifting slowly around a level of its own, lower in the humid
// season and at dawn, with noise, a few sudden drops and two relays falling clearly over the last
// weeks; days the station did not run, hours the link was lost or a relay silent; protection
// events where a value crosses the alarm levels, acknowledged a little later; and the levels
// themselves. Everything goes through the station's own code: the samples through the trend's
// add and flush, the records in the station's words through StationJournal, stamped with the
// simulated time. Samples come at a full bus's pace in the last fourteen days (those kept raw),
// one a minute before.
//   trend-history FOLDER [--relays 1-5] [--days 365] [--seed N] [--end ADDRESS:KOHM[:SLOPE]]...
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <queue>
#include <random>
#include <tuple>
#include <vector>

#include "devices/connection_config.h"
#include "devices/device_editor.h"
#include "devices/device_files.h"
#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "modbus/register_map.h"
#include "poll/event_detection.h"
#include "station/clock.h"
#include "station/message_sink.h"
#include "station/station_journal.h"
#include "station/station_settings.h"
#include "station/station_texts.h"

using namespace terval;

namespace {

constexpr qint64 kSecond = 1000;
constexpr qint64 kMinute = 60 * kSecond;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;
// One relay's turn on the bus: two requests, each over two of the poll's 100 ms ticks (a relay of
// 32 is read every 12.8 s, as the station does against relay-sim).
constexpr qint64 kTurnMs = 400;
constexpr qint64 kOlderIntervalMs = kMinute;
// The levels relay-sim starts with.
constexpr uint16_t kSignalKohm = 500;
constexpr uint16_t kTripKohm = 250;
constexpr int kMaxDays = 5 * 365;

void print(const QString& text) {
    std::fprintf(stdout, "%s\n", qPrintable(text));
}

int fail(const QString& text) {
    std::fprintf(stderr, "trend-history: %s\n", qPrintable(text));
    return 1;
}

class PrintingSink final : public MessageSink {
  public:
    void showMessage(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "trend-history: %s\n", qPrintable(text));
        ++shown;
    }
    int shown = 0;
};

// The simulated computer's time: the journal trims by it and the records are stamped with it.
class SimClock final : public Clock {
  public:
    QDateTime now() const override { return QDateTime::fromMSecsSinceEpoch(ms); }
    qint64 ms = 0;
};

// The station's records as it words them, stored at the simulated time.
class StampingSink final : public JournalSink {
  public:
    StampingSink(Journal& journal, const SimClock& clock) : journal_(journal), clock_(clock) {}
    bool append(JournalKind kind, const std::optional<JournalRelay>& relay, const QString& text,
                const JournalDetails& details) override {
        ++written;
        return journal_.append(JournalEntry{0, clock_.ms, kind, relay, text, details});
    }
    int written = 0;

  private:
    Journal& journal_;
    const SimClock& clock_;
};

// "1-5", "2,4,7-9": addresses from 1 to 247.
std::optional<std::vector<uint16_t>> parseAddresses(const QString& text) {
    std::vector<uint16_t> out;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.trimmed().split(QLatin1Char('-'));
        bool okFrom = false;
        bool okTo = false;
        const int from = ends.value(0).toInt(&okFrom);
        const int to = ends.size() == 2 ? ends[1].toInt(&okTo) : from;
        if (ends.size() > 2 || !okFrom || (ends.size() == 2 && !okTo) || from < 1 || to > 247 ||
            from > to) {
            return std::nullopt;
        }
        for (int a = from; a <= to; ++a) {
            if (std::find(out.begin(), out.end(), a) == out.end()) {
                out.push_back(static_cast<uint16_t>(a));
            }
        }
    }
    if (out.empty() || out.size() > static_cast<size_t>(kMaxDevices)) {
        return std::nullopt;
    }
    return out;
}

struct Interval {
    qint64 from = 0;
    qint64 to = 0;
};

bool overlaps(const std::vector<Interval>& intervals, const Interval& x) {
    return std::any_of(intervals.begin(), intervals.end(),
                       [&x](const Interval& i) { return x.from < i.to && i.from < x.to; });
}

// A fall to `toKohm` at `at`, recovering with the time constant `tauMs`.
struct Drop {
    qint64 at = 0;
    double toKohm = 0;
    qint64 tauMs = 0;
};

struct Relay {
    int number = 0;  // its place in the device table
    uint16_t address = 0;
    QString generator;
    double levelKohm = 0;
    double seasonDepth = 0;  // the humid season takes this fraction off
    double weather = 0;      // log-scale, wandering over days
    qint64 weatherHour = -1;
    double controlKohm = 0;
    std::vector<Drop> drops;
    std::vector<Interval> silences;
    // Falling steadily from where it is at `fallFrom` to `fallToKohm` at the end.
    std::optional<qint64> fallFrom;
    std::optional<double> fallFromKohm;
    double fallToKohm = 0;
    // --end: the history ends at this value, changing by `endSlope` kΩ an hour over its last
    // days, so that it runs on into what the relay reads now.
    std::optional<double> endKohm;
    double endSlope = 0;
    bool signalArmed = true;
    bool tripArmed = true;
    uint8_t protocol = 0;
    bool silent = false;
    qint64 samples = 0;
    qint64 recentSamples = 0;  // those of the days kept raw
    int events = 0;
};

// What happens besides the samples, in time order.
struct Happening {
    enum Kind { StationOn, StationOff, LinkDown, LinkUp, RelaySilent, RelayBack, Acknowledged };
    qint64 at = 0;
    Kind kind = StationOn;
    size_t relay = 0;
    bool operator>(const Happening& other) const { return at > other.at; }
};

double humidityAt(const QDateTime& local);
double dawnAt(const QDateTime& local);

class History {
  public:
    History(const DeviceTable& devices, std::vector<Relay> relays, Journal& journal,
            InsulationTrend& trend, SimClock& clock, QString link, bool serialLink, qint64 fromMs,
            qint64 toMs, uint32_t seed)
        : devices_(devices),
          relays_(std::move(relays)),
          journal_(journal),
          trend_(trend),
          clock_(clock),
          sink_(journal, clock),
          link_(std::move(link)),
          serialLink_(serialLink),
          from_(fromMs),
          to_(toMs),
          rng_(seed) {}

    void plan();
    void run();

    const std::vector<Relay>& relays() const { return relays_; }
    int records() const { return sink_.written; }
    qint64 stationOffMs() const {
        qint64 ms = 0;
        for (const Interval& i : stationOff_) {
            ms += i.to - i.from;
        }
        return ms;
    }
    size_t linkLosses() const { return linkLost_.size(); }

  private:
    double uniform(double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rng_); }
    qint64 uniformMs(qint64 lo, qint64 hi) {
        return std::uniform_int_distribution<qint64>(lo, std::max(lo, hi))(rng_);
    }
    // Up to `count` intervals of `minMs` to `maxMs` starting in [lo, hi), none overlapping
    // `avoid` or each other.
    std::vector<Interval> intervals(int count, qint64 minMs, qint64 maxMs, qint64 lo, qint64 hi,
                                    const std::vector<Interval>& avoid);
    double valueAt(Relay& r, qint64 t, double humidity, double dawn);
    void happen(const Happening& h);
    void sample(size_t i, qint64 t, double humidity, double dawn);
    void startStation(qint64 t);

    DeviceTable devices_;
    std::vector<Relay> relays_;
    Journal& journal_;
    InsulationTrend& trend_;
    SimClock& clock_;
    StampingSink sink_;
    QString link_;
    bool serialLink_;
    qint64 from_;
    qint64 to_;
    std::mt19937 rng_;
    std::normal_distribution<double> noise_{0.0, 1.0};
    std::vector<Interval> stationOff_;
    std::vector<Interval> linkLost_;
    std::priority_queue<Happening, std::vector<Happening>, std::greater<>> happenings_;
    // A run of the station: its journal rules start afresh with each start, as the program's do.
    std::unique_ptr<StationJournal> station_;
    bool stationOn_ = false;
    bool linkUp_ = false;
    QLocale locale_ = QLocale::system();
};

std::vector<Interval> History::intervals(int count, qint64 minMs, qint64 maxMs, qint64 lo,
                                         qint64 hi, const std::vector<Interval>& avoid) {
    std::vector<Interval> out;
    for (int tries = 0; static_cast<int>(out.size()) < count && tries < 50 * count; ++tries) {
        const qint64 at = uniformMs(lo, hi);
        const Interval x{at, std::min(to_, at + uniformMs(minMs, maxMs))};
        if (at < hi && !overlaps(avoid, x) && !overlaps(out, x)) {
            out.push_back(x);
        }
    }
    return out;
}

void History::plan() {
    const qint64 span = to_ - from_;
    const int days = static_cast<int>(span / kDay);
    // Whole days off now and then, never in the last three weeks, which the forecast looks at.
    if (days >= 30) {
        stationOff_ =
            intervals(std::max(1, days / 120), kDay, 3 * kDay, from_ + kDay, to_ - 24 * kDay, {});
    }
    // Hours without the link.
    if (span >= kDay) {
        linkLost_ = intervals(std::max(1, days / 60), 20 * kMinute, 6 * kHour, from_ + 2 * kHour,
                              to_ - std::min(kDay, span / 4), stationOff_);
    }
    std::vector<Interval> quiet = stationOff_;
    quiet.insert(quiet.end(), linkLost_.begin(), linkLost_.end());

    for (size_t i = 0; i < relays_.size(); ++i) {
        Relay& r = relays_[i];
        // Hundreds of kilo-ohms to a few thousand, spread evenly on a log scale; the two that will
        // fall start high enough for a fall worth forecasting.
        r.levelKohm = std::exp(uniform(std::log(i == 0   ? 1700.0
                                                : i == 1 ? 1300.0
                                                         : 900.0),
                                       std::log(i < 2 ? 2600.0 : 3500.0)));
        r.seasonDepth = uniform(0.12, 0.25);
        r.controlKohm = uniform(30, 60);
        r.silences = intervals(std::max(1, days / 45), 10 * kMinute, 8 * kHour, from_ + kHour,
                               to_ - 12 * kHour, quiet);
        // The first drop of every relay goes below the signal level, now and then below the trip
        // level too, while the relay is heard, so that every history has its protection events;
        // the others are shallower. Clear of the last five weeks where there are more.
        const qint64 dropsUntil = days > 60 ? to_ - 35 * kDay : from_ + span / 2;
        std::vector<Interval> unheard = quiet;
        unheard.insert(unheard.end(), r.silences.begin(), r.silences.end());
        const int drops = 1 + days / 150;
        for (int d = 0; d < drops; ++d) {
            const double depth = d == 0 ? uniform(kTripKohm * 0.6, kSignalKohm * 0.95)
                                        : r.levelKohm * uniform(0.3, 0.6);
            qint64 at = uniformMs(from_ + kHour, dropsUntil);
            for (int tries = 0; d == 0 && overlaps(unheard, {at, at + kHour}) && tries < 1000;
                 ++tries) {
                at = uniformMs(from_ + kHour, dropsUntil);
            }
            r.drops.push_back({at, depth, uniformMs(2 * kHour, 2 * kDay)});
        }
        // A relay that must end at a given value has recovered from its drops before the week
        // the forecast looks at.
        if (r.endKohm) {
            std::erase_if(r.drops,
                          [this](const Drop& d) { return d.at + 8 * d.tauMs > to_ - 7 * kDay; });
        }
        // A relay whose end is given ends there: its level is what the season and the dawn leave
        // at the end, or, when it is moving, far enough off for ten days of the move to end
        // there.
        if (r.endKohm) {
            const QDateTime end = QDateTime::fromMSecsSinceEpoch(to_);
            const double atEnd = (1 - r.seasonDepth * humidityAt(end)) * dawnAt(end);
            const double tenDays = std::abs(r.endSlope) * 240;
            r.levelKohm = r.endSlope < 0   ? std::max(r.levelKohm, (*r.endKohm + tenDays) / atEnd)
                          : r.endSlope > 0 ? std::max(1.0, *r.endKohm - tenDays) / atEnd
                                           : *r.endKohm / atEnd;
        }
        // Without given ends two relays fall over the last weeks, steadily enough for a forecast
        // to reach the signal level within days of the end.
        if (i < 2 && !std::any_of(relays_.begin(), relays_.end(),
                                  [](const Relay& x) { return x.endKohm.has_value(); })) {
            const qint64 fall = std::min<qint64>(i == 0 ? 28 * kDay : 21 * kDay, span * 4 / 5);
            r.fallFrom = to_ - fall;
            r.fallToKohm = kSignalKohm * (i == 0 ? 1.4 : 1.3);
        }
        for (const Interval& s : r.silences) {
            happenings_.push({s.from, Happening::RelaySilent, i});
            happenings_.push({s.to, Happening::RelayBack, i});
        }
    }
    happenings_.push({from_, Happening::StationOn, 0});
    for (const Interval& off : stationOff_) {
        happenings_.push({off.from, Happening::StationOff, 0});
        happenings_.push({off.to, Happening::StationOn, 0});
    }
    for (const Interval& lost : linkLost_) {
        happenings_.push({lost.from, Happening::LinkDown, 0});
        happenings_.push({lost.to, Happening::LinkUp, 0});
    }
}

// How humid the time of year is (1 in late July, 0 in late January) and the dip at dawn, shared
// by all relays of a round.
double humidityAt(const QDateTime& local) {
    const double day = local.date().dayOfYear() + local.time().msecsSinceStartOfDay() / 86.4e6;
    return 0.5 + 0.5 * std::cos(2 * std::numbers::pi * (day - 205) / 365.25);
}
double dawnAt(const QDateTime& local) {
    const double hour = local.time().msecsSinceStartOfDay() / 3.6e6;
    return 1 - 0.05 * std::cos(2 * std::numbers::pi * (hour - 5) / 24);
}

double History::valueAt(Relay& r, qint64 t, double humidity, double dawn) {
    // The weather: a slow wander over days, a step an hour; after a long pause it goes on from
    // where it was rather than catching up.
    const qint64 hour = t / kHour;
    if (r.weatherHour < 0 || hour - r.weatherHour > 24 * 7) {
        r.weatherHour = hour - 1;
    }
    while (r.weatherHour < hour) {
        ++r.weatherHour;
        // A few per cent either way, over days: enough to see, too little to look like a fall.
        r.weather = 0.99 * r.weather + 0.005 * noise_(rng_);
    }
    // A given end is met without the weather's few per cent: they fade over the last day.
    const double weather =
        r.endKohm && to_ - t < kDay ? r.weather * static_cast<double>(to_ - t) / kDay : r.weather;
    double v = r.levelKohm * (1 - r.seasonDepth * humidity) * std::exp(weather);
    if (r.fallFrom && t >= *r.fallFrom) {
        if (!r.fallFromKohm) {
            r.fallFromKohm = v;
        }
        const double progress =
            static_cast<double>(t - *r.fallFrom) / static_cast<double>(to_ - *r.fallFrom);
        v = *r.fallFromKohm + (r.fallToKohm - *r.fallFromKohm) * progress;
    }
    v *= dawn;
    // The line into the given end: the value follows it once it meets it.
    if (r.endKohm && r.endSlope != 0) {
        const double line =
            *r.endKohm - r.endSlope * static_cast<double>(to_ - t) / static_cast<double>(kHour);
        v = r.endSlope < 0 ? std::min(v, line) : std::max(v, line);
    }
    for (const Drop& d : r.drops) {
        if (t >= d.at && t < d.at + 8 * d.tauMs) {
            const double recovered =
                1 - std::exp(-static_cast<double>(t - d.at) / static_cast<double>(d.tauMs));
            v = std::min(v, d.toKohm + (v - d.toKohm) * recovered);
        }
    }
    v *= 1 + 0.012 * noise_(rng_);
    return std::clamp(v, 0.0, 65535.0);
}

void History::startStation(qint64 t) {
    station_ = std::make_unique<StationJournal>(devices_);
    station_->attach(&sink_, &clock_);
    station_->stationStarted(kVersionText);
    station_->operatorConnect(link_);
    station_->linkUp(link_);
    // The parameter window read the levels: kept once, and again only when they change.
    for (const Relay& r : relays_) {
        trend_.storeLevels(r.address, {t, kSignalKohm, kTripKohm});
    }
}

void History::happen(const Happening& h) {
    clock_.ms = h.at;
    Relay& r = relays_[h.relay];
    switch (h.kind) {
        case Happening::StationOn:
            stationOn_ = linkUp_ = true;
            startStation(h.at);
            break;
        case Happening::StationOff:
            station_->stationStopped();
            stationOn_ = false;
            break;
        case Happening::LinkDown:
            linkUp_ = false;
            station_->linkDown(link_, serialLink_
                                          ? QStringLiteral("Устройство порта больше недоступно.")
                                          : QStringLiteral("Связь с устройством прервана"));
            break;
        case Happening::LinkUp:
            linkUp_ = true;
            station_->linkUp(link_);
            break;
        case Happening::RelaySilent:
            r.silent = true;
            if (stationOn_ && linkUp_) {
                station_->relaySilent(r.number);
            }
            break;
        case Happening::RelayBack:
            r.silent = false;
            if (stationOn_ && linkUp_) {
                station_->relayAnswered(r.number);
            }
            break;
        case Happening::Acknowledged:
            if (stationOn_) {
                station_->acknowledged(r.number);
            }
            break;
    }
}

void History::sample(size_t i, qint64 t, double humidity, double dawn) {
    Relay& r = relays_[i];
    // Whole kilo-ohms, as the relay measures and compares them.
    const auto v = static_cast<uint16_t>(std::lround(valueAt(r, t, humidity, dawn)));
    if (!stationOn_ || !linkUp_ || r.silent) {
        return;
    }
    trend_.add({r.address, t, v,
                static_cast<uint16_t>(std::lround(r.controlKohm * (1 + 0.01 * noise_(rng_))))});
    ++r.samples;
    r.recentSamples += t >= to_ - TrendOptions{}.rawDays * kDay ? 1 : 0;
    // The relay trips as the value passes a level, and is ready again a tenth above it.
    for (const auto& [level, sign, armed] : {std::tuple{kSignalKohm, uint16_t{0}, &r.signalArmed},
                                             std::tuple{kTripKohm, uint16_t{1}, &r.tripArmed}}) {
        if (v >= level * 11 / 10) {
            *armed = true;
        }
        if (v >= level || !*armed) {
            continue;
        }
        *armed = false;
        // The relay's clock runs a few seconds behind the computer's, and keeps whole seconds.
        const QDateTime relayTime = QDateTime::fromMSecsSinceEpoch((t - 3 * kSecond) / 1000 * 1000);
        r.protocol = r.protocol == 255 ? 1 : static_cast<uint8_t>(r.protocol + 1);
        const QDate date = relayTime.date();
        const QTime time = relayTime.time();
        TripRecord record{};
        namespace trip = registers::trip;
        record[registers::protocol::kNumberAndMonth] =
            static_cast<uint16_t>(r.protocol << 8 | date.month());
        record[registers::protocol::kDayAndHour] =
            static_cast<uint16_t>(date.day() << 8 | time.hour());
        record[registers::protocol::kMinuteAndSecond] =
            static_cast<uint16_t>(time.minute() << 8 | time.second());
        record[trip::kRemoteness] = static_cast<uint16_t>(uniform(50, 950));
        record[trip::kAlpha1] = static_cast<uint16_t>(uniform(0, 300));
        record[trip::kAlpha2] = static_cast<uint16_t>(uniform(0, 300));
        record[trip::kInsulationResistance] = v;
        record[trip::kExcitationVoltage] = static_cast<uint16_t>(uniform(1800, 2400));
        record[trip::kInjectedVoltage] = static_cast<uint16_t>(uniform(90, 110));
        // Bit 0 the signal relay, bit 1 the trip relay, which trips with the signal relay.
        record[trip::kStatusRegister] = sign == 0 ? 0x01 : 0x03;
        record[trip::kSign] = sign;
        station_->protectionEvent(r.number, relayTime, sign, signText(sign), record,
                                  alarmLineText(relayTime, r.generator, sign, locale_));
        ++r.events;
        happenings_.push({t + uniformMs(3 * kMinute, 40 * kMinute), Happening::Acknowledged, i});
    }
}

void History::run() {
    plan();
    const qint64 recentFrom = to_ - TrendOptions{}.rawDays * kDay;
    const qint64 recentInterval = kTurnMs * static_cast<qint64>(relays_.size());
    const qint64 last = to_ - kTurnMs * static_cast<qint64>(relays_.size() - 1);
    qint64 nextDay = from_ + kDay;
    int flushes = 0;
    // Rounds of the bus: every minute in the older part, as fast as the bus allows in the recent
    // one, the last ending exactly at the end.
    qint64 minute = -1;
    double humidity = 0;
    double dawn = 0;
    for (qint64 round = from_;;) {
        // Local time is costly to reach (the zone is looked up each time), and a minute is fine
        // enough for the weather.
        if (round / kMinute != minute) {
            minute = round / kMinute;
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(round);
            humidity = humidityAt(local);
            dawn = dawnAt(local);
        }
        for (size_t i = 0; i < relays_.size(); ++i) {
            const qint64 t = round + kTurnMs * static_cast<qint64>(i);
            while (!happenings_.empty() && happenings_.top().at <= t) {
                const Happening h = happenings_.top();
                happenings_.pop();
                happen(h);
            }
            clock_.ms = t;
            sample(i, t, humidity, dawn);
        }
        const qint64 next = round + (round >= recentFrom ? recentInterval : kOlderIntervalMs);
        // In large transactions: each writes the newest pages of every relay's samples, minutes
        // and hours once, however many samples it holds.
        if (trend_.pending() >= 50000) {
            trend_.flush();
            // Written without a pause, the log is copied by the writer itself.
            if (++flushes % 20 == 0) {
                journal_.checkpoint();
            }
        }
        // Once a day, as the station does: the raw samples past their days go.
        if (next >= nextDay) {
            trend_.trim();
            nextDay += kDay;
        }
        if (round == last || !journal_.isWriting()) {
            break;
        }
        round = std::min(next, last);
    }
    clock_.ms = to_;
    while (!happenings_.empty() && happenings_.top().at <= to_) {
        const Happening h = happenings_.top();
        happenings_.pop();
        happen(h);
    }
    if (stationOn_) {
        station_->stationStopped();
    }
    trend_.flush();
    trend_.trim();
    journal_.checkpoint();
}

QString linkName(const QDir& folder, bool* serial) {
    *serial = false;
    // Read only when it is there: loading creates a missing one.
    if (!folder.exists(kConfigFileName)) {
        return QStringLiteral("Ethernet TCP/IP 127.0.0.1:502");
    }
    const ConnectionConfig c = loadConfigFile(folder.filePath(kConfigFileName)).config;
    *serial = c.isSerial();
    switch (c.LinkType) {
        case kLinkRs232:
            return QStringLiteral("RS-232 ") + c.portName;
        case kLinkRs485:
            return QStringLiteral("RS-485 ") + c.portName;
        default:
            return QStringLiteral("Ethernet TCP/IP %1:%2").arg(c.ipText()).arg(c.tcpPort);
    }
}

QString dateTimeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Fills FOLDER/journal.db with a synthetic history of insulation readings, alarm levels "
        "and the station's records, ending now, for the relays of FOLDER/gen.dat (or the "
        "addresses of --relays when there is none).");
    parser.addHelpOption();
    parser.addPositionalArgument("folder", "the station's working folder");
    parser.addOption(
        {"relays",
         "addresses, e.g. 1-5 or 2,4,7-9: the relays when there is no gen.dat (default "
         "1-5), those of gen.dat to fill when there is one (default all)",
         "list"});
    parser.addOption({"days", "days of history, 1 to 1825 (default 365)", "days", "365"});
    parser.addOption({"seed", "the random seed (default: a new one each run)", "n"});
    parser.addOption({"end",
                      "the history of the relay at ADDRESS ends at KOHM kOhm, changing by SLOPE "
                      "kOhm an hour (negative falls; default 0) over its last days, e.g. the "
                      "present values of relay-sim; repeatable",
                      "address:kohm[:slope]"});
    parser.addOption({"now",
                      "the moment the history ends, local time \"yyyy-MM-dd HH:mm:ss\" (default: "
                      "now); the same moment and seed give the same history",
                      "time"});
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        parser.showHelp(2);
    }

    const QDir folder(parser.positionalArguments().first());
    if (!QFileInfo(folder.path()).isDir()) {
        return fail(QStringLiteral("there is no folder %1").arg(folder.path()));
    }
    bool ok = false;
    const int days = parser.value("days").toInt(&ok);
    if (!ok || days < 1 || days > kMaxDays) {
        return fail(QStringLiteral("--days takes a number of days from 1 to %1").arg(kMaxDays));
    }
    uint32_t seed = std::random_device{}();
    if (parser.isSet("seed")) {
        seed = parser.value("seed").toUInt(&ok);
        if (!ok) {
            return fail(QStringLiteral("--seed takes a number from 0 to 4294967295"));
        }
    }
    std::optional<std::vector<uint16_t>> wanted;
    if (parser.isSet("relays")) {
        wanted = parseAddresses(parser.value("relays"));
        if (!wanted) {
            return fail(QStringLiteral(
                "--relays takes up to 32 addresses from 1 to 247, e.g. 1-5 or 2,4,7-9"));
        }
    }

    // The relays: those of gen.dat, or a table of the addresses asked for.
    DeviceTable table;
    if (folder.exists(kDeviceFileName)) {
        DeviceLoad load = loadDeviceFile(folder);
        if (!load.readable) {
            return fail(load.messages.errors.join(QLatin1Char(' ')));
        }
        table = load.table;
        if (wanted) {
            for (uint16_t a : *wanted) {
                bool found = false;
                for (int n = 1; n <= table.DeviceCount; ++n) {
                    found = found || table.entry(n).Address == a;
                }
                if (!found) {
                    return fail(QStringLiteral("%1 has no relay at address %2")
                                    .arg(folder.filePath(kDeviceFileName))
                                    .arg(a));
                }
            }
        }
    } else {
        for (uint16_t a : wanted.value_or(std::vector<uint16_t>{1, 2, 3, 4, 5})) {
            table.append(newDeviceEntry(a));
        }
    }
    // --end ADDRESS:KOHM[:SLOPE]
    std::map<uint16_t, std::pair<double, double>> ends;
    for (const QString& end : parser.values("end")) {
        const QStringList parts = end.split(QLatin1Char(':'));
        bool okAddress = false;
        bool okKohm = false;
        bool okSlope = true;
        const int address = parts.value(0).toInt(&okAddress);
        const double kohm = parts.value(1).toDouble(&okKohm);
        const double slope = parts.size() == 3 ? parts[2].toDouble(&okSlope) : 0.0;
        if (parts.size() < 2 || parts.size() > 3 || !okAddress || !okKohm || !okSlope ||
            address < 1 || address > 247 || !(kohm >= 0 && kohm <= 65535) ||
            !(std::abs(slope) <= 10000)) {
            return fail(QStringLiteral("bad --end '%1': expected ADDRESS:KOHM[:SLOPE], an address "
                                       "1..247, 0..65535 kOhm and -10000..10000 kOhm an hour")
                            .arg(end));
        }
        ends[static_cast<uint16_t>(address)] = {kohm, slope};
    }
    std::vector<Relay> relays;
    for (int n = 1; n <= table.DeviceCount; ++n) {
        const DeviceEntry& e = table.entry(n);
        const bool chosen =
            !wanted || std::find(wanted->begin(), wanted->end(), e.Address) != wanted->end();
        // A relay's history follows its address: a second tile of the same address shares it.
        const bool seen = std::any_of(relays.begin(), relays.end(),
                                      [&e](const Relay& r) { return r.address == e.Address; });
        if (chosen && !seen && e.Address >= 1 && e.Address <= 247) {
            Relay r;
            r.number = n;
            r.address = e.Address;
            r.generator = e.GeneratorName;
            if (const auto end = ends.find(e.Address); end != ends.end()) {
                r.endKohm = end->second.first;
                r.endSlope = end->second.second;
                ends.erase(end);
            }
            relays.push_back(r);
        }
    }
    if (!ends.empty()) {
        return fail(QStringLiteral("--end names the address %1, which is not among the relays "
                                   "to fill")
                        .arg(ends.begin()->first));
    }
    if (relays.empty()) {
        return fail(
            QStringLiteral("%1 lists no relay to fill").arg(folder.filePath(kDeviceFileName)));
    }

    const SettingsLoad settings = loadStationSettings(folder);
    JournalOptions options;
    options.keepMonths = settings.settings.journalKeepMonths;
    qint64 to = QDateTime::currentMSecsSinceEpoch() / 1000 * 1000;
    if (parser.isSet("now")) {
        const QDateTime given =
            QDateTime::fromString(parser.value("now"), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (!given.isValid()) {
            return fail(QStringLiteral("--now takes a local time as \"yyyy-MM-dd HH:mm:ss\""));
        }
        to = given.toMSecsSinceEpoch();
    }
    const qint64 from = to - days * kDay;
    SimClock clock;
    clock.ms = to;
    PrintingSink messages;
    Journal journal(folder, clock, messages, options);
    InsulationTrend trend(journal);
    if (!journal.open()) {
        return fail(QStringLiteral("the journal %1 cannot be written, nothing was done")
                        .arg(journal.filePath()));
    }
    // Made-up samples among real ones would pass for measurements.
    for (const Relay& r : relays) {
        if (const auto span = trend.span(r.address); span && span->second >= from) {
            return fail(QStringLiteral("%1 holds readings of the relay at address %2 from %3 to %4 "
                                       "already; a synthetic history goes only where there are "
                                       "none. Nothing was written.")
                            .arg(journal.filePath())
                            .arg(r.address)
                            .arg(dateTimeText(span->first), dateTimeText(span->second)));
        }
    }

    bool serial = false;
    const QString link = linkName(folder, &serial);
    const auto began = std::chrono::steady_clock::now();
    History history(table, std::move(relays), journal, trend, clock, link, serial, from, to, seed);
    history.run();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (!journal.isWriting() || trend.lostSamples() > 0) {
        return fail(QStringLiteral("the journal stopped taking the history (%1 samples lost)")
                        .arg(trend.lostSamples()));
    }

    print(QStringLiteral("%1: %2 days from %3 to %4, seed %5")
              .arg(journal.filePath())
              .arg(days)
              .arg(dateTimeText(from), dateTimeText(to))
              .arg(seed));
    for (const Relay& r : history.relays()) {
        const auto span = trend.span(r.address);
        const auto levels = trend.levels(r.address);
        const TrendSeries hours = trend.read(r.address, from, to + 1, TrendResolution::Hour);
        QString line = QStringLiteral(
                           "  address %1 (%2): %3 samples written (%4 kept as they "
                           "are), %5 hours, levels %6/%7 kOhm, %8 protection events")
                           .arg(r.address)
                           .arg(r.generator)
                           .arg(r.samples)
                           .arg(r.recentSamples)
                           .arg(hours.points.size())
                           .arg(levels ? levels->signalKohm : 0)
                           .arg(levels ? levels->tripKohm : 0)
                           .arg(r.events);
        if (r.fallFrom) {
            line += QStringLiteral(", falling from %1 to %2 kOhm since %3")
                        .arg(std::lround(r.fallFromKohm.value_or(0)))
                        .arg(std::lround(r.fallToKohm))
                        .arg(dateTimeText(*r.fallFrom));
        }
        if (!span) {
            line += QStringLiteral(", nothing stored");
        }
        print(line);
    }
    print(QStringLiteral("  %1 journal records; station off for %2 h, link lost %3 times; "
                         "journal.db %4 MB; written in %5 s")
              .arg(history.records())
              .arg(history.stationOffMs() / kHour)
              .arg(history.linkLosses())
              .arg(static_cast<double>(QFileInfo(journal.filePath()).size()) / (1024.0 * 1024.0), 0,
                   'f', 1)
              .arg(seconds, 0, 'f', 1));
    return 0;
}
