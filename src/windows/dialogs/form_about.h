#pragma once

#include <QDialog>

namespace terval {

// "Описание программы": who looks after the station and which version this is.
class TFormAbout : public QDialog {
    Q_OBJECT
  public:
    explicit TFormAbout(QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;
};

}  // namespace terval
