#include "app/station_map_builder.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <limits>

#include "alarms/alarm_book.h"
#include "link/link_controller.h"
#include "modbus/register_map.h"
#include "station/clock.h"
#include "station/station.h"

namespace terval {

namespace sm = station_map;

namespace {

const QString kFileHeader = QStringLiteral("terval modbus events 1");

uint32_t clampU32(qint64 v) {
    return static_cast<uint32_t>(std::clamp<qint64>(v, 0, std::numeric_limits<uint32_t>::max()));
}

uint16_t clampU16(qint64 v) {
    return static_cast<uint16_t>(std::clamp<qint64>(v, 0, std::numeric_limits<uint16_t>::max()));
}

void put32(sm::StationMapImage& image, uint16_t high, uint32_t value) {
    image.words[high] = static_cast<uint16_t>(value >> 16);
    image.words[high + 1] = static_cast<uint16_t>(value & 0xFFFF);
}

// Whether two events are the same one: the file keeps no journal id, and the journal's record of
// an event is told by its relay, what tripped and when.
bool sameEvent(const MapEvent& a, const MapEvent& b) {
    return a.address == b.address && a.signCode == b.signCode && a.relayTimeS == b.relayTimeS &&
           a.detectedMs == b.detectedMs;
}

const std::bitset<sm::kMapEnd>& mappedRegisters() {
    static const std::bitset<sm::kMapEnd> mapped = [] {
        std::bitset<sm::kMapEnd> bits;
        for (uint16_t r = 0; r < sm::kMapEnd; ++r) {
            bits[r] = sm::inMap(r);
        }
        return bits;
    }();
    return mapped;
}

}  // namespace

MapEvent mapEventOf(const JournalEntry& entry) {
    MapEvent event;
    if (entry.relay) {
        event.tile = clampU16(entry.relay->number);
        event.address = entry.relay->address;
    }
    if (const auto* details = std::get_if<ProtectionEventDetails>(&entry.details)) {
        event.signCode = details->signCode;
        if (details->relayTime.isValid()) {
            event.relayTimeS = std::max<qint64>(0, details->relayTime.toSecsSinceEpoch());
        }
    }
    event.detectedMs = entry.timeMs;
    return event;
}

// ---- the queue ----

void MapEventQueue::push(MapEvent event) {
    event.sequence = ++newest_;
    events_.push_back(event);
    while (events_.size() > static_cast<size_t>(sm::kEventSlots)) {
        events_.pop_front();
    }
    unsaved_ = true;
}

void MapEventQueue::add(const JournalEntry& entry) {
    if (entry.kind != JournalKind::ProtectionEvent ||
        !std::holds_alternative<ProtectionEventDetails>(entry.details)) {
        return;
    }
    push(mapEventOf(entry));
}

QString MapEventQueue::load(const std::vector<JournalEntry>& journalNewestFirst) {
    newest_ = 0;
    events_.clear();
    unsaved_ = false;
    QString problem;
    QFile file(filePath_);
    if (file.exists()) {
        const auto broken = [&](const QString& why) {
            newest_ = 0;
            events_.clear();
            return QStringLiteral(
                       "Файл событий для АСУ ТП %1 не прочитан (%2): номера событий "
                       "начаты заново.")
                .arg(filePath_, why);
        };
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            problem = broken(file.errorString());
        } else {
            QTextStream in(&file);
            const QString header = in.readLine();
            const QStringList newest = in.readLine().split(u' ');
            bool ok = header == kFileHeader && newest.size() == 2 &&
                      newest[0] == QStringLiteral("newest");
            if (ok) {
                newest_ = newest[1].toUInt(&ok);
            }
            while (ok && !in.atEnd()) {
                const QString line = in.readLine();
                if (line.isEmpty()) {
                    continue;
                }
                const QStringList f = line.split(u' ');
                ok = f.size() == 6;
                MapEvent e;
                bool good[6] = {};
                if (ok) {
                    e.sequence = f[0].toUInt(&good[0]);
                    e.tile = f[1].toUShort(&good[1]);
                    e.address = f[2].toUShort(&good[2]);
                    e.signCode = f[3].toUShort(&good[3]);
                    e.relayTimeS = f[4].toLongLong(&good[4]);
                    e.detectedMs = f[5].toLongLong(&good[5]);
                    ok = std::all_of(std::begin(good), std::end(good), [](bool b) { return b; });
                }
                // Each kept event below the newest number and above the one before it.
                ok = ok && e.sequence >= 1 && e.sequence <= newest_ &&
                     (events_.empty() || e.sequence > events_.back().sequence);
                if (ok) {
                    events_.push_back(e);
                }
            }
            if (ok && events_.size() > static_cast<size_t>(sm::kEventSlots)) {
                ok = false;
            }
            if (!ok) {
                problem = broken(QStringLiteral("файл повреждён"));
            }
        }
    }
    // The journal's events that came after the newest the file kept: numbered on from it.
    const qint64 since =
        events_.empty() ? std::numeric_limits<qint64>::min() : events_.back().detectedMs;
    for (auto it = journalNewestFirst.rbegin(); it != journalNewestFirst.rend(); ++it) {
        if (it->kind != JournalKind::ProtectionEvent) {
            continue;
        }
        const MapEvent e = mapEventOf(*it);
        if (e.detectedMs < since ||
            std::any_of(events_.begin(), events_.end(),
                        [&](const MapEvent& k) { return sameEvent(k, e); })) {
            continue;
        }
        push(e);
    }
    return problem;
}

