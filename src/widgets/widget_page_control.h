#pragma once

#include <QStackedWidget>
#include <QTabBar>
#include <QWidget>

namespace terval {

// Tabs whose selection can be "no tab": drawn all unselected while the control has no active page.
class PageTabBar : public QTabBar {
    Q_OBJECT
  public:
    explicit PageTabBar(QWidget* parent = nullptr) : QTabBar(parent) {}
    void setNoneSelected(bool none);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    bool noneSelected_ = false;
};

// Pages with their tabs at the bottom, where a tab shows only once its page has something to show
// and, unlike a tab widget, no page need be active: the window opens on an empty pane and the
// operator picks the page.
class PageControl : public QWidget {
    Q_OBJECT
  public:
    explicit PageControl(QWidget* parent = nullptr);

    int addPage(QWidget* page, const QString& caption);
    QWidget* page(int index) const;
    int count() const { return tabs_->count(); }

    void setTabVisible(int index, bool visible);
    bool isTabVisible(int index) const { return tabs_->isTabVisible(index); }
    QString tabText(int index) const { return tabs_->tabText(index); }
    PageTabBar* tabBar() const { return tabs_; }

    // -1: no active page, the pane stays empty.
    int activePage() const { return active_; }
    void setActivePage(int index);

  signals:
    // Only for the operator's choice of a page, not for setActivePage.
    void activePageChanged(int index);

  private:
    void choose(int index);

    PageTabBar* tabs_;
    QStackedWidget* stack_;
    int active_ = -1;
};

}  // namespace terval
