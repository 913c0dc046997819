#include "plant/plant_payloads.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "station/station.h"

namespace terval {
namespace {

QByteArray compact(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonValue numberValue(std::optional<uint16_t> value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue recordValue(std::optional<qint64> value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue timeValue(const QDateTime& time) {
    const QString text = plantTimeText(time);
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

}  // namespace

QString tileStateWord(int tileState) {
    switch (tileState) {
        case kTileEvent:
            return QStringLiteral("event");
        case kTileAnswering:
            return QStringLiteral("normal");
        default:
            return QStringLiteral("no_answer");
    }
}

QString plantTimeText(const QDateTime& time) {
    if (!time.isValid()) {
        return {};
    }
    // Written out rather than left to Qt::ISODate, which drops the offset of a local time.
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray relayStatePayload(const RelayStateReport& r) {
    QJsonObject o;
    o[QStringLiteral("relay")] = r.relay;
    o[QStringLiteral("address")] = r.address;
    o[QStringLiteral("serial")] = numberValue(r.serial);
    o[QStringLiteral("generator")] = r.generator;
    o[QStringLiteral("breaker")] = r.breaker;
    o[QStringLiteral("state")] = tileStateWord(r.tileState);
    o[QStringLiteral("insulation_kohm")] = numberValue(r.insulationKohm);
    o[QStringLiteral("control_kohm")] = numberValue(r.controlKohm);
    o[QStringLiteral("last_answer")] = timeValue(r.lastAnswer);
    o[QStringLiteral("good_answers")] = static_cast<qint64>(r.goodAnswers);
    o[QStringLiteral("bad_answers")] = static_cast<qint64>(r.badAnswers);
    o[QStringLiteral("signal_kohm")] = numberValue(r.signalKohm);
    o[QStringLiteral("trip_kohm")] = numberValue(r.tripKohm);
    return compact(o);
}

std::optional<QByteArray> relayEventPayload(const JournalEntry& entry,
                                            std::optional<uint16_t> serial,
                                            const EventNumbering& numbering) {
    const auto* event = std::get_if<ProtectionEventDetails>(&entry.details);
    if (entry.kind != JournalKind::ProtectionEvent || event == nullptr || !entry.relay) {
        return std::nullopt;
    }
    QJsonObject o;
    o[QStringLiteral("relay")] = entry.relay->number;
    o[QStringLiteral("address")] = entry.relay->address;
    o[QStringLiteral("serial")] = numberValue(serial);
    o[QStringLiteral("generator")] = entry.relay->generator;
    o[QStringLiteral("breaker")] = entry.relay->breaker;
    o[QStringLiteral("alarm_line")] = entry.text;
    // The relay's own clock, which carries no zone: written as it reads.
    o[QStringLiteral("event_time")] =
        event->relayTime.isValid()
            ? QJsonValue(event->relayTime.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")))
            : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("sign_code")] = event->signCode;
    o[QStringLiteral("sign_text")] = event->signText;
    o[QStringLiteral("detected_at")] = timeValue(entry.localTime());
    o[QStringLiteral("record")] = recordValue(numbering.record);
    o[QStringLiteral("previous")] = recordValue(numbering.previous);
    o[QStringLiteral("replayed")] = numbering.replayed;
    return compact(o);
}

std::optional<QByteArray> alarmPayload(const JournalEntry& entry, std::optional<qint64> record) {
    const auto* details = std::get_if<AlarmDetails>(&entry.details);
    if (entry.kind != JournalKind::AlarmChanged || details == nullptr) {
        return std::nullopt;
    }
    const Alarm& a = details->alarm;
    const auto at = [](const std::optional<qint64>& ms) {
        return ms ? timeValue(QDateTime::fromMSecsSinceEpoch(*ms)) : QJsonValue(QJsonValue::Null);
    };
    QJsonObject o;
    o[QStringLiteral("id")] = alarmId(a);
    o[QStringLiteral("relay")] =
        entry.relay ? QJsonValue(entry.relay->number) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("address")] =
        a.kind == AlarmKind::LinkLost ? QJsonValue(QJsonValue::Null) : QJsonValue(a.address);
    o[QStringLiteral("kind")] = alarmKindName(a.kind);
    o[QStringLiteral("priority")] = alarmPriorityName(alarmPriority(a.kind));
    o[QStringLiteral("state")] = alarmStateName(a.state);
    o[QStringLiteral("shelved")] = a.shelved();
    o[QStringLiteral("shelved_until")] = at(a.shelvedUntilMs);
    o[QStringLiteral("suppressed")] = a.suppressed;
    o[QStringLiteral("raised_at")] = at(a.raisedAtMs);
    o[QStringLiteral("returned_at")] = at(a.returnedAtMs);
    o[QStringLiteral("acknowledged_at")] = at(a.acknowledgedAtMs);
    o[QStringLiteral("text")] = a.text;
    o[QStringLiteral("change")] = alarmChangeName(details->change);
    o[QStringLiteral("changed_at")] = timeValue(entry.localTime());
    o[QStringLiteral("record")] = recordValue(record);
    return compact(o);
}

QByteArray linkPayload(const QString& type, const QString& link, const QString& state,
                       const QString& statusText) {
    QJsonObject o;
    o[QStringLiteral("type")] = type;
    o[QStringLiteral("link")] = link;
    o[QStringLiteral("state")] = state;
    o[QStringLiteral("status_text")] = statusText;
    return compact(o);
}

QByteArray droppedEventsPayload(uint64_t count, const QDateTime& first, const QDateTime& last) {
    QJsonObject o;
    o[QStringLiteral("dropped_events")] = static_cast<qint64>(count);
    o[QStringLiteral("first_dropped_at")] = timeValue(first);
    o[QStringLiteral("last_dropped_at")] = timeValue(last);
    return compact(o);
}

}  // namespace terval
