#include "windows/form_about.h"

#include <QLabel>
#include <QVBoxLayout>

#include "station/station_texts.h"

namespace terval {

TFormAbout::TFormAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormAbout"));
    setWindowTitle(QStringLiteral("Описание программы"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 16, 24, 16);
    column->setSpacing(6);
    column->setSizeConstraint(QLayout::SetFixedSize);
    const QString lines[] = {
        QStringLiteral("Станция оператора ТЕРВАЛ"),
        QStringLiteral("Группа разработки и сопровождения"),
        QStringLiteral("тел./факс: указывается при поставке"),
        QStringLiteral("e-mail: terval@example.org"),
        QStringLiteral("______________________________"),
        QStringLiteral("Версия программы ") + kVersionText,
        QStringLiteral("Дата:  15 ноября 2011г"),
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
}

}  // namespace terval
