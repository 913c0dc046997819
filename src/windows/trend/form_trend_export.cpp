// The trend window's exports: the shown points as CSV, the chart as a PNG picture.
#include <QBuffer>
#include <QChartView>
#include <QFileDialog>
#include <QFileInfo>
#include <QPainter>
#include <QTimeZone>

#include "app/journal_export.h"
#include "devices/error_text.h"
#include "devices/stored_file.h"
#include "journal/trend_csv.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_save_dialog.h"
#include "windows/trend/form_trend.h"
#include "windows/trend/trend_style.h"

namespace terval {

// ---- saving ----

QFileDialog* TFormTrend::csvDialog() {
    if (!csvDialog_) {
        csvDialog_ =
            newSaveDialog(this, "DialogSaveCsv", QStringLiteral("Сохранить тренд в CSV"),
                          QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), namesOnly_.get());
    }
    csvDialog_->setDirectory(workFolder_.absolutePath());
    csvDialog_->selectFile(
        QStringLiteral("trend-%1.csv").arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return csvDialog_;
}

QFileDialog* TFormTrend::pngDialog() {
    if (!pngDialog_) {
        pngDialog_ =
            newSaveDialog(this, "DialogSavePng", QStringLiteral("Сохранить изображение тренда"),
                          QStringLiteral("PNG (*.png)"), QStringLiteral("png"), namesOnly_.get());
    }
    pngDialog_->setDirectory(workFolder_.absolutePath());
    pngDialog_->selectFile(
        QStringLiteral("trend-%1.png").arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return pngDialog_;
}

void TFormTrend::saveCsvClicked() {
    const QString path = askSavePath(csvDialog());
    if (!path.isEmpty()) {
        saveCsvTo(path);
    }
}

void TFormTrend::savePngClicked() {
    const QString path = askSavePath(pngDialog());
    if (!path.isEmpty()) {
        savePngTo(path);
    }
}

bool TFormTrend::saveCsvTo(const QString& path) {
    if (model_.relays().empty()) {
        messages_.showMessage(MessageIcon::Error,
                              QStringLiteral("Не отмечено ни одной защиты: сохранять нечего."));
        return false;
    }
    // What the mouse chose last counts, even when its pause has not run out yet.
    if (timerReread_->isActive()) {
        rereadTimeout();
    }
    const std::vector<TrendCsvRelay> relays = model_.csvRelays();
    const qint64 points = model_.pointCount();
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error =
            saveFileAtomically(target, trendCsv(relays, QTimeZone::systemTimeZone()))) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(MessageIcon::Information,
                          QStringLiteral("Тренд сохранён в %1: %2.")
                              .arg(QDir::toNativeSeparators(target),
                                   russianCount(points, QStringLiteral("точка"),
                                                QStringLiteral("точки"), QStringLiteral("точек"))));
    return true;
}

namespace {

// A picture taken out of the window goes into reports on its own, so it carries a line above the
// chart naming what it shows. Drawn on a copy: the chart's own layout and marks stay as they are.
QPixmap titledPicture(const QPixmap& chart, const QString& title) {
    if (chart.isNull()) {
        return chart;
    }
    const qreal ratio = chart.devicePixelRatio();
    const QFont font = namedFont(15, true);
    const int strip = QFontMetrics(font).height() * 2;
    const QSize logical = chart.deviceIndependentSize().toSize();
    QPixmap out(QSize(logical.width(), logical.height() + strip) * ratio);
    out.setDevicePixelRatio(ratio);
    out.fill(Qt::white);
    QPainter painter(&out);
    painter.setFont(font);
    painter.setPen(trend_style::kNavy);
    painter.drawText(QRect(0, 0, logical.width(), strip), Qt::AlignCenter, title);
    painter.drawPixmap(0, strip, chart);
    return out;
}

}  // namespace

bool TFormTrend::savePngTo(const QString& path) {
    if (timerReread_->isActive()) {
        rereadTimeout();
    }
    clearPointer();
    const QPixmap picture = titledPicture(
        chartView()->grab(), QStringLiteral("%1, %2").arg(windowTitle(), labelRange_->text()));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (picture.isNull() || !picture.save(&buffer, "PNG")) {
        messages_.showMessage(MessageIcon::Error,
                              QStringLiteral("Не удалось получить изображение графика."));
        return false;
    }
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error = saveFileAtomically(target, bytes)) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(
        MessageIcon::Information,
        QStringLiteral("Изображение тренда сохранено в %1.").arg(QDir::toNativeSeparators(target)));
    return true;
}

}  // namespace terval
