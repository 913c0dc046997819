#include "historian/plant_message_parse.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QRegularExpression>
#include <cmath>
#include <limits>

namespace terval {
namespace {

using Kind = ParsedMessage::Kind;

ParsedMessage ignored(QString station, QString why) {
    ParsedMessage m;
    m.kind = Kind::Ignored;
    m.station = std::move(station);
    m.error = std::move(why);
    return m;
}

// PostgreSQL's text cannot hold a NUL, which JSON can carry as \u0000: a station's name with one
// would otherwise fail the whole batch it came in.
QString cleanText(const QString& text) {
    QString out = text;
    out.remove(QChar(u'\0'));
    return out;
}

QString textField(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? cleanText(v.toString()) : QString();
}

// A whole number within [min, max]; nothing for null, a fraction or anything out of range, which
// a column of the schema could not hold.
std::optional<qint64> wholeField(const QJsonObject& o, const char* key, qint64 min, qint64 max) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble()) {
        return std::nullopt;
    }
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < double(min) || d > double(max)) {
        return std::nullopt;
    }
    return static_cast<qint64>(d);
}

std::optional<int> intField(const QJsonObject& o, const char* key) {
    const auto v =
        wholeField(o, key, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    return v ? std::optional<int>(int(*v)) : std::nullopt;
}

std::optional<bool> boolField(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isBool() ? std::optional<bool>(v.toBool()) : std::nullopt;
}

QDateTime timeField(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? parsePlantTime(v.toString()) : QDateTime();
}

std::optional<QJsonObject> jsonObject(const QByteArray& payload, QString* error) {
    QJsonParseError e;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &e);
    if (e.error != QJsonParseError::NoError) {
        *error = QStringLiteral("не JSON: %1").arg(e.errorString());
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("не объект JSON");
        return std::nullopt;
    }
    return doc.object();
}

std::optional<int> addressLevel(const QString& text) {
    bool ok = false;
    const int address = text.toInt(&ok);
    // Only the plain decimal the stations write: "07" or "+7" would name the same relay twice.
    if (!ok || address < 0 || address > 255 || QString::number(address) != text) {
        return std::nullopt;
    }
    return address;
}

void readRelayNames(const QJsonObject& o, ParsedMessage& m) {
    m.tile = intField(o, "relay");
    m.serial = intField(o, "serial");
    m.generator = textField(o, "generator");
    m.breaker = textField(o, "breaker");
}

// The journal's record numbers are positive; anything else is taken for a station that did not
// number the message.
void readRecords(const QJsonObject& o, ParsedMessage& m) {
    const qint64 max = std::numeric_limits<qint64>::max() / 2;
    m.record = wholeField(o, "record", 1, max);
    m.previous = wholeField(o, "previous", 1, max);
    if (m.previous && m.record && *m.previous >= *m.record) {
        m.previous.reset();
    }
    m.replayed = boolField(o, "replayed").value_or(false);
}

}  // namespace

QDateTime parsePlantTime(const QString& text) {
    static const QRegularExpression shape(
        QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{1,3})?(Z|[+-]\d{2}:\d{2})$)"));
    if (!shape.match(text).hasMatch()) {
        return {};
    }
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.isValid() ? t : QDateTime();
}

