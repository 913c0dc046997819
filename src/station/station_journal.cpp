#include "station/station_journal.h"

#include <algorithm>
#include <cstdlib>

#include "modbus/answer_match.h"
#include "station/clock.h"
#include "station/date_time_text.h"
#include "station/poll_state.h"

namespace terval {
namespace {

// A relay clock this far off the computer's is worth a record.
constexpr qint64 kClockOffsetWorthRecordingMs = 60'000;

QString quoted(const QString& caption) {
    return QStringLiteral("«") + caption + QStringLiteral("»");
}

QString outcomeText(WriteOutcome outcome, uint8_t exceptionCode) {
    switch (outcome) {
        case WriteOutcome::Echoed:
            return QStringLiteral("защита подтвердила");
        case WriteOutcome::Refused:
            return QStringLiteral("защита не приняла: %1 (код %2)")
                .arg(exceptionText(exceptionCode))
                .arg(exceptionCode);
        case WriteOutcome::NoEcho:
            return QStringLiteral("нет подтверждения от защиты");
        case WriteOutcome::NotSent:
            return QStringLiteral("не отправлено");
    }
    return {};
}

QString registerText(uint16_t reg) {
    return QStringLiteral("0x") +
           QString::number(reg, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

QString namesText(const DeviceNames& names) {
    return QStringLiteral("адрес %1, «%2», «%3»")
        .arg(names.address)
        .arg(names.generator, names.breaker);
}

DeviceNames namesOf(const DeviceEntry& e) {
    return DeviceNames{e.Address, e.GeneratorName, e.BreakerName};
}

}  // namespace

QString writeStopText(WriteStop why) {
    switch (why) {
        case WriteStop::WindowClosed:
            return QStringLiteral("окно параметров закрыто до её очереди");
        case WriteStop::LinkClosed:
            return QStringLiteral("связь отключена");
        case WriteStop::LinkLost:
            return QStringLiteral("связь потеряна");
        case WriteStop::StationStopped:
            return QStringLiteral("станция остановлена");
        case WriteStop::QueueFull:
            return QStringLiteral("уже ждут отправки %1 записей").arg(kMaxQueuedWrites);
    }
    return {};
}

QString writeSubjectText(const WriteNote& note, uint16_t firstRegister, int count) {
    const QString registers =
        count > 1 ? QStringLiteral("регистры %1–%2")
                        .arg(registerText(firstRegister),
                             registerText(static_cast<uint16_t>(firstRegister + count - 1)))
                  : QStringLiteral("регистр ") + registerText(firstRegister);
    if (note.clock) {
        return QStringLiteral("часов защиты (") + registers + QLatin1Char(')');
    }
    if (note.caption.isEmpty()) {
        return count > 1 ? registers : QStringLiteral("регистра ") + registerText(firstRegister);
    }
    return quoted(note.caption) + QStringLiteral(" (") + registers + QLatin1Char(')');
}

QString journalDurationText(qint64 ms) {
    const qint64 s = std::max<qint64>(0, (ms + 500) / 1000);
    const qint64 days = s / 86400;
    const qint64 hours = s / 3600 % 24;
    const qint64 minutes = s / 60 % 60;
    const qint64 seconds = s % 60;
    if (days > 0) {
        return QStringLiteral("%1 сут %2 ч").arg(days).arg(hours);
    }
    if (hours > 0) {
        return QStringLiteral("%1 ч %2 мин").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'));
    }
    if (minutes > 0) {
        return QStringLiteral("%1 мин %2 с").arg(minutes).arg(seconds, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1 с").arg(seconds);
}

QString clockOffsetText(qint64 ms) {
    // Rounded to the nearer second, a half towards zero, and alike on both sides: a relay clock
    // read in whole seconds is half a second off at best.
    const qint64 s = (std::llabs(ms) + 499) / 1000;
    if (s == 0) {
        return QStringLiteral("0 с");
    }
    QString text = (ms < 0 ? QStringLiteral("−") : QStringLiteral("+")) + QString::number(s) +
                   QStringLiteral(" с");
    // Hundreds of seconds say little at a glance.
    if (s >= 60) {
        text += QStringLiteral(" (") + journalDurationText(s * 1000) + QLatin1Char(')');
    }
    return text;
}

void JournalWriter::recorded(const JournalEntry& entry) {
    if (sink_ != nullptr) {
        sink_->append(entry.kind, entry.relay, entry.text, entry.details);
    }
}

void JournalWriter::statusRead(int relay, const StatusReading& reading) {
    if (trend_ == nullptr || relay < 1 || relay > devices_.DeviceCount) {
        return;
    }
    const qint64 nowMs = clock_ != nullptr ? clock_->now().toMSecsSinceEpoch() : 0;
    trend_->add(
        {devices_.entry(relay).Address, nowMs, reading.insulationKohm, reading.controlKohm});
}

StationJournal::StationJournal(const DeviceTable& devices) : devices_(devices), writer_(devices) {
    records_.addFeed(&writer_);
}

void StationJournal::attach(JournalSink* sink, const Clock* clock, TrendSink* trend) {
    clock_ = clock;
    trend_ = trend;
    writer_.attach(sink, clock, trend);
}

std::optional<JournalRelay> StationJournal::relay(int number) const {
    if (number < 1 || number > devices_.DeviceCount) {
        return std::nullopt;
    }
    const DeviceEntry& e = devices_.entry(number);
    return JournalRelay{number, e.Address, e.GeneratorName, e.BreakerName};
}

void StationJournal::append(JournalKind kind, const std::optional<JournalRelay>& relay,
                            const QString& text, const JournalDetails& details) {
    records_.recorded(JournalEntry{0, nowMs(), kind, relay, text, details});
}

qint64 StationJournal::nowMs() const {
    return clock_ != nullptr ? clock_->now().toMSecsSinceEpoch() : 0;
}

void StationJournal::forgetSilences() {
    silentSinceMs_.fill(std::nullopt);
}

// ---- the station ----

void StationJournal::stationStarted(const QString& version) {
    append(JournalKind::StationStarted, std::nullopt,
           QStringLiteral("Станция запущена, версия ") + version);
}

void StationJournal::stationStopped() {
    append(JournalKind::StationStopped, std::nullopt, QStringLiteral("Станция остановлена"));
}

// ---- protection events and the operator's answers to them ----

void StationJournal::protectionEvent(int relay, const QDateTime& relayTime, uint16_t signCode,
                                     const QString& signText, const TripRecord& record,
                                     const QString& alarmLine) {
    append(JournalKind::ProtectionEvent, this->relay(relay), alarmLine,
           ProtectionEventDetails{relayTime, signCode, signText, record});
}

void StationJournal::acknowledged(int relay) {
    append(JournalKind::Acknowledgement, this->relay(relay),
           QStringLiteral("Событие квитировано: просмотрены протоколы изменения изоляции"));
}

void StationJournal::alarmLineMarked(const QString& line, int relay) {
    append(JournalKind::AlarmLineMarked, this->relay(relay),
           QStringLiteral("Строка тревоги отмечена: ") + line, AlarmLineDetails{line});
}

void StationJournal::alarmLineDeleted(const QString& line, int relay) {
    append(JournalKind::AlarmLineDeleted, this->relay(relay),
           QStringLiteral("Строка тревоги удалена: ") + line, AlarmLineDetails{line});
}

void StationJournal::alarmLogCleared(int lineCount) {
    append(JournalKind::AlarmLogCleared, std::nullopt,
           QStringLiteral("Удалены все строки тревог: %1").arg(lineCount),
           AlarmLogClearedDetails{lineCount});
}

// ---- alarms ----

namespace {

QString alarmChangeText(const AlarmDetails& d) {
    const Alarm& a = d.alarm;
    const QString by =
        d.user.isEmpty() ? QString() : QStringLiteral(" (") + d.user + QLatin1Char(')');
    switch (d.change) {
        case AlarmChange::Raised:
            return a.suppressed ? QStringLiteral("возник, подавлен: связь потеряна")
                                : QStringLiteral("возник");
        case AlarmChange::Returned:
            return a.unacknowledged() ? QStringLiteral("вернулся в норму, не квитирован")
                                      : QStringLiteral("вернулся в норму");
        case AlarmChange::Acknowledged:
            return QStringLiteral("квитирован") + by;
        case AlarmChange::Shelved: {
            const QString until = a.shelvedUntilMs
                                      ? QDateTime::fromMSecsSinceEpoch(*a.shelvedUntilMs)
                                            .toString(QStringLiteral("dd.MM.yyyy HH:mm"))
                                      : QString();
            return QStringLiteral("отложен до ") + until + by + QStringLiteral(": ") +
                   a.shelfReason;
        }
        case AlarmChange::Unshelved:
            return d.user.isEmpty() ? QStringLiteral("снова показывается: срок откладывания истёк")
                                    : QStringLiteral("снова показывается") + by;
        case AlarmChange::Suppressed:
            return QStringLiteral("подавлен: связь потеряна");
        case AlarmChange::Unsuppressed:
            return QStringLiteral("больше не подавлен");
        case AlarmChange::Restored:
            return QStringLiteral("восстановлен при запуске: ") +
                   alarmStateText(a.state).toLower() +
                   (a.shelved() ? QStringLiteral(", отложен") : QString());
        case AlarmChange::Removed:
            return QStringLiteral("снят: объект удалён или сменил адрес");
    }
    return {};
}

}  // namespace

void StationJournal::alarmChanged(const AlarmDetails& details, int relay) {
    append(JournalKind::AlarmChanged, this->relay(relay),
           QStringLiteral("Аварийный сигнал: ") + details.alarm.text + QStringLiteral(" — ") +
               alarmChangeText(details),
           details);
}

// ---- the link ----

void StationJournal::operatorConnect(const QString& link) {
    linkWanted_ = true;
    linkRecordedUp_ = false;
    linkDownSinceMs_.reset();
    append(JournalKind::OperatorConnect, std::nullopt,
           QStringLiteral("Оператор: «Установить связь», ") + link, LinkDetails{link, {}, {}});
}

void StationJournal::operatorDisconnect(const QString& link) {
    linkWanted_ = false;
    linkRecordedUp_ = false;
    linkDownSinceMs_.reset();
    forgetSilences();
    append(JournalKind::OperatorDisconnect, std::nullopt,
           QStringLiteral("Оператор: «Отключиться», ") + link, LinkDetails{link, {}, {}});
}

void StationJournal::linkUp(const QString& link) {
    if (linkRecordedUp_) {
        return;
    }
    linkRecordedUp_ = true;
    if (linkDownSinceMs_) {
        const qint64 downFor = nowMs() - *linkDownSinceMs_;
        linkDownSinceMs_.reset();
        append(JournalKind::LinkRestored, std::nullopt,
               QStringLiteral("Связь восстановлена через %1: ").arg(journalDurationText(downFor)) +
                   link,
               LinkDetails{link, {}, downFor});
        return;
    }
    append(JournalKind::LinkEstablished, std::nullopt, QStringLiteral("Связь установлена: ") + link,
           LinkDetails{link, {}, {}});
}

void StationJournal::linkDown(const QString& link, const QString& reason) {
    // While it is down the relays' silence is the link's, not theirs.
    forgetSilences();
    if (!linkWanted_ || linkDownSinceMs_) {
        return;
    }
    linkRecordedUp_ = false;
    linkDownSinceMs_ = nowMs();
    append(JournalKind::LinkLost, std::nullopt, QStringLiteral("Связь потеряна: ") + reason,
           LinkDetails{link, reason, {}});
}

void StationJournal::brokerLost(const QString& broker, const QString& reason) {
    if (brokerLostSinceMs_) {
        return;
    }
    brokerLostSinceMs_ = nowMs();
    append(JournalKind::BrokerLost, std::nullopt,
           QStringLiteral("Брокер MQTT %1: %2").arg(broker, reason),
           LinkDetails{broker, reason, {}});
}

void StationJournal::brokerReached(const QString& broker) {
    if (!brokerLostSinceMs_) {
        return;
    }
    const qint64 downFor = nowMs() - *brokerLostSinceMs_;
    brokerLostSinceMs_.reset();
    append(JournalKind::BrokerRestored, std::nullopt,
           QStringLiteral("Связь с брокером MQTT %1 восстановлена через %2")
               .arg(broker, journalDurationText(downFor)),
           LinkDetails{broker, {}, downFor});
}

void StationJournal::brokerLeftUnsent(const QString& broker, const QString& reason) {
    append(JournalKind::BrokerLost, std::nullopt,
           QStringLiteral("Брокер MQTT %1: %2").arg(broker, reason),
           LinkDetails{broker, reason, {}});
}

void StationJournal::dcsClientConnected(const QString& client, const QString& note) {
    append(JournalKind::DcsClientConnected, std::nullopt,
           QStringLiteral("Клиент Modbus-сервера %1 подключился").arg(client) + note,
           LinkDetails{client, note.trimmed(), {}});
}

void StationJournal::dcsClientLeft(const QString& client, const QString& reason) {
    append(JournalKind::DcsClientLeft, std::nullopt,
           QStringLiteral("Клиент Modbus-сервера %1 отключился: %2").arg(client, reason),
           LinkDetails{client, reason, {}});
}

void StationJournal::dcsClientRefused(const QString& client, const QString& reason) {
    append(JournalKind::DcsClientRefused, std::nullopt,
           QStringLiteral("Клиент Modbus-сервера %1 отклонён: %2").arg(client, reason),
           LinkDetails{client, reason, {}});
}

void StationJournal::relaySilent(int relay) {
    // A request left over from a link the operator has closed says nothing of the relay.
    if (relay < 1 || relay > kMaxDevices || !linkWanted_) {
        return;
    }
    auto& since = silentSinceMs_[static_cast<size_t>(relay)];
    if (since) {
        return;
    }
    since = nowMs();
    append(JournalKind::RelaySilent, this->relay(relay), QStringLiteral("Защита не отвечает"));
}

void StationJournal::relayAnswered(int relay) {
    if (relay < 1 || relay > kMaxDevices) {
        return;
    }
    auto& since = silentSinceMs_[static_cast<size_t>(relay)];
    if (!since) {
        return;
    }
    const qint64 silentFor = nowMs() - *since;
    since.reset();
    append(JournalKind::RelayAnswering, this->relay(relay),
           QStringLiteral("Защита снова отвечает, молчала %1").arg(journalDurationText(silentFor)),
           SilenceDetails{silentFor});
}

// ---- writes ----

void StationJournal::writeEnded(const WriteNote& note, uint16_t registerNumber,
                                uint16_t valueWritten, WriteOutcome outcome, uint8_t exceptionCode,
                                std::optional<WriteStop> why) {
    const std::optional<JournalRelay> who = relay(note.relay);
    QString ending = outcomeText(outcome, exceptionCode);
    if (why) {
        ending += QStringLiteral(": ") + writeStopText(*why);
    }
    if (note.clock) {
        const QString when = note.clockSetTo.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
        QString text = outcome == WriteOutcome::Echoed
                           ? QStringLiteral("Часы защиты установлены на ") + when
                           : QStringLiteral("Часы защиты не установлены на ") + when +
                                 QStringLiteral(": ") + ending;
        if (note.clockOffsetMs) {
            text += QStringLiteral(", расхождение было ") + clockOffsetText(*note.clockOffsetMs);
        }
        if (outcome == WriteOutcome::Echoed && note.relay >= 1 && note.relay <= kMaxDevices) {
            recordedOffsetMs_[static_cast<size_t>(note.relay)].reset();
        }
        append(JournalKind::ClockSet, who, text,
               ClockDetails{note.clockOffsetMs, note.clockSetTo, outcome, exceptionCode});
        return;
    }
    const QString caption = note.caption.isEmpty()
                                ? QStringLiteral("регистр ") + registerText(registerNumber)
                                : note.caption;
    const QString written =
        note.shownWritten.isEmpty() ? QString::number(valueWritten) : note.shownWritten;
    QString text = QStringLiteral("Запись ") + quoted(caption) + QStringLiteral(": ");
    if (!note.shownBefore.isEmpty()) {
        text += note.shownBefore + QStringLiteral(" → ");
    }
    text += written + QStringLiteral(", ") + ending;
    append(JournalKind::RelayWrite, who, text,
           WriteDetails{registerNumber, caption, note.valueBefore, valueWritten, outcome,
                        exceptionCode});
}

void StationJournal::clockRead(int relay, qint64 offsetMs) {
    if (relay < 1 || relay > kMaxDevices || std::llabs(offsetMs) <= kClockOffsetWorthRecordingMs) {
        return;
    }
    auto& recorded = recordedOffsetMs_[static_cast<size_t>(relay)];
    if (recorded && std::llabs(offsetMs - *recorded) <= kClockOffsetWorthRecordingMs) {
        return;
    }
    recorded = offsetMs;
    append(
        JournalKind::ClockOffset, this->relay(relay),
        QStringLiteral("Часы защиты расходятся с часами компьютера: ") + clockOffsetText(offsetMs),
        ClockDetails{offsetMs, {}, std::nullopt, 0});
}

// ---- the insulation trend ----

void StationJournal::statusRead(int relay, const StatusReading& reading) {
    records_.statusRead(relay, reading);
}

void StationJournal::alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) {
    records_.alarmLevelsRead(relay, signalKohm, tripKohm);
    if (trend_ == nullptr || relay < 1 || relay > devices_.DeviceCount) {
        return;
    }
    trend_->storeLevels(devices_.entry(relay).Address, {nowMs(), signalKohm, tripKohm});
}

// ---- the device table ----

void StationJournal::deviceAdded(int relay) {
    const std::optional<JournalRelay> who = this->relay(relay);
    if (!who) {
        return;
    }
    const DeviceNames names = namesOf(devices_.entry(relay));
    append(JournalKind::DeviceAdded, who, QStringLiteral("Добавлен объект: ") + namesText(names),
           DeviceChangeDetails{std::nullopt, names});
}

void StationJournal::deviceChanged(int relay, const DeviceNames& before) {
    const std::optional<JournalRelay> who = this->relay(relay);
    if (!who) {
        return;
    }
    const DeviceNames after = namesOf(devices_.entry(relay));
    if (after == before) {
        return;
    }
    append(JournalKind::DeviceChanged, who,
           QStringLiteral("Изменён объект: ") + namesText(before) + QStringLiteral(" → ") +
               namesText(after),
           DeviceChangeDetails{before, after});
}

void StationJournal::deviceDeleting(int relay) {
    const std::optional<JournalRelay> who = this->relay(relay);
    if (!who) {
        return;
    }
    const DeviceNames names = namesOf(devices_.entry(relay));
    append(JournalKind::DeviceDeleted, who, QStringLiteral("Удалён объект: ") + namesText(names),
           DeviceChangeDetails{names, std::nullopt});
    // The later relays take the numbers one lower, and their state with them.
    for (auto* list : {&silentSinceMs_, &recordedOffsetMs_}) {
        std::move(list->begin() + relay + 1, list->end(), list->begin() + relay);
        list->back().reset();
    }
}

}  // namespace terval
