#include "poll/report_file.h"

#include "station/station_texts.h"

#include <QFileInfo>

#include "devices/short_string.h"
#include "devices/stored_file.h"

namespace terval {
namespace {

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

// Values stand right-aligned in ten places; a longer one is written whole and pushes its unit on.
QString rightAligned(const QString& value) {
    return value.rightJustified(10, QLatin1Char(' '), false);
}

const QString kStars = QStringLiteral("*********************************");

// Status bits 0 to 3 have a row each; the circuit-break bit has none in the report.
constexpr int kReportedStatusBits = 4;

}  // namespace

QString reportFileName(const ProtocolStamp& s) {
    return QStringLiteral("Pr_%1_%2_%3_%4_%5.dat")
        .arg(QString::number(s.day), twoDigits(s.month), QString::number(s.hour),
             twoDigits(s.minute), twoDigits(s.second));
}

QStringList reportLines(const QString& generatorName, uint16_t address,
                        const TripProtocolPage& page) {
    QStringList lines;
    lines << QStringLiteral("Название генератора: ") + generatorName << QString()
          << QStringLiteral("Физический адрес: ") + QString::number(address) << QString()
          << QStringLiteral("Дата:   ") + page.date << QStringLiteral("Время:  ") + page.time
          << QString() << QString() << QString();
    // Captions fill 39 places, so the values line up in one column.
    const auto row = [](const char* caption, const QString& value, const char* unit) {
        return QString::fromUtf8(caption).leftJustified(39, QLatin1Char(' ')) +
               rightAligned(value) + QLatin1Char(' ') + QString::fromUtf8(unit);
    };
    lines << row("Значение сопротивления изоляции:", page.value(6), "кОм")
          << row("Электрическая удаленность:", page.value(3), "%")
          << row("Значение альфы 1:", page.value(4), "%")
          << row("Значение альфы 2:", page.value(5), "%")
          << row("Напряжение взбуждения:", page.value(7), "В")
          << row("Напряжение наложенное:", page.value(8), "В");
    lines << QString() << QString() << kStars
          << QStringLiteral("Статусный регистр  |  Признак защит");
    for (int bit = 0; bit < kReportedStatusBits; ++bit) {
        const QChar status =
            page.status[static_cast<size_t>(bit)] ? QLatin1Char('1') : QLatin1Char('-');
        // The sign is a code, not a set of bits; codes 0 to 4 name the conditions of bits 0 to 4,
        // so the row of that bit carries the mark.
        const QChar sign = page.signCode == bit ? QLatin1Char('1') : QLatin1Char('-');
        lines << QString(9, QLatin1Char(' ')) + status + QString(18, QLatin1Char(' ')) + sign +
                     QString(14, QLatin1Char(' ')) + QLatin1Char(':') + kStatusBitCaptions[bit];
    }
    lines << QString() << kStars;
    return lines;
}

QByteArray reportBytes(const QString& generatorName, uint16_t address,
                       const TripProtocolPage& page) {
    QByteArray bytes;
    for (const QString& line : reportLines(generatorName, address, page)) {
        bytes += toWin1251(line);
        bytes += "\r\n";
    }
    return bytes;
}

ReportOutcome writeTripReport(const QDir& workFolder, const QString& generatorName,
                              uint16_t address, const TripProtocolPage& page) {
    ReportOutcome outcome;
    const QString folderPath = workFolder.filePath(QString::fromLatin1(kReportFolder));
    outcome.path = QDir(folderPath).filePath(reportFileName(page.stamp));
    const QFileInfo folder(folderPath);
    if (folder.exists() && !folder.isDir()) {
        outcome.error = QStringLiteral(
                            "Не удалось создать папку %1 для файлов отчета: в рабочей папке "
                            "уже есть файл с этим именем.")
                            .arg(QString::fromLatin1(kReportFolder));
        return outcome;
    }
    if (!folder.exists() && !workFolder.mkdir(QString::fromLatin1(kReportFolder))) {
        outcome.error = QStringLiteral("Не удалось создать папку %1 для файлов отчета в %2.")
                            .arg(QString::fromLatin1(kReportFolder),
                                 QDir::toNativeSeparators(workFolder.absolutePath()));
        return outcome;
    }
    // The name carries neither year nor relay: a report of the same moment another year, or of
    // another relay, takes the next free name rather than replacing a report already kept.
    const QString name = reportFileName(page.stamp);
    const QString stem = name.chopped(4);
    for (int n = 2; QFileInfo::exists(outcome.path) || QFileInfo(outcome.path).isSymLink(); ++n) {
        outcome.path = QDir(folderPath).filePath(stem + QStringLiteral("_%1.dat").arg(n));
    }
    outcome.error = saveFileAtomically(outcome.path, reportBytes(generatorName, address, page));
    return outcome;
}

}  // namespace terval
