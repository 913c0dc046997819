#include "alarms/alarm_book.h"

#include <algorithm>

#include "modbus/register_map.h"
#include "station/clock.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {
namespace {

constexpr qint64 kMsPerHour = 3'600'000;

// Status word 19's bits that are alarms of their own, by the kind they raise.
struct StatusBit {
    AlarmKind kind;
    uint16_t mask;
};
constexpr StatusBit kStatusBits[] = {
    {AlarmKind::TripRelay, 1u << 1},
    {AlarmKind::SignalRelay, 1u << 0},
    {AlarmKind::CircuitBreak, 1u << 4},
};

AlarmStatus statusOf(const Alarm& a) {
    return AlarmStatus{a.state, a.shelved(), a.suppressed};
}

bool makesSound(const Alarm& a) {
    return alarmPriority(a.kind) != AlarmPriority::Low;
}

}  // namespace

AlarmBook::AlarmBook(Station& station, StationDisplay& display, const Clock& clock)
    : station_(station), display_(display), clock_(clock) {}

AlarmBook::~AlarmBook() = default;

void AlarmBook::setListener(AlarmListener* listener) {
    listener_ = listener;
}

void AlarmBook::setSound(AlarmSound* sound) {
    if (sound_ != nullptr && sound_ != sound && highSounding_) {
        sound_->stop();
    }
    sound_ = sound;
    highSounding_ = false;
    if (sound_ != nullptr) {
        sound_->setVolume(soundSettings_.volumePercent);
    }
    updateSound();
}

void AlarmBook::setSoundSettings(const AlarmSoundSettings& settings) {
    soundSettings_ = settings;
    soundSettings_.volumePercent = std::clamp(settings.volumePercent, 0, 100);
    if (sound_ != nullptr) {
        sound_->setVolume(soundSettings_.volumePercent);
    }
    updateSound();
}

void AlarmBook::setUser(const QString& user) {
    user_ = user;
}

qint64 AlarmBook::nowMs() const {
    return clock_.now().toMSecsSinceEpoch();
}

void AlarmBook::changed() {
    floodShown_ = flood();
    if (listener_ != nullptr) {
        listener_->alarmsChanged();
    }
}

// ---- what the station says ----

void AlarmBook::recorded(const JournalEntry& entry) {
    const uint16_t address = entry.relay ? entry.relay->address : 0;
    switch (entry.kind) {
        case JournalKind::ProtectionEvent:
            if (entry.relay) {
                raise(AlarmKind::ProtectionEvent, address, entry.text);
            }
            break;
        case JournalKind::Acknowledgement:
            if (entry.relay) {
                if (auto it = alarms_.find({AlarmKind::ProtectionEvent, address});
                    it != alarms_.end() && apply(it->second, AlarmInput::Acknowledge, user_)) {
                    updateSound();
                    changed();
                }
            }
            break;
        case JournalKind::RelaySilent:
            if (entry.relay) {
                raise(AlarmKind::NoAnswer, address, relayText(address, AlarmKind::NoAnswer));
            }
            break;
        case JournalKind::RelayAnswering:
            if (entry.relay) {
                clear(AlarmKind::NoAnswer, address);
            }
            break;
        case JournalKind::LinkLost: {
            const auto* link = std::get_if<LinkDetails>(&entry.details);
            linkLost(link != nullptr ? link->reason : QString());
            break;
        }
        case JournalKind::LinkEstablished:
        case JournalKind::LinkRestored:
            linkBack(false);
            break;
        case JournalKind::OperatorDisconnect:
            linkBack(true);
            break;
        case JournalKind::DeviceDeleted:
            if (entry.relay) {
                removeRelay(address);
            }
            break;
        case JournalKind::DeviceChanged:
            if (const auto* d = std::get_if<DeviceChangeDetails>(&entry.details);
                d != nullptr && d->before && d->after && d->before->address != d->after->address) {
                removeRelay(d->before->address);
            }
            break;
        default:
            break;
    }
}

