#include "windows/dialogs/form_about.h"

#include <QLabel>
#include <QVBoxLayout>

#include "station/station_texts.h"
#include "widgets/widget_dialog.h"

namespace terval {

TFormAbout::TFormAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormAbout"));
    keepOnScreen(this);
    setWindowTitle(QStringLiteral("Описание программы"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 16, 24, 16);
    column->setSpacing(6);
    column->setSizeConstraint(QLayout::SetFixedSize);
    // Only what the build knows: its version, its date and the address of its source.
    const QString source = QStringLiteral(TERVAL_SOURCE_URL);
    const QString lines[] = {
        QStringLiteral("Станция оператора ТЕРВАЛ"),
        QStringLiteral("______________________________"),
        QStringLiteral("Версия программы ") + kVersionText,
        QStringLiteral("Дата сборки: ") + QStringLiteral(TERVAL_BUILD_DATE),
        QStringLiteral("Исходный код: ") +
            (source.isEmpty() ? QStringLiteral("не указан") : source),
    };
    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(16);
    for (const QString& text : lines) {
        auto* label = new QLabel(text, this);
        label->setAlignment(Qt::AlignCenter);
        label->setFont(font);
        column->addWidget(label);
    }
}

void TFormAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (parentWidget()) {
        QRect r = geometry();
        r.moveCenter(parentWidget()->frameGeometry().center());
        move(r.topLeft());
    }
    // Beside a main window near the screen's edge it would stand partly off the screen.
    fitOnScreen(this);
}

}  // namespace terval
