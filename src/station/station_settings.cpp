#include "station/station_settings.h"

#include <QFileInfo>
#include <QSettings>

#include "devices/error_text.h"

namespace terval {
namespace {

const QString kConnectAtStart = QStringLiteral("link/connectAtStart");
const QString kJournalKeepMonths = QStringLiteral("journal/keepMonths");
const QString kPollPace = QStringLiteral("poll/pace");
const QString kSerialMargin = QStringLiteral("poll/serialMarginMs");
const QString kTcpMargin = QStringLiteral("poll/tcpMarginMs");
const QString kTcpPause = QStringLiteral("poll/tcpPauseMs");
// A hundred years: more is surely a slip of the keyboard, and would overflow the date arithmetic.
constexpr int kMostMonthsKept = 1200;

// The file's text with `key` of `section` set to `value`: every other line, section and comment
// kept as it was, for whoever keeps more in the file.
QByteArray withValue(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                     const QByteArray& value) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    const QByteArray header = '[' + section + ']';
    const QByteArray line = key + '=' + value;
    qsizetype sectionAt = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray t = lines[i].trimmed();
        if (t.startsWith('[')) {
            if (sectionAt >= 0) {
                // The key was not in its section: it goes at the section's end.
                lines.insert(i, line);
                return lines.join('\n') + '\n';
            }
            if (t == header) {
                sectionAt = i;
            }
        } else if (sectionAt >= 0 && t.startsWith(key) &&
                   t.mid(key.size()).trimmed().startsWith('=')) {
            lines[i] = line;
            return lines.join('\n') + '\n';
        }
    }
    if (sectionAt < 0) {
        if (!lines.isEmpty()) {
            lines << QByteArray();
        }
        lines << header;
    }
    lines << line;
    return lines.join('\n') + '\n';
}

}  // namespace

SettingsLoad loadStationSettings(const QDir& folder) {
    SettingsLoad load;
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    if (!QFileInfo::exists(path)) {
        return load;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        load.error = QStringLiteral("Не удалось прочитать файл %1: %2.")
                         .arg(kSettingsFileName,
                              ini.status() == QSettings::FormatError
                                  ? QStringLiteral("файл повреждён")
                                  : QStringLiteral("нет права на чтение, или файл занят"));
        return load;
    }
    load.settings.connectAtStart = ini.value(kConnectAtStart, false).toBool();
    if (ini.contains(kJournalKeepMonths)) {
        bool ok = false;
        const int months = ini.value(kJournalKeepMonths).toInt(&ok);
        if (!ok || months < 0 || months > kMostMonthsKept) {
            // Nothing is removed on the strength of a value nobody meant.
            load.error = QStringLiteral(
                             "В файле %1 срок хранения журнала keepMonths=%2 не число "
                             "месяцев от 0 до %3; журнал хранится %4 мес.")
                             .arg(kSettingsFileName, ini.value(kJournalKeepMonths).toString())
                             .arg(kMostMonthsKept)
                             .arg(load.settings.journalKeepMonths);
        } else {
            load.settings.journalKeepMonths = months;
        }
    }
    QStringList problems;
    if (load.error) {
        problems << *load.error;
    }
    if (ini.contains(kPollPace)) {
        const QString word = ini.value(kPollPace).toString();
        if (const std::optional<PollPace> pace = pollPaceNamed(word)) {
            load.settings.poll.pace = *pace;
        } else {
            problems << QStringLiteral(
                            "В файле %1 опрос pace=%2 не tick и не wire; опрос идёт по "
                            "такту.")
                            .arg(kSettingsFileName, word);
        }
    }
    // A margin or pause nobody meant would either flood the line or stall the round: the
    // default stands, and the operator is told which.
    const auto readMs = [&](const QString& key, int least, int most, int& into) {
        if (!ini.contains(key)) {
            return;
        }
        bool ok = false;
        const int ms = ini.value(key).toInt(&ok);
        if (ok && ms >= least && ms <= most) {
            into = ms;
            return;
        }
        problems << QStringLiteral(
                        "В файле %1 %2=%3 не число миллисекунд от %4 до %5; "
                        "принято %6 мс.")
                        .arg(kSettingsFileName, key.section(QLatin1Char('/'), 1),
                             ini.value(key).toString())
                        .arg(least)
                        .arg(most)
                        .arg(into);
    };
    readMs(kSerialMargin, kLeastMarginMs, kMostMarginMs, load.settings.poll.serialMarginMs);
    readMs(kTcpMargin, kLeastMarginMs, kMostMarginMs, load.settings.poll.tcpMarginMs);
    readMs(kTcpPause, 0, kMostTcpPauseMs, load.settings.poll.tcpPauseMs);
    if (!problems.isEmpty()) {
        load.error = problems.join(QLatin1Char('\n'));
    }
    return load;
}

std::optional<PollPace> pollPaceNamed(const QString& word) {
    const QString w = word.trimmed().toLower();
    if (w == QLatin1String("tick")) {
        return PollPace::Tick;
    }
    if (w == QLatin1String("wire")) {
        return PollPace::Wire;
    }
    return std::nullopt;
}

QString pollPaceName(PollPace pace) {
    return pace == PollPace::Wire ? QStringLiteral("wire") : QStringLiteral("tick");
}

FileError savePollPacing(const QDir& folder, const PollPacing& pacing) {
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    QByteArray text;
    if (QFileInfo::exists(path)) {
        const FileRead read = readWholeFile(path);
        if (!read.bytes) {
            return read.error;
        }
        text = *read.bytes;
    }
    text = withValue(text, "poll", "pace", pollPaceName(pacing.pace).toLatin1());
    text = withValue(text, "poll", "serialMarginMs", QByteArray::number(pacing.serialMarginMs));
    text = withValue(text, "poll", "tcpMarginMs", QByteArray::number(pacing.tcpMarginMs));
    text = withValue(text, "poll", "tcpPauseMs", QByteArray::number(pacing.tcpPauseMs));
    return saveFileAtomically(path, text);
}

FileError saveStationSettings(const QDir& folder, const StationSettings& settings) {
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    QByteArray text;
    if (QFileInfo::exists(path)) {
        const FileRead read = readWholeFile(path);
        if (!read.bytes) {
            return read.error;
        }
        text = *read.bytes;
    }
    return saveFileAtomically(path, withValue(text, "link", "connectAtStart",
                                              settings.connectAtStart ? "true" : "false"));
}

}  // namespace terval