std::optional<uint16_t> AlarmBook::statusAddress() const {
    // Told while the status block that carried the reading is still the request in flight: the
    // relay that gave it is the one the request asked, not whichever tile the poll has moved on
    // to since (a relay deleted while its request was in flight would lend its bits to another).
    const RequestFrame& request = station_.request;
    if (request.registerAddress() != registers::kStatusBlock ||
        request.countOrValue() != registers::kStatusCount) {
        return std::nullopt;
    }
    const uint16_t address = request.address();
    if (relayNumber(address) == 0) {
        return std::nullopt;
    }
    return address;
}

void AlarmBook::statusRead(int, const StatusReading& reading) {
    const std::optional<uint16_t> address = statusAddress();
    if (!address) {
        return;
    }
    // It answers: whatever the journal made of its silence (it forgets silences across a link
    // loss and a restart), the relay is no longer silent.
    clear(AlarmKind::NoAnswer, *address);
    for (const StatusBit& bit : kStatusBits) {
        if ((reading.statusWord & bit.mask) != 0) {
            // Most answers repeat a bit already raised: no text is made for those.
            const auto it = alarms_.find({bit.kind, *address});
            if (it == alarms_.end() ||
                alarmTransition(statusOf(it->second), AlarmInput::Raise, bit.kind)) {
                raise(bit.kind, *address, relayText(*address, bit.kind));
            }
        } else {
            clear(bit.kind, *address);
        }
    }
}

// ---- moving alarms ----

Alarm* AlarmBook::alarmOf(const QString& id) {
    for (auto& [key, alarm] : alarms_) {
        if (alarmId(alarm) == id) {
            return &alarm;
        }
    }
    return nullptr;
}

Alarm& AlarmBook::alarmFor(AlarmKind kind, uint16_t address) {
    auto [it, added] = alarms_.try_emplace(Key{kind, address});
    if (added) {
        it->second.kind = kind;
        it->second.address = address;
    }
    return it->second;
}

bool AlarmBook::apply(Alarm& alarm, AlarmInput input, const QString& user) {
    const std::optional<AlarmStatus> next = alarmTransition(statusOf(alarm), input, alarm.kind);
    if (!next) {
        return false;
    }
    const qint64 now = nowMs();
    switch (input) {
        case AlarmInput::Raise:
            alarm.raisedAtMs = now;
            alarm.returnedAtMs.reset();
            alarm.acknowledgedAtMs.reset();
            break;
        case AlarmInput::Return:
            alarm.returnedAtMs = now;
            break;
        case AlarmInput::Acknowledge:
            alarm.acknowledgedAtMs = now;
            break;
        case AlarmInput::ShelfEnd:
            alarm.shelvedUntilMs.reset();
            alarm.shelfReason.clear();
            alarm.shelvedBy.clear();
            break;
        default:
            break;
    }
    alarm.state = next->state;
    alarm.suppressed = next->suppressed;
    record(alarm, alarmChangeOf(input), user);
    if (alarm.kind == AlarmKind::ProtectionEvent) {
        markTile(alarm.address, alarm.unacknowledged());
    }
    return true;
}

void AlarmBook::raise(AlarmKind kind, uint16_t address, const QString& text) {
    Alarm& alarm = alarmFor(kind, address);
    if (!alarmTransition(statusOf(alarm), AlarmInput::Raise, kind)) {
        return;
    }
    alarm.text = text;
    if (kind == AlarmKind::NoAnswer && linkAlarmActive()) {
        // Raised under the link alarm: recorded as suppressed from its first record on.
        alarm.suppressed = true;
    }
    apply(alarm, AlarmInput::Raise);
    if (alarm.annunciated()) {
        annunciate(alarm);
    }
    updateSound();
    changed();
}

void AlarmBook::clear(AlarmKind kind, uint16_t address) {
    const auto it = alarms_.find({kind, address});
    if (it == alarms_.end() || !apply(it->second, AlarmInput::Return)) {
        return;
    }
    updateSound();
    changed();
}

bool AlarmBook::linkAlarmActive() const {
    const auto it = alarms_.find({AlarmKind::LinkLost, 0});
    return it != alarms_.end() && it->second.active();
}

