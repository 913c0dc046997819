#pragma once

#include <QDateTime>
#include <QString>

#include "param/setpoint_editor.h"
#include "poll/protocol_pages.h"

namespace terval {

// What the parameter window shows, asked for by the control names of param_controls.h. A name the
// window does not have is skipped without a word: the relay's blocks hold words that have no
// control.
class ParamView {
  public:
    virtual ~ParamView() = default;

    virtual void setText(const QString& control, const QString& text) = 0;
    virtual QString text(const QString& control) const = 0;
    virtual void setControlVisible(const QString& control, bool visible) = 0;
    virtual void setControlEnabled(const QString& control, bool enabled) = 0;
    virtual void setLed(const QString& control, bool lit) = 0;
    virtual void setPanelLook(const QString& panel, PanelLook look) = 0;
    // LabTypeChange: a decrease in red, an increase in green, hidden when neither.
    virtual void showChangeKind(InsulationChange kind) = 0;

    // The page control: tabs appear as their data arrives; -1 is no active page.
    virtual void setTabVisible(int page, bool visible) = 0;
    virtual void setActivePage(int page) = 0;

    // Loads both pickers without it counting as the operator's change.
    virtual void loadPickers(const QDateTime& value) = 0;

    virtual void focusPanel(const QString& panel) = 0;
    virtual void focusPage(int page) = 0;

    // The 500 ms link-loss check.
    virtual void setLinkLossTimerRunning(bool running) = 0;
    // Closes the window with the Cancel result.
    virtual void closeWindow() = 0;
};

}  // namespace terval
