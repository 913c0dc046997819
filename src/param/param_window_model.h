#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>
#include <array>
#include <cstdint>
#include <optional>

#include "modbus/register_map.h"
#include "param/link_loss.h"
#include "param/param_view.h"
#include "param/setpoint_editor.h"
#include "poll/dispatcher.h"
#include "station/station_journal.h"

namespace terval {

class Clock;
class MessageSink;
class Scheduler;
class StationDisplay;
struct Station;

// The rules of the parameter window for the selected relay, apart from its widgets: what opening
// and showing it prepare, what the relay's answers put on it, the setpoint editor, the clock
// writes, the report request and the link-loss check. The station's core owns it, for the whole
// life of the station; the Qt window attaches itself as the view and forwards its events here; the
// tests drive it with a recording view.
class ParamWindowModel final : public ParamWindowDecoder {
  public:
    ParamWindowModel(Station& station, StationDisplay& display, MessageSink& messages,
                     const Clock& clock, const QLocale& locale, Scheduler& scheduler);

    // The window that shows it, or nothing: a station without windows, or a window gone, is shown
    // nothing. The view must stay until it is detached.
    void setView(ParamView* view);

    // "Открыть объект" before the window is shown: the scheduler's flags, the report button and
    // the link-loss baselines.
    void prepareOpen();
    void FormShow();
    void FormClose();
    // Once the window has closed: the scheduler goes back to polling all relays.
    void afterClose();

    void PageControl1Change(int page);
    void SpinEditNumbProtChange(int number);
    void SpinEditNumbPrRizChange(int number);
    void BtnCreateFileProtClick();
    void Timer1Timer();

    // Setpoint panels. A click on a panel that is not editable is refused (false).
    bool PanUstClick(const QString& panel);
    void PanUstExit(const QString& panel);
    void PanelUstKeyPressFloat(const QString& panel, int ch);
    // The window's character handler: true when the character went to the setpoint being edited.
    bool FormKeyPress(int ch);
    // The window's key-down handler: Escape closes the window unless a setpoint is being edited.
    // True when the key was used.
    bool ButtonSysKeyDown(int key);

    void DatePickerChange();
    void BtnSaveDTClick(const QDate& datePicker, const QTime& timePicker);
    void BtnSaveDTSysClick();

    // ParamWindowDecoder
    void showCurrentParameters(const RegisterWords& words) override;
    void showSetpoints(const RegisterWords& words) override;
    void showPassword(const RegisterWords& words) override;
    void showMode(const RegisterWords& words) override;
    void showTripProtocol(const RegisterWords& words) override;
    void showInsulationProtocol(const RegisterWords& words) override;

    const SetpointEditor& editor() const { return editor_; }
    const LinkLossCheck& linkLoss() const { return linkLoss_; }
    bool reportRequested() const { return ReportRequested; }
    // The number of the trip protocol on page 3, as it was asked of the relay; 0 before the first.
    int shownTripProtocol() const { return shownTripProtocol_; }

  private:
    void showUnlessEdited(const QString& panel, const QString& text);
    // The register as this opening of the window last read it.
    std::optional<uint16_t> valueRead(uint16_t reg) const;
    WriteNote clockNote() const;
    void updateReportButton();
    int activePage() const;

    Station& station_;
    StationDisplay& display_;
    MessageSink& messages_;
    const Clock& clock_;
    const QLocale& locale_;
    Scheduler& scheduler_;
    // The window attached, else one that shows nothing.
    ParamView* view_;
    SetpointEditor editor_;
    LinkLossCheck linkLoss_;
    // Set by the report button, cleared once a trip protocol answer has been handled for it. It
    // outlives the window, so a request made just before a close is served after the next opening.
    bool ReportRequested = false;
    int shownTripProtocol_ = 0;
    // What this opening has read of the relay, for the records of what the operator writes.
    std::array<std::optional<uint16_t>, registers::kSetpointCount> setpointsRead_{};
    std::optional<uint16_t> passwordRead_;
    std::optional<uint16_t> modeRead_;
    std::optional<qint64> clockOffsetMs_;
};

}  // namespace terval