void AlarmBook::linkLost(const QString& reason) {
    raise(AlarmKind::LinkLost, 0,
          reason.isEmpty() ? alarmKindText(AlarmKind::LinkLost)
                           : alarmKindText(AlarmKind::LinkLost) + QStringLiteral(": ") + reason);
    if (!linkAlarmActive()) {
        return;
    }
    bool moved = false;
    for (auto& [key, alarm] : alarms_) {
        if (key.kind == AlarmKind::NoAnswer && alarm.state != AlarmState::Normal) {
            moved |= apply(alarm, AlarmInput::Suppress);
        }
    }
    if (moved) {
        updateSound();
        changed();
    }
}

void AlarmBook::linkBack(bool operatorClosed) {
    bool moved = false;
    if (auto it = alarms_.find({AlarmKind::LinkLost, 0}); it != alarms_.end()) {
        moved |= apply(it->second, AlarmInput::Return);
    }
    std::vector<const Alarm*> back;
    for (auto& [key, alarm] : alarms_) {
        if (key.kind != AlarmKind::NoAnswer) {
            continue;
        }
        // The operator closed the line: whether a relay answers is no longer known.
        if (operatorClosed) {
            moved |= apply(alarm, AlarmInput::Return);
        }
        if (apply(alarm, AlarmInput::Unsuppress)) {
            moved = true;
            if (alarm.annunciated() && alarm.unacknowledged()) {
                back.push_back(&alarm);
            }
        }
    }
    for (const Alarm* alarm : back) {
        annunciate(*alarm);
    }
    if (moved) {
        updateSound();
        changed();
    }
}

void AlarmBook::removeRelay(uint16_t address) {
    bool moved = false;
    for (auto it = alarms_.begin(); it != alarms_.end();) {
        if (it->first.address != address || it->first.kind == AlarmKind::LinkLost) {
            ++it;
            continue;
        }
        Alarm gone = it->second;
        it = alarms_.erase(it);
        if (gone.state == AlarmState::Normal && !gone.shelved()) {
            continue;
        }
        // Recorded as it stops standing, so that a restart does not bring it back.
        gone.state = AlarmState::Normal;
        gone.shelvedUntilMs.reset();
        gone.shelfReason.clear();
        gone.shelvedBy.clear();
        gone.suppressed = false;
        record(gone, AlarmChange::Removed);
        moved = true;
    }
    if (moved) {
        updateSound();
        changed();
    }
}

void AlarmBook::record(const Alarm& alarm, AlarmChange change, const QString& user) {
    station_.journal.alarmChanged(AlarmDetails{alarm, change, user}, relayNumber(alarm.address));
}

int AlarmBook::relayNumber(uint16_t address) const {
    if (address == 0) {
        return 0;
    }
    const DeviceTable& devices = station_.devices;
    for (int n = 1; n <= devices.DeviceCount; ++n) {
        if (devices.entry(n).Address == address) {
            return n;
        }
    }
    return 0;
}

QString AlarmBook::relayText(uint16_t address, AlarmKind kind) const {
    const int number = relayNumber(address);
    const QString name = number != 0 ? station_.devices.entry(number).GeneratorName
                                     : QStringLiteral("адрес %1").arg(address);
    return name + QStringLiteral(": ") + alarmKindText(kind);
}

void AlarmBook::markTile(uint16_t address, bool waiting) {
    const int number = relayNumber(address);
    if (number == 0) {
        return;
    }
    TileModel& tile = station_.tile(number);
    tile.eventWaiting = waiting;
    // A relay that does not answer stays grey; it turns red or green when it answers again.
    if (tile.state == kTileNoAnswer) {
        return;
    }
    const int state = waiting ? kTileEvent : kTileAnswering;
    if (tile.state != state) {
        display_.setTileState(number, state);
    }
}

// ---- sound and flood ----

void AlarmBook::annunciate(const Alarm& alarm) {
    raisedMs_.push_back(nowMs());
    dropOldRaises();
    if (!makesSound(alarm)) {
        return;
    }
    silenced_ = false;
    if (alarmPriority(alarm.kind) == AlarmPriority::Medium && sound_ != nullptr &&
        soundSettings_.enabled && !highSounding_) {
        // Once; a high alarm's sound that calls already is not cut short by it.
        sound_->play(AlarmPriority::Medium, false);
    }
}

