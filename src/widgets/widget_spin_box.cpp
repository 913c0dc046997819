#include "widgets/widget_spin_box.h"

#include <algorithm>

namespace terval {

LimitedSpinBox::LimitedSpinBox(QWidget* parent) : QSpinBox(parent) {
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

QValidator::State LimitedSpinBox::validate(QString& text, int&) const {
    const QString digits = text.trimmed();
    if (digits.isEmpty()) {
        return QValidator::Intermediate;
    }
    // Nine digits still fit an int; more is no number anyone means here.
    if (digits.size() > 9) {
        return QValidator::Invalid;
    }
    for (const QChar c : digits) {
        if (!c.isDigit()) {
            return QValidator::Invalid;
        }
    }
    const int value = digits.toInt();
    return value >= minimum() && value <= maximum() ? QValidator::Acceptable
                                                    : QValidator::Intermediate;
}

void LimitedSpinBox::fixup(QString& text) const {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok) {
        text = QString::number(std::clamp(value, minimum(), maximum()));
    }
}

}  // namespace terval
