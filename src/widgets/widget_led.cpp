#include "widgets/widget_led.h"

#include <QPainter>

namespace terval {

LedIndicator::LedIndicator(const QString& caption, QWidget* parent, QColor onColor, QColor offColor,
                           int lampSize)
    : QWidget(parent),
      caption_(caption),
      onColor_(onColor),
      offColor_(offColor),
      lampSize_(lampSize) {}

void LedIndicator::setLit(bool lit) {
    if (lit_ != lit) {
        lit_ = lit;
        update();
    }
}

void LedIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF lamp(1.5, (height() - lampSize_) / 2.0, lampSize_, lampSize_);
    QRadialGradient glow(lamp.center() - QPointF(lampSize_ / 5.0, lampSize_ / 5.0),
                         lampSize_ * 0.7);
    const QColor base = lit_ ? onColor_ : offColor_;
    glow.setColorAt(0.0, base.lighter(160));
    glow.setColorAt(1.0, base);
    p.setBrush(glow);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.drawEllipse(lamp);
    if (!caption_.isEmpty()) {
        p.setPen(palette().color(QPalette::WindowText));
        p.setFont(font());
        const QRect text(lampSize_ + 6, 0, width() - lampSize_ - 6, height());
        p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, caption_);
    }
}

}  // namespace terval
