#include "journal/journal_row.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QtEndian>
#include <algorithm>

namespace terval {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// JSON numbers are doubles: every count of milliseconds the journal keeps fits them exactly.
QJsonValue number(qint64 n) {
    return QJsonValue(static_cast<double>(n));
}

qint64 readInteger(const QJsonObject& object, const char* key) {
    return static_cast<qint64>(object.value(QLatin1String(key)).toDouble());
}

uint16_t readWord(const QJsonObject& object, const char* key) {
    return static_cast<uint16_t>(std::clamp<qint64>(readInteger(object, key), 0, 0xFFFF));
}

std::optional<qint64> readOptional(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble()) {
        return std::nullopt;
    }
    return static_cast<qint64>(value.toDouble());
}

QString readText(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key)).toString();
}

QJsonObject namesObject(const DeviceNames& names) {
    return QJsonObject{{QStringLiteral("address"), names.address},
                       {QStringLiteral("generator"), names.generator},
                       {QStringLiteral("breaker"), names.breaker}};
}

std::optional<DeviceNames> readNames(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isObject()) {
        return std::nullopt;
    }
    const QJsonObject names = value.toObject();
    return DeviceNames{readWord(names, "address"), readText(names, "generator"),
                       readText(names, "breaker")};
}

// The relay's time as its clock said it: local, without a zone.
QString relayTimeText(const QDateTime& time) {
    return time.isValid() ? time.toString(Qt::ISODateWithMs) : QString();
}

void insertTime(QJsonObject& o, const char* key, const std::optional<qint64>& ms) {
    if (ms) {
        o.insert(QLatin1String(key), number(*ms));
    }
}

QJsonObject alarmObject(const AlarmDetails& d) {
    const Alarm& a = d.alarm;
    QJsonObject o{{QStringLiteral("id"), alarmId(a)},
                  {QStringLiteral("kind"), alarmKindName(a.kind)},
                  {QStringLiteral("address"), a.address},
                  {QStringLiteral("state"), alarmStateName(a.state)},
                  {QStringLiteral("change"), alarmChangeName(d.change)},
                  {QStringLiteral("suppressed"), a.suppressed},
                  {QStringLiteral("text"), a.text}};
    insertTime(o, "raisedAtMs", a.raisedAtMs);
    insertTime(o, "returnedAtMs", a.returnedAtMs);
    insertTime(o, "acknowledgedAtMs", a.acknowledgedAtMs);
    if (a.shelvedUntilMs) {
        o.insert(QStringLiteral("shelvedUntilMs"), number(*a.shelvedUntilMs));
        o.insert(QStringLiteral("shelfReason"), a.shelfReason);
        o.insert(QStringLiteral("shelvedBy"), a.shelvedBy);
    }
    if (!d.user.isEmpty()) {
        o.insert(QStringLiteral("user"), d.user);
    }
    return o;
}

// A record of a newer program with a kind or state this one does not know reads as the link's
// alarm in its normal state: it moves nothing when the alarms are read back.
AlarmDetails readAlarm(const QJsonObject& o) {
    AlarmDetails d;
    Alarm& a = d.alarm;
    const auto kind = alarmKindFromName(readText(o, "kind"));
    const auto state = alarmStateFromName(readText(o, "state"));
    if (kind && state) {
        a.kind = *kind;
        a.state = *state;
    }
    a.address = readWord(o, "address");
    a.raisedAtMs = readOptional(o, "raisedAtMs");
    a.returnedAtMs = readOptional(o, "returnedAtMs");
    a.acknowledgedAtMs = readOptional(o, "acknowledgedAtMs");
    a.shelvedUntilMs = readOptional(o, "shelvedUntilMs");
    a.shelfReason = readText(o, "shelfReason");
    a.shelvedBy = readText(o, "shelvedBy");
    a.suppressed = o.value(QStringLiteral("suppressed")).toBool();
    a.text = readText(o, "text");
    d.change = alarmChangeFromName(readText(o, "change")).value_or(AlarmChange::Restored);
    d.user = readText(o, "user");
    return d;
}

QJsonObject detailsObject(const JournalDetails& details) {
    return std::visit(
        Overloaded{
            [](const std::monostate&) { return QJsonObject(); },
            [](const ProtectionEventDetails& d) {
                return QJsonObject{{QStringLiteral("relayTime"), relayTimeText(d.relayTime)},
                                   {QStringLiteral("sign"), d.signCode},
                                   {QStringLiteral("signText"), d.signText}};
            },
            [](const AlarmLineDetails& d) {
                return QJsonObject{{QStringLiteral("line"), d.line}};
            },
            [](const AlarmLogClearedDetails& d) {
                return QJsonObject{{QStringLiteral("lines"), d.lineCount}};
            },
            [](const LinkDetails& d) {
                QJsonObject o{{QStringLiteral("link"), d.link},
                              {QStringLiteral("reason"), d.reason}};
                if (d.downForMs) {
                    o.insert(QStringLiteral("downForMs"), number(*d.downForMs));
                }
                return o;
            },
            [](const SilenceDetails& d) {
                return QJsonObject{{QStringLiteral("silentForMs"), number(d.silentForMs)}};
            },
            [](const WriteDetails& d) {
                QJsonObject o{{QStringLiteral("register"), d.registerNumber},
                              {QStringLiteral("caption"), d.caption},
                              {QStringLiteral("written"), d.valueWritten},
                              {QStringLiteral("outcome"), static_cast<int>(d.outcome)},
                              {QStringLiteral("exception"), d.exceptionCode}};
                if (d.valueBefore) {
                    o.insert(QStringLiteral("before"), *d.valueBefore);
                }
                return o;
            },
            [](const ClockDetails& d) {
                QJsonObject o;
                if (d.offsetMs) {
                    o.insert(QStringLiteral("offsetMs"), number(*d.offsetMs));
                }
                if (d.setTo.isValid()) {
                    o.insert(QStringLiteral("setTo"), relayTimeText(d.setTo));
                }
                if (d.outcome) {
                    o.insert(QStringLiteral("outcome"), static_cast<int>(*d.outcome));
                    o.insert(QStringLiteral("exception"), d.exceptionCode);
                }
                return o;
            },
            [](const DeviceChangeDetails& d) {
                QJsonObject o;
                if (d.before) {
                    o.insert(QStringLiteral("before"), namesObject(*d.before));
                }
                if (d.after) {
                    o.insert(QStringLiteral("after"), namesObject(*d.after));
                }
                return o;
            },
            [](const AlarmDetails& d) { return alarmObject(d); },
        },
        details);
}

