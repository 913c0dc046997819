#include "widgets/widget_led.h"

#include <QPaintEvent>
#include <QPainter>

namespace terval {

LedIndicator::LedIndicator(const QString& caption, QWidget* parent, QColor onColor, QColor offColor,
                           int lampSize)
    : QWidget(parent),
      caption_(caption),
      onColor_(onColor),
      offColor_(offColor),
      lampSize_(lampSize) {}

QRectF LedIndicator::lampRect() const {
    return QRectF(1.5, (height() - lampSize_) / 2.0, lampSize_, lampSize_);
}

QRect LedIndicator::captionRect() const {
    return QRect(lampSize_ + 6, 0, width() - lampSize_ - 6, height());
}

void LedIndicator::setLit(bool lit) {
    if (lit_ == lit) {
        return;
    }
    lit_ = lit;
    // The link lamps blink several times a second: the caption beside them stays as it is, and
    // laying its text out again at every blink cost more than drawing the lamp. A pixel around
    // the lamp's rectangle covers its outline and the antialiasing of its edge.
    update(lampRect().toAlignedRect().adjusted(-1, -1, 1, 1));
}

void LedIndicator::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF lamp = lampRect();
    QRadialGradient glow(lamp.center() - QPointF(lampSize_ / 5.0, lampSize_ / 5.0),
                         lampSize_ * 0.7);
    const QColor base = lit_ ? onColor_ : offColor_;
    glow.setColorAt(0.0, base.lighter(160));
    glow.setColorAt(1.0, base);
    p.setBrush(glow);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.drawEllipse(lamp);
    const QRect text = captionRect();
    if (!caption_.isEmpty() && event->rect().intersects(text)) {
        p.setPen(palette().color(QPalette::WindowText));
        p.setFont(font());
        p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, caption_);
    }
}

}  // namespace terval