ParsedMessage parsePlantMessage(const PlantMessage& message, const QString& prefix) {
    const QString topic = QString::fromUtf8(message.topic);
    const QString root = prefix + QLatin1Char('/');
    if (!topic.startsWith(root)) {
        return ignored({}, QStringLiteral("не под префиксом %1").arg(prefix));
    }
    const QStringList levels = topic.mid(root.size()).split(QLatin1Char('/'));
    if (levels.size() < 2 || levels[0].isEmpty()) {
        return ignored({}, QStringLiteral("нет уровня станции"));
    }
    const QString station = cleanText(levels[0]);
    const QStringList rest = levels.mid(1);
    const QByteArray& payload = message.payload;
    QString error;

    if (rest == QStringList{QStringLiteral("status")}) {
        ParsedMessage m;
        m.station = station;
        const QByteArray word = payload.trimmed();
        if (word.isEmpty()) {
            m.kind = Kind::Nothing;  // a status taken back from the broker says nothing
        } else if (word == "online" || word == "offline") {
            m.kind = Kind::Status;
            m.online = word == "online";
        } else {
            return ignored(station, QStringLiteral("состояние не online/offline"));
        }
        return m;
    }
    if (rest == QStringList{QStringLiteral("link")}) {
        ParsedMessage m;
        m.station = station;
        if (payload.isEmpty()) {
            m.kind = Kind::Nothing;
            return m;
        }
        const auto o = jsonObject(payload, &error);
        if (!o) {
            return ignored(station, error);
        }
        m.kind = Kind::Link;
        m.linkType = textField(*o, "type");
        m.linkName = textField(*o, "link");
        m.linkState = textField(*o, "state");
        m.linkStatusText = textField(*o, "status_text");
        return m;
    }
    if (rest == QStringList{QStringLiteral("events_dropped")}) {
        const auto o = jsonObject(payload, &error);
        if (!o) {
            return ignored(station, error);
        }
        ParsedMessage m;
        m.station = station;
        m.kind = Kind::EventsDropped;
        m.droppedEvents =
            wholeField(*o, "dropped_events", 0, std::numeric_limits<qint64>::max() / 2).value_or(0);
        return m;
    }
    if (rest.size() == 3 && rest[0] == QLatin1String("relay")) {
        const auto address = addressLevel(rest[1]);
        if (!address) {
            return ignored(station, QStringLiteral("адрес реле не число 0–255"));
        }
        ParsedMessage m;
        m.station = station;
        m.address = *address;
        if (rest[2] == QLatin1String("state")) {
            if (payload.isEmpty()) {
                m.kind = Kind::RelayRemoved;
                return m;
            }
            const auto o = jsonObject(payload, &error);
            if (!o) {
                return ignored(station, error);
            }
            m.kind = Kind::RelayState;
            readRelayNames(*o, m);
            m.state = textField(*o, "state");
            m.insulationKohm = intField(*o, "insulation_kohm");
            m.controlKohm = intField(*o, "control_kohm");
            m.signalKohm = intField(*o, "signal_kohm");
            m.tripKohm = intField(*o, "trip_kohm");
            m.lastAnswer = timeField(*o, "last_answer");
            m.goodAnswers = wholeField(*o, "good_answers", 0, std::numeric_limits<qint64>::max());
            m.badAnswers = wholeField(*o, "bad_answers", 0, std::numeric_limits<qint64>::max());
            return m;
        }
        if (rest[2] == QLatin1String("event")) {
            const auto o = jsonObject(payload, &error);
            if (!o) {
                return ignored(station, error);
            }
            m.kind = Kind::Event;
            readRelayNames(*o, m);
            readRecords(*o, m);
            m.detectedAt = timeField(*o, "detected_at");
            // Kept only in the one shape the stations write, so that the database reads it as
            // the relay's clock said it and nothing else.
            static const QRegularExpression relayClock(
                QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}$)"));
            const QString eventTime = textField(*o, "event_time");
            if (relayClock.match(eventTime).hasMatch() &&
                QDateTime::fromString(eventTime, Qt::ISODate).isValid()) {
                m.eventTime = eventTime;
            }
            m.signCode = intField(*o, "sign_code");
            m.signText = textField(*o, "sign_text");
            m.alarmLine = textField(*o, "alarm_line");
            return m;
        }
        return ignored(station, QStringLiteral("неизвестная тема реле"));
    }
    if (rest.size() == 2 && rest[0] == QLatin1String("alarm") && !rest[1].isEmpty()) {
        ParsedMessage m;
        m.station = station;
        if (payload.isEmpty()) {
            m.kind = Kind::Nothing;  // the relay was deleted; its moves are stored already
            return m;
        }
        const auto o = jsonObject(payload, &error);
        if (!o) {
            return ignored(station, error);
        }
        m.kind = Kind::Alarm;
        m.alarmId = cleanText(rest[1]);
        if (const auto address = intField(*o, "address");
            address && *address >= 0 && *address <= 255) {
            m.address = *address;
        }
        m.tile = intField(*o, "relay");
        readRecords(*o, m);
        m.alarmKind = textField(*o, "kind");
        m.priority = textField(*o, "priority");
        m.alarmState = textField(*o, "state");
        if (m.alarmKind.isEmpty() || m.priority.isEmpty() || m.alarmState.isEmpty()) {
            return ignored(station, QStringLiteral("у тревоги нет вида, приоритета или состояния"));
        }
        m.change = textField(*o, "change");
        m.text = textField(*o, "text");
        m.shelved = boolField(*o, "shelved");
        m.suppressed = boolField(*o, "suppressed");
        m.raisedAt = timeField(*o, "raised_at");
        m.returnedAt = timeField(*o, "returned_at");
        m.acknowledgedAt = timeField(*o, "acknowledged_at");
        m.changedAt = timeField(*o, "changed_at");
        return m;
    }
    return ignored(station, QStringLiteral("неизвестная тема"));
}

}  // namespace terval