QString MapEventQueue::save() {
    if (!unsaved_) {
        return {};
    }
    QSaveFile file(filePath_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return QStringLiteral("Файл событий для АСУ ТП %1 не записан: %2")
            .arg(filePath_, file.errorString());
    }
    QTextStream out(&file);
    out << kFileHeader << '\n' << "newest " << newest_ << '\n';
    for (const MapEvent& e : events_) {
        out << e.sequence << ' ' << e.tile << ' ' << e.address << ' ' << e.signCode << ' '
            << e.relayTimeS << ' ' << e.detectedMs << '\n';
    }
    out.flush();
    if (!file.commit()) {
        return QStringLiteral("Файл событий для АСУ ТП %1 не записан: %2")
            .arg(filePath_, file.errorString());
    }
    unsaved_ = false;
    return {};
}

// ---- the image ----

StationMapBuilder::StationMapBuilder(const Station& station, const LinkController& link,
                                     const AlarmBook& alarms, const Clock& clock,
                                     MapEventQueue& events, StoredLevels storedLevels)
    : station_(station),
      link_(link),
      alarms_(alarms),
      clock_(clock),
      events_(events),
      storedLevels_(std::move(storedLevels)) {}

bool StationMapBuilder::listed(uint16_t address) const {
    const DeviceTable& devices = station_.devices;
    for (int n = 1; n <= devices.DeviceCount; ++n) {
        if (devices.entry(n).Address == address) {
            return true;
        }
    }
    return false;
}

void StationMapBuilder::recorded(const JournalEntry& entry) {
    if (entry.kind == JournalKind::ProtectionEvent) {
        const uint32_t before = events_.newest();
        events_.add(entry);
        eventsChanged_ = eventsChanged_ || events_.newest() != before;
        return;
    }
    // A relay leaving an address (deleted, or given another): what was read from that address
    // goes at once, so that a relay given the address next does not show it as its own.
    const auto* change = std::get_if<DeviceChangeDetails>(&entry.details);
    if (change == nullptr || !change->before || !entry.relay) {
        return;
    }
    const uint16_t left = change->before->address;
    const bool leaves = entry.kind == JournalKind::DeviceDeleted ||
                        (entry.kind == JournalKind::DeviceChanged && change->after &&
                         change->after->address != left);
    if (!leaves) {
        return;
    }
    // Told before a deleted relay leaves the table: another relay still on that address keeps it.
    const DeviceTable& devices = station_.devices;
    for (int n = 1; n <= devices.DeviceCount; ++n) {
        if (n != entry.relay->number && devices.entry(n).Address == left) {
            return;
        }
    }
    readings_.erase(left);
    levels_.erase(left);
    levelsLookedUp_.erase(left);
}

void StationMapBuilder::statusRead(int, const StatusReading& reading) {
    // The relay that gave it is the one the request in flight asked, whichever tile the poll has
    // moved on to since.
    const RequestFrame& request = station_.request;
    if (request.registerAddress() != registers::kStatusBlock ||
        request.countOrValue() != registers::kStatusCount || !listed(request.address())) {
        return;
    }
    readings_[request.address()] = Reading{reading, clock_.now().toMSecsSinceEpoch()};
}