void AlarmBook::updateSound() {
    bool highWaits = false;
    for (const auto& [key, alarm] : alarms_) {
        if (alarm.annunciated() && alarm.unacknowledged() &&
            alarmPriority(alarm.kind) == AlarmPriority::High) {
            highWaits = true;
            break;
        }
    }
    const bool wanted = highWaits && !silenced_ && soundSettings_.enabled && sound_ != nullptr;
    if (wanted && !highSounding_) {
        sound_->play(AlarmPriority::High, true);
        highSounding_ = true;
    } else if (!wanted && highSounding_) {
        if (sound_ != nullptr) {
            sound_->stop();
        }
        highSounding_ = false;
    }
}

void AlarmBook::dropOldRaises() {
    const qint64 from = nowMs() - qint64{kFloodWindowSeconds} * 1000;
    while (!raisedMs_.empty() && raisedMs_.front() <= from) {
        raisedMs_.pop_front();
    }
    // A clock set back leaves raises "in the future": they are still the last ones.
}

bool AlarmBook::flood() const {
    const qint64 from = nowMs() - qint64{kFloodWindowSeconds} * 1000;
    const auto recent =
        std::count_if(raisedMs_.begin(), raisedMs_.end(), [from](qint64 at) { return at > from; });
    return recent > kFloodAlarms;
}

// ---- start-up and time ----

void AlarmBook::restore(const std::vector<Alarm>& standing) {
    bool any = false;
    for (const Alarm& kept : standing) {
        any = true;
        Alarm alarm = kept;
        // A protection event is never shelved, nor anything but a relay's silence suppressed:
        // a file that says otherwise is not believed.
        if (!alarmShelvable(alarm.kind)) {
            alarm.shelvedUntilMs.reset();
            alarm.shelfReason.clear();
            alarm.shelvedBy.clear();
        }
        if (alarm.kind != AlarmKind::NoAnswer) {
            alarm.suppressed = false;
        }
        if (alarm.kind != AlarmKind::LinkLost && relayNumber(alarm.address) == 0) {
            // Its relay left the list while the station was stopped: it stands no more.
            alarm.state = AlarmState::Normal;
            alarm.shelvedUntilMs.reset();
            alarm.shelfReason.clear();
            alarm.shelvedBy.clear();
            alarm.suppressed = false;
            record(alarm, AlarmChange::Removed);
            continue;
        }
        Alarm& restored = alarms_[Key{alarm.kind, alarm.address}];
        restored = alarm;
        apply(restored, AlarmInput::Restore);
    }
    if (!any) {
        return;
    }
    // Suppression holds only under an active link alarm.
    if (!linkAlarmActive()) {
        for (auto& [key, alarm] : alarms_) {
            apply(alarm, AlarmInput::Unsuppress);
        }
    }
    // What waited for the operator at the stop calls him again at the start.
    for (const auto& [key, alarm] : alarms_) {
        if (alarm.annunciated() && alarm.unacknowledged() && makesSound(alarm)) {
            silenced_ = false;
            if (alarmPriority(alarm.kind) == AlarmPriority::Medium && sound_ != nullptr &&
                soundSettings_.enabled && !highSounding_) {
                sound_->play(AlarmPriority::Medium, false);
            }
        }
    }
    updateSound();
    changed();
}

void AlarmBook::secondPassed() {
    const qint64 now = nowMs();
    bool moved = false;
    std::vector<const Alarm*> back;
    for (auto& [key, alarm] : alarms_) {
        if (alarm.shelvedUntilMs && *alarm.shelvedUntilMs <= now &&
            apply(alarm, AlarmInput::ShelfEnd)) {
            moved = true;
            if (alarm.annunciated() && alarm.unacknowledged()) {
                back.push_back(&alarm);
            }
        }
    }
    for (const Alarm* alarm : back) {
        annunciate(*alarm);
    }
    dropOldRaises();
    if (moved) {
        updateSound();
    }
    if (moved || flood() != floodShown_) {
        changed();
    }
}

// ---- the operator ----

