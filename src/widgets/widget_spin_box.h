#pragma once

#include <QSpinBox>

namespace terval {

// A spin box that lets a number beyond its limits be typed whole and brings it to the nearer limit
// when the box is left or Enter is pressed (300 in an address box becomes 246). A plain QSpinBox
// refuses the keystroke that goes beyond the limit, so typing 300 would leave 30, another valid
// address, taken without a word.
class LimitedSpinBox final : public QSpinBox {
    Q_OBJECT
  public:
    explicit LimitedSpinBox(QWidget* parent = nullptr);

  protected:
    QValidator::State validate(QString& text, int& pos) const override;
    void fixup(QString& text) const override;
};

}  // namespace terval