WriteOutcome outcomeFromCode(qint64 code) {
    switch (code) {
        case 1:
            return WriteOutcome::Echoed;
        case 2:
            return WriteOutcome::Refused;
        case 4:
            return WriteOutcome::NotSent;
        default:
            return WriteOutcome::NoEcho;
    }
}

}  // namespace

QByteArray encodeDetails(const JournalDetails& details) {
    if (std::holds_alternative<std::monostate>(details)) {
        return {};
    }
    return QJsonDocument(detailsObject(details)).toJson(QJsonDocument::Compact);
}

JournalDetails decodeDetails(JournalKind kind, const QByteArray& json, const QByteArray& record) {
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    switch (journalKindRow(kind).details) {
        case JournalDetailsShape::ProtectionEvent: {
            const QString time = readText(o, "relayTime");
            return ProtectionEventDetails{
                time.isEmpty() ? QDateTime() : QDateTime::fromString(time, Qt::ISODateWithMs),
                readWord(o, "sign"), readText(o, "signText"), decodeTripRecord(record)};
        }
        case JournalDetailsShape::AlarmLine:
            return AlarmLineDetails{readText(o, "line")};
        case JournalDetailsShape::AlarmLogCleared:
            return AlarmLogClearedDetails{static_cast<int>(readInteger(o, "lines"))};
        case JournalDetailsShape::Link:
            return LinkDetails{readText(o, "link"), readText(o, "reason"),
                               readOptional(o, "downForMs")};
        case JournalDetailsShape::Silence:
            return SilenceDetails{readInteger(o, "silentForMs")};
        case JournalDetailsShape::Write: {
            WriteDetails d;
            d.registerNumber = readWord(o, "register");
            d.caption = readText(o, "caption");
            if (const auto before = readOptional(o, "before")) {
                d.valueBefore = static_cast<uint16_t>(std::clamp<qint64>(*before, 0, 0xFFFF));
            }
            d.valueWritten = readWord(o, "written");
            d.outcome = outcomeFromCode(readInteger(o, "outcome"));
            d.exceptionCode =
                static_cast<uint8_t>(std::clamp<qint64>(readInteger(o, "exception"), 0, 0xFF));
            return d;
        }
        case JournalDetailsShape::Clock: {
            ClockDetails d;
            d.offsetMs = readOptional(o, "offsetMs");
            const QString setTo = readText(o, "setTo");
            if (!setTo.isEmpty()) {
                d.setTo = QDateTime::fromString(setTo, Qt::ISODateWithMs);
            }
            if (o.contains(QStringLiteral("outcome"))) {
                d.outcome = outcomeFromCode(readInteger(o, "outcome"));
                d.exceptionCode =
                    static_cast<uint8_t>(std::clamp<qint64>(readInteger(o, "exception"), 0, 0xFF));
            }
            return d;
        }
        case JournalDetailsShape::DeviceChange:
            return DeviceChangeDetails{readNames(o, "before"), readNames(o, "after")};
        case JournalDetailsShape::Alarm:
            return readAlarm(o);
        case JournalDetailsShape::None:
            break;
    }
    return std::monostate();
}

QByteArray encodeTripRecord(const TripRecord& record) {
    QByteArray bytes(static_cast<qsizetype>(record.size() * 2), '\0');
    for (size_t i = 0; i < record.size(); ++i) {
        qToLittleEndian<uint16_t>(record[i], bytes.data() + 2 * i);
    }
    return bytes;
}

std::optional<TripRecord> decodeTripRecord(const QByteArray& bytes) {
    TripRecord record{};
    if (bytes.size() != static_cast<qsizetype>(record.size() * 2)) {
        return std::nullopt;
    }
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = qFromLittleEndian<uint16_t>(bytes.constData() + 2 * i);
    }
    return record;
}

QString searchColumn(const JournalEntry& entry) {
    QStringList parts{entry.text};
    if (entry.relay) {
        parts << entry.relay->generator << entry.relay->breaker;
    }
    if (const auto* change = std::get_if<DeviceChangeDetails>(&entry.details)) {
        for (const auto& names : {change->before, change->after}) {
            if (names) {
                parts << names->generator << names->breaker;
            }
        }
    }
    return journalSearchFold(parts.join(QLatin1Char('\n')));
}

}  // namespace terval
