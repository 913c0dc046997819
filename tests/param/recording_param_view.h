#pragma once

#include <QHash>
#include <QSet>
#include <QStringList>
#include <array>

#include "param/param_view.h"

namespace terval::testing {

// The parameter window as the core sees it, recording what it was told. Only controls in `known`
// take texts, as a window without such a control would.
class RecordingParamView final : public ParamView {
  public:
    void setText(const QString& control, const QString& text) override {
        if (exists(control)) {
            texts[control] = text;
            ++textWrites[control];
        }
    }
    QString text(const QString& control) const override { return texts.value(control); }
    void setControlVisible(const QString& control, bool visible) override {
        visibility[control] = visible;
    }
    void setControlEnabled(const QString& control, bool enabled) override {
        enabledState[control] = enabled;
    }
    void setLed(const QString& control, bool lit) override { leds[control] = lit; }
    void setPanelLook(const QString& panel, PanelLook look) override { looks[panel] = look; }
    void showChangeKind(InsulationChange kind) override { changeKind = kind; }
    void setTabVisible(int page, bool visible) override {
        tabs.at(static_cast<size_t>(page)) = visible;
        if (visible) {
            tabOrder << page;
        }
    }
    void setActivePage(int page) override { activePage = page; }
    void loadPickers(const QDateTime& value) override {
        pickers = value;
        ++pickerLoads;
    }
    void focusPanel(const QString& panel) override { focused = panel; }
    void focusPage(int page) override { focused = QStringLiteral("page %1").arg(page); }
    void setLinkLossTimerRunning(bool running) override { timer = running; }
    void closeWindow() override { ++closes; }

    bool exists(const QString& control) const { return known.isEmpty() || known.contains(control); }
    bool enabled(const QString& control) const { return enabledState.value(control, true); }

    QSet<QString> known;
    QHash<QString, QString> texts;
    QHash<QString, int> textWrites;
    QHash<QString, bool> visibility;
    QHash<QString, bool> enabledState;
    QHash<QString, bool> leds;
    QHash<QString, PanelLook> looks;
    InsulationChange changeKind = InsulationChange::None;
    std::array<bool, 5> tabs{true, true, true, true, true};
    QList<int> tabOrder;
    int activePage = 99;
    QDateTime pickers;
    int pickerLoads = 0;
    QString focused;
    bool timer = false;
    int closes = 0;
};

}  // namespace terval::testing