void StationMapBuilder::alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) {
    if (relay < 1 || relay > station_.devices.DeviceCount) {
        return;
    }
    const uint16_t address = station_.devices.entry(relay).Address;
    levels_[address] = AlarmLevels{clock_.now().toMSecsSinceEpoch(), signalKohm, tripKohm};
    levelsLookedUp_.insert(address);
}

std::optional<AlarmLevels> StationMapBuilder::levelsOf(uint16_t address) {
    if (const auto known = levels_.find(address); known != levels_.end()) {
        return known->second;
    }
    // Asked of the store once per address: the levels change only when read again, and that
    // comes through the stream.
    if (storedLevels_ && levelsLookedUp_.insert(address).second) {
        if (const std::optional<AlarmLevels> stored = storedLevels_(address)) {
            levels_[address] = *stored;
            return stored;
        }
    }
    return std::nullopt;
}

sm::StationMapImage StationMapBuilder::build() {
    eventsChanged_ = false;
    sm::StationMapImage image;
    image.mapped = mappedRegisters();
    const QDateTime now = clock_.now();
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const DeviceTable& devices = station_.devices;
    const int count = std::clamp(devices.DeviceCount, 0, sm::kRelayTiles);

    namespace st = sm::station;
    image.words[st::kHeartbeat] = heartbeat_;
    image.words[st::kLinkState] = static_cast<uint16_t>(link_.state());
    image.words[st::kRelayCount] = static_cast<uint16_t>(count);
    image.words[st::kUnacknowledged] = clampU16(alarms_.unacknowledgedCount());
    put32(image, st::kTimeHigh, clampU32(now.toSecsSinceEpoch()));
    image.words[st::kVersion] = sm::kMapVersion;
    put32(image, st::kEventSequenceHigh, events_.newest());
    image.words[st::kEventsHeld] = static_cast<uint16_t>(events_.events().size());

    namespace rl = sm::relay;
    for (int n = 1; n <= count; ++n) {
        const DeviceEntry& e = devices.entry(n);
        const TileModel& tile = station_.tile(n);
        const uint16_t base = sm::relayBlock(n);
        auto at = [&](uint16_t word) -> uint16_t& { return image.words[base + word]; };
        at(rl::kListed) = 1;
        at(rl::kAddress) = e.Address;
        at(rl::kState) = tile.state == kTileEvent ? 2 : tile.state == kTileAnswering ? 1 : 0;
        at(rl::kAgeSeconds) = sm::kNotKnown;
        if (const auto r = readings_.find(e.Address); r != readings_.end()) {
            const StatusReading& v = r->second.values;
            at(rl::kInsulationKohm) = v.insulationKohm;
            at(rl::kControlKohm) = v.controlKohm;
            at(rl::kExcitationDeciVolt) = v.excitationDeciVolt;
            at(rl::kInjectedDeciVolt) = v.injectedDeciVolt;
            at(rl::kStatusWord) = v.statusWord;
            at(rl::kSerialNumber) = v.serialNumber;
            // A clock set back makes a reading look younger than now: it is taken as fresh.
            at(rl::kAgeSeconds) = clampU16((nowMs - r->second.readAtMs) / 1000);
        }
        const std::optional<AlarmLevels> levels = levelsOf(e.Address);
        at(rl::kSignalLevelKohm) = levels ? levels->signalKohm : sm::kNotKnown;
        at(rl::kTripLevelKohm) = levels ? levels->tripKohm : sm::kNotKnown;
        put32(image, base + rl::kGoodAnswersHigh, e.GoodAnswers);
        put32(image, base + rl::kBadAnswersHigh, e.BadAnswers);
    }
    // Readings of addresses no relay has any more are not kept for ever.
    std::erase_if(readings_, [&](const auto& r) { return !listed(r.first); });

    namespace ev = sm::event;
    for (const MapEvent& event : events_.events()) {
        const uint16_t base =
            sm::eventSlot(static_cast<int>((event.sequence - 1) % sm::kEventSlots));
        put32(image, base + ev::kSequenceHigh, event.sequence);
        image.words[base + ev::kTile] = event.tile;
        image.words[base + ev::kAddress] = event.address;
        image.words[base + ev::kSignCode] = event.signCode;
        put32(image, base + ev::kRelayTimeHigh, clampU32(event.relayTimeS));
        put32(image, base + ev::kDetectedHigh, clampU32(event.detectedMs / 1000));
    }
    return image;
}

}  // namespace terval
