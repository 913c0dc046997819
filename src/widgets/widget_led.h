#pragma once

#include <QColor>
#include <QWidget>

namespace terval {

// A round lamp with an optional caption to its right, as on a control panel.
class LedIndicator : public QWidget {
    Q_OBJECT
  public:
    explicit LedIndicator(const QString& caption, QWidget* parent = nullptr,
                          QColor onColor = QColor(0x00, 0xFF, 0x00),
                          QColor offColor = QColor(0xC0, 0xC0, 0xC0), int lampSize = 13);

    bool isLit() const { return lit_; }
    // Repaints only the lamp, and only when it goes on or off.
    void setLit(bool lit);
    QString caption() const { return caption_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QRectF lampRect() const;
    QRect captionRect() const;

    QString caption_;
    QColor onColor_;
    QColor offColor_;
    int lampSize_;
    bool lit_ = false;
};

}  // namespace terval
