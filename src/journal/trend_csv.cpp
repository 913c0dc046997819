#include "journal/trend_csv.h"

#include "journal/journal_csv.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

namespace terval {

QByteArray trendCsv(const std::vector<TrendCsvRelay>& relays, const QTimeZone& zone) {
    QByteArray bytes =
        QByteArray("\xEF\xBB\xBF") +
        QStringLiteral(
            "Защита;Адрес;Генератор;Дата и время;Среднее, кОм;Минимум, кОм;Максимум, кОм\r\n")
            .toUtf8();
    QLocale numbers(QLocale::Russian, QLocale::Russia);
    numbers.setNumberOptions(QLocale::OmitGroupSeparator);
    for (const TrendCsvRelay& relay : relays) {
        if (!relay.series) {
            continue;
        }
        const int decimals = relay.series->resolution == TrendResolution::Raw ? 0 : 1;
        const QString head =
            QStringList{relay.number > 0 ? QString::number(relay.number) : QString(),
                        QString::number(relay.address), csvField(relay.generator)}
                .join(QLatin1Char(';'));
        for (const TrendPoint& p : relay.series->points) {
            const QStringList fields{head,
                                     QDateTime::fromMSecsSinceEpoch(p.timeMs, zone)
                                         .toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")),
                                     numbers.toString(p.mean, 'f', decimals),
                                     numbers.toString(p.min, 'f', decimals),
                                     numbers.toString(p.max, 'f', decimals)};
            bytes += (fields.join(QLatin1Char(';')) + QStringLiteral("\r\n")).toUtf8();
        }
    }
    return bytes;
}

}  // namespace terval
