#include "widgets/widget_page_control.h"

#include <QKeyEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyleOptionFocusRect>
#include <QStyleOptionTab>
#include <QStyleOptionTabWidgetFrame>
#include <QVBoxLayout>

namespace terval {
namespace {

// The pane around the pages, drawn as a tab widget's frame with the tabs below it.
class PagePane : public QStackedWidget {
  public:
    using QStackedWidget::QStackedWidget;

    // As wide as the widest page, so the window keeps its width; as high as the page on show,
    // so no page stands above a blank half. With no page active, as high as the highest.
    QSize sizeHint() const override { return hint(&QWidget::sizeHint); }
    QSize minimumSizeHint() const override { return hint(&QWidget::minimumSizeHint); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOptionTabWidgetFrame frame;
        frame.initFrom(this);
        frame.shape = QTabBar::RoundedSouth;
        frame.rect = rect();
        style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &p, this);
    }

  private:
    QSize hint(QSize (QWidget::*of)() const) const {
        QSize widest;
        for (int i = 0; i < count(); ++i) {
            widest = widest.expandedTo((widget(i)->*of)());
        }
        const int height = currentIndex() > 0 ? (currentWidget()->*of)().height() : widest.height();
        const QMargins m = contentsMargins();
        return QSize(widest.width(), height).grownBy(m);
    }
};

}  // namespace

void PageTabBar::setNoneSelected(bool none) {
    if (noneSelected_ != none) {
        noneSelected_ = none;
        update();
    }
}

void PageTabBar::paintEvent(QPaintEvent* event) {
    if (!noneSelected_) {
        QTabBar::paintEvent(event);
        return;
    }
    QPainter p(this);
    bool focusShown = false;
    for (int i = 0; i < count(); ++i) {
        if (!isTabVisible(i)) {
            continue;
        }
        QStyleOptionTab tab;
        initStyleOption(&tab, i);
        tab.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        style()->drawControl(QStyle::CE_TabBarTab, &tab, &p, this);
        // The keyboard's place is the first tab, where the arrow keys start.
        if (hasFocus() && !focusShown) {
            focusShown = true;
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = tab.rect.adjusted(3, 3, -3, -3);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
        }
    }
}

void PageTabBar::keyPressEvent(QKeyEvent* event) {
    // With no page chosen the bar has no current tab to step from: an arrow key chooses the
    // first or the last page that can be shown.
    const bool arrow = event->key() == Qt::Key_Left || event->key() == Qt::Key_Right;
    if (!noneSelected_ || !arrow) {
        QTabBar::keyPressEvent(event);
        return;
    }
    const bool forward = (event->key() == Qt::Key_Right) != isRightToLeft();
    for (int k = 0; k < count(); ++k) {
        const int i = forward ? k : count() - 1 - k;
        if (isTabVisible(i) && isTabEnabled(i)) {
            emit tabBarClicked(i);
            break;
        }
    }
}

PageControl::PageControl(QWidget* parent)
    : QWidget(parent), tabs_(new PageTabBar(this)), stack_(new PagePane(this)) {
    tabs_->setShape(QTabBar::RoundedSouth);
    tabs_->setDrawBase(false);
    tabs_->setExpanding(false);
    tabs_->setUsesScrollButtons(false);
    tabs_->setFocusPolicy(Qt::TabFocus);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(stack_, 1);
    column->addWidget(tabs_, 0, Qt::AlignLeft);
    stack_->setContentsMargins(4, 4, 4, 4);
    // Index 0 of the stack is the empty pane shown while no page is active.
    stack_->addWidget(new QWidget(stack_));
    tabs_->setNoneSelected(true);

    connect(tabs_, &QTabBar::tabBarClicked, this, [this](int index) { choose(index); });
    connect(tabs_, &QTabBar::currentChanged, this, [this](int index) { choose(index); });
}

int PageControl::addPage(QWidget* page, const QString& caption) {
    const QSignalBlocker block(tabs_);
    stack_->addWidget(page);
    const int index = tabs_->addTab(caption);
    stack_->setCurrentIndex(active_ + 1);
    return index;
}

QWidget* PageControl::page(int index) const {
    return index >= 0 && index < count() ? stack_->widget(index + 1) : nullptr;
}

void PageControl::setTabVisible(int index, bool visible) {
    if (index < 0 || index >= count() || tabs_->isTabVisible(index) == visible) {
        return;
    }
    // The tab bar moves its own selection when tabs come and go; the active page stays ours.
    const QSignalBlocker block(tabs_);
    tabs_->setTabVisible(index, visible);
    if (active_ >= 0) {
        tabs_->setCurrentIndex(active_);
    }
    if (!visible && index == active_) {
        setActivePage(-1);
    }
}

void PageControl::setActivePage(int index) {
    if (index < -1 || index >= count()) {
        return;
    }
    active_ = index;
    const QSignalBlocker block(tabs_);
    if (index >= 0) {
        tabs_->setCurrentIndex(index);
    }
    tabs_->setNoneSelected(index < 0);
    stack_->setCurrentIndex(index + 1);
    stack_->updateGeometry();
}

void PageControl::choose(int index) {
    if (index < 0 || index >= count() || !tabs_->isTabVisible(index) || index == active_) {
        return;
    }
    setActivePage(index);
    emit activePageChanged(index);
}

}  // namespace terval