bool AlarmBook::acknowledge(const QString& id) {
    Alarm* alarm = alarmOf(id);
    if (alarm == nullptr || !apply(*alarm, AlarmInput::Acknowledge, user_)) {
        return false;
    }
    updateSound();
    changed();
    return true;
}

int AlarmBook::acknowledgeAll(const std::vector<QString>& ids) {
    int count = 0;
    for (const QString& id : ids) {
        Alarm* alarm = alarmOf(id);
        if (alarm != nullptr && apply(*alarm, AlarmInput::Acknowledge, user_)) {
            ++count;
        }
    }
    if (count > 0) {
        updateSound();
        changed();
    }
    return count;
}

void AlarmBook::silence() {
    const bool was = silenced_;
    silenced_ = true;
    if (sound_ != nullptr) {
        sound_->stop();
    }
    highSounding_ = false;
    if (!was) {
        changed();
    }
}

bool AlarmBook::shelve(const QString& id, int hours, const QString& reason) {
    Alarm* alarm = alarmOf(id);
    const QString why = reason.trimmed();
    if (alarm == nullptr || why.isEmpty() ||
        std::find(std::begin(kShelfHours), std::end(kShelfHours), hours) == std::end(kShelfHours)) {
        return false;
    }
    if (!alarmTransition(statusOf(*alarm), AlarmInput::Shelve, alarm->kind)) {
        return false;
    }
    alarm->shelvedUntilMs = nowMs() + hours * kMsPerHour;
    alarm->shelfReason = why;
    alarm->shelvedBy = user_;
    record(*alarm, AlarmChange::Shelved, user_);
    updateSound();
    changed();
    return true;
}

bool AlarmBook::unshelve(const QString& id) {
    Alarm* alarm = alarmOf(id);
    if (alarm == nullptr || !apply(*alarm, AlarmInput::ShelfEnd, user_)) {
        return false;
    }
    if (alarm->annunciated() && alarm->unacknowledged()) {
        annunciate(*alarm);
    }
    updateSound();
    changed();
    return true;
}

// ---- what the windows show ----

std::vector<Alarm> AlarmBook::shown() const {
    std::vector<Alarm> rows;
    for (const auto& [key, alarm] : alarms_) {
        if (alarm.annunciated() && (alarm.active() || alarm.unacknowledged())) {
            rows.push_back(alarm);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Alarm& a, const Alarm& b) {
        if (alarmPriority(a.kind) != alarmPriority(b.kind)) {
            return alarmPriority(a.kind) < alarmPriority(b.kind);
        }
        return a.raisedAtMs.value_or(0) > b.raisedAtMs.value_or(0);
    });
    return rows;
}

std::vector<Alarm> AlarmBook::shelvedAlarms() const {
    std::vector<Alarm> rows;
    for (const auto& [key, alarm] : alarms_) {
        if (alarm.shelved()) {
            rows.push_back(alarm);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Alarm& a, const Alarm& b) {
        return *a.shelvedUntilMs < *b.shelvedUntilMs;
    });
    return rows;
}

std::vector<Alarm> AlarmBook::standing() const {
    std::vector<Alarm> rows;
    for (const auto& [key, alarm] : alarms_) {
        if (alarm.state != AlarmState::Normal || alarm.shelved()) {
            rows.push_back(alarm);
        }
    }
    return rows;
}

std::optional<Alarm> AlarmBook::find(const QString& id) const {
    for (const auto& [key, alarm] : alarms_) {
        if (alarmId(alarm) == id) {
            return alarm;
        }
    }
    return std::nullopt;
}

int AlarmBook::unacknowledgedCount() const {
    return static_cast<int>(std::count_if(alarms_.begin(), alarms_.end(), [](const auto& kv) {
        return kv.second.annunciated() && kv.second.unacknowledged();
    }));
}

bool AlarmBook::eventWaiting(int number) const {
    if (number < 1 || number > station_.devices.DeviceCount) {
        return false;
    }
    const auto it =
        alarms_.find({AlarmKind::ProtectionEvent, station_.devices.entry(number).Address});
    return it != alarms_.end() && it->second.unacknowledged();
}

}  // namespace terval
