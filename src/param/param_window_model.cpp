#include "param/param_window_model.h"

#include "modbus/register_map.h"
#include "param/current_parameters.h"
#include "param/device_clock.h"
#include "param/param_controls.h"
#include "param/setpoint_limits.h"
#include "poll/report_file.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/message_sink.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {

using namespace param_controls;

namespace {

constexpr int kPageCount = 5;

// Where the rules write while no window is attached: nowhere, and nothing reads back.
class DetachedParamView final : public ParamView {
  public:
    void setText(const QString&, const QString&) override {}
    QString text(const QString&) const override { return {}; }
    void setControlVisible(const QString&, bool) override {}
    void setControlEnabled(const QString&, bool) override {}
    void setLed(const QString&, bool) override {}
    void setPanelLook(const QString&, PanelLook) override {}
    void showChangeKind(InsulationChange) override {}
    void setTabVisible(int, bool) override {}
    void setActivePage(int) override {}
    void loadPickers(const QDateTime&) override {}
    void focusPanel(const QString&) override {}
    void focusPage(int) override {}
    void setLinkLossTimerRunning(bool) override {}
    void closeWindow() override {}
};

ParamView& detachedView() {
    static DetachedParamView view;
    return view;
}

}  // namespace

ParamWindowModel::ParamWindowModel(Station& station, StationDisplay& display, MessageSink& messages,
                                   const Clock& clock, const QLocale& locale, Scheduler& scheduler)
    : station_(station),
      display_(display),
      messages_(messages),
      clock_(clock),
      locale_(locale),
      scheduler_(scheduler),
      view_(&detachedView()) {}

void ParamWindowModel::setView(ParamView* view) {
    view_ = view != nullptr ? view : &detachedView();
}

int ParamWindowModel::activePage() const {
    return station_.poll.activePage();
}

void ParamWindowModel::prepareOpen() {
    scheduler_.windowOpened();
    setpointsRead_.fill(std::nullopt);
    passwordRead_.reset();
    modeRead_.reset();
    clockOffsetMs_.reset();
    view_->setControlEnabled(kReportButton, true);
    const DeviceTable& table = station_.devices;
    if (table.hasSelection()) {
        linkLoss_.takeBaselines(table.entry(table.SelectedDevice));
    }
}

void ParamWindowModel::FormShow() {
    scheduler_.pageChosen(kNoPage);
    view_->setActivePage(kNoPage);
    for (int page = 0; page < kPageCount; ++page) {
        view_->setTabVisible(page, false);
    }
    // Until this relay's first answer the identity of the relay shown last time would stand under
    // this relay's name.
    for (int word : kIdentityWords) {
        view_->setControlVisible(identityPanel(word), false);
        view_->setControlVisible(identityLabel(word), false);
    }
    const DeviceTable& table = station_.devices;
    if (table.hasSelection()) {
        view_->setText(kGeneratorName, table.entry(table.SelectedDevice).GeneratorName);
    }
    view_->setText(kClockOffset, QString());
    view_->setControlEnabled(kWriteChangedClock, false);
    view_->setLinkLossTimerRunning(true);
}

void ParamWindowModel::FormClose() {
    view_->setLinkLossTimerRunning(false);
    // An edit cut short by the close would otherwise keep its panel from every refresh and Escape
    // from closing the window after the next opening.
    if (editor_.SetpointEditActive()) {
        PanUstExit(editor_.EditedPanelName());
    }
}

void ParamWindowModel::afterClose() {
    scheduler_.windowClosed();
}

void ParamWindowModel::PageControl1Change(int page) {
    scheduler_.pageChosen(page);
    const DeviceTable& table = station_.devices;
    // Looking at the insulation-change protocols acknowledges a newly logged event.
    if (page == kPageInsulationProtocols && table.hasSelection()) {
        TileModel& tile = station_.tile(table.SelectedDevice);
        // The event may wait on a tile that is grey: its relay stopped answering since.
        if (tile.state == kTileEvent || tile.eventWaiting) {
            tile.eventWaiting = false;
            station_.journal.acknowledged(table.SelectedDevice);
        }
        display_.setTileState(table.SelectedDevice, kTileAnswering);
    }
}

void ParamWindowModel::SpinEditNumbProtChange(int number) {
    scheduler_.tripProtocolChosen(number);
    updateReportButton();
}

void ParamWindowModel::SpinEditNumbPrRizChange(int number) {
    scheduler_.insulationProtocolChosen(number);
}

void ParamWindowModel::updateReportButton() {
    // Only the protocol on display may be reported: after another number is chosen the button
    // waits for that protocol to arrive. The comparison goes by the number the record was asked
    // for, since the number a relay stores in its record runs on from event to event.
    const bool shownIsChosen =
        shownTripProtocol_ == registers::protocolRead(station_.poll.tripProtocolNumber());
    view_->setControlEnabled(kReportButton, !ReportRequested && shownIsChosen);
}

void ParamWindowModel::BtnCreateFileProtClick() {
    ReportRequested = true;
    view_->focusPage(activePage());
    view_->setControlEnabled(kReportButton, false);
}

void ParamWindowModel::Timer1Timer() {
    const DeviceTable& table = station_.devices;
    // The link has gone: nothing of the relay is live any more.
    if (!station_.poll.ParamWindowOpen()) {
        view_->closeWindow();
        return;
    }
    if (!table.hasSelection()) {
        return;
    }
    if (linkLoss_.check(table.entry(table.SelectedDevice)) == LinkLossCheck::Verdict::Close) {
        view_->closeWindow();
    }
}

// ---- setpoint editing ----

bool ParamWindowModel::PanUstClick(const QString& panel) {
    if (!isEditablePanel(panel)) {
        return false;
    }
    if (editor_.isEditing(panel)) {
        // A second click on the panel being edited starts the typing again; Escape still brings
        // back the value shown before the first click.
        const QString saved = editor_.EditSavedText();
        editor_.begin(panel, saved);
        view_->setText(panel, QString());
        return true;
    }
    if (editor_.SetpointEditActive()) {
        PanUstExit(editor_.EditedPanelName());
    }
    view_->setPanelLook(panel, PanelLook::Editing);
    view_->focusPanel(panel);
    editor_.begin(panel, view_->text(panel));
    view_->setText(panel, QString());
    return true;
}

void ParamWindowModel::PanUstExit(const QString& panel) {
    if (!isEditablePanel(panel)) {
        return;
    }
    view_->setPanelLook(panel, PanelLook::Plain);
    editor_.leave(panel);
}

void ParamWindowModel::PanelUstKeyPressFloat(const QString& panel, int ch) {
    if (!editor_.isEditing(panel)) {
        return;
    }
    const QString shownBefore = editor_.EditSavedText();
    const EditorKeyResult result = editor_.key(ch);
    view_->setText(panel, result.text);
    if (result.editEnded) {
        PanUstExit(panel);
        view_->focusPage(activePage());
    }
    if (result.write) {
        WriteNote note;
        note.relay = station_.devices.SelectedDevice;
        note.caption = recordCaption(panel);
        note.shownBefore = shownBefore;
        note.shownWritten = result.text;
        note.valueBefore = valueRead(result.write->reg);
        scheduler_.queueWrite(result.write->reg, &result.write->value, 1, std::move(note));
    }
}

bool ParamWindowModel::FormKeyPress(int ch) {
    if (!editor_.SetpointEditActive()) {
        return false;
    }
    PanelUstKeyPressFloat(editor_.EditedPanelName(), ch);
    return true;
}

bool ParamWindowModel::ButtonSysKeyDown(int key) {
    if (key != SetpointEditor::kEscape || editor_.SetpointEditActive()) {
        return false;
    }
    view_->closeWindow();
    return true;
}

// ---- device clock ----

void ParamWindowModel::DatePickerChange() {
    view_->setControlEnabled(kWriteChangedClock, true);
}

std::optional<uint16_t> ParamWindowModel::valueRead(uint16_t reg) const {
    using namespace registers;
    if (reg == kPasswordRegister) {
        return passwordRead_;
    }
    if (reg == kModeRegister) {
        return modeRead_;
    }
    if (reg >= kSetpointBlock && reg < kSetpointBlock + kSetpointCount) {
        return setpointsRead_[reg - kSetpointBlock];
    }
    return std::nullopt;
}

WriteNote ParamWindowModel::clockNote() const {
    WriteNote note;
    note.relay = station_.devices.SelectedDevice;
    note.clockOffsetMs = clockOffsetMs_;
    return note;
}

void ParamWindowModel::BtnSaveDTClick(const QDate& datePicker, const QTime& timePicker) {
    CreateDataForWrite(scheduler_, pickedDateTime(datePicker, timePicker), clockNote());
    view_->focusPage(kPageCurrent);
}

void ParamWindowModel::BtnSaveDTSysClick() {
    CreateDataForWrite(scheduler_, clock_.now(), clockNote());
    view_->focusPage(kPageCurrent);
}

// ---- decoding of the selected relay's answers ----

void ParamWindowModel::showUnlessEdited(const QString& panel, const QString& text) {
    // The operator's typing is never overwritten by a refresh.
    if (!editor_.isEditing(panel)) {
        view_->setText(panel, text);
    }
}

void ParamWindowModel::showCurrentParameters(const RegisterWords& words) {
    const CurrentParameters p = decodeCurrentParameters(words, clock_.now(), locale_);
    for (const PanelText& t : p.identity) {
        view_->setText(t.name, t.text);
        view_->setControlVisible(t.name, true);
    }
    for (int word : kIdentityWords) {
        view_->setControlVisible(identityLabel(word), true);
    }
    // PanPar32 to PanPar34 are edited like setpoints, so they keep the operator's typing too.
    for (const PanelText& t : p.values) {
        showUnlessEdited(t.name, t.text);
    }
    view_->setTabVisible(kPageCurrent, true);
    // The window shows the current parameters as soon as there are some, rather than an empty
    // pane until a tab is clicked; any other page stays the operator's choice.
    if (activePage() == kNoPage) {
        view_->setActivePage(kPageCurrent);
        PageControl1Change(kPageCurrent);
    }
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        view_->setLed(statusLamp(bit), p.status[static_cast<size_t>(bit)]);
    }
    view_->setText(kRelayClock, p.relayClock);
    view_->setText(kComputerClock, p.systemClock);
    view_->setText(kClockOffset, p.clockOffset);
    clockOffsetMs_ = p.clockOffsetMs;
    if (p.clockOffsetMs && station_.devices.hasSelection()) {
        station_.journal.clockRead(station_.devices.SelectedDevice, *p.clockOffsetMs);
    }
    if (station_.poll.InitialRead() && p.pickers) {
        view_->loadPickers(*p.pickers);
    }
}

void ParamWindowModel::showSetpoints(const RegisterWords& words) {
    using namespace registers;
    station_.journal.alarmLevelsRead(station_.devices.SelectedDevice, words[kSignalLevelSetpoint],
                                     words[kTripLevelSetpoint]);
    for (size_t i = 0; i < setpointsRead_.size(); ++i) {
        setpointsRead_[i] = words[i];
    }
    view_->setControlVisible(kSetpointGroup, true);
    for (const PanelText& t : setpointPanelTexts(words)) {
        showUnlessEdited(t.name, t.text);
    }
    view_->setTabVisible(kPageSetpoints, true);
    view_->setTabVisible(kPageSettings, true);
}

void ParamWindowModel::showPassword(const RegisterWords& words) {
    passwordRead_ = words[0];
    showUnlessEdited(setpointPanel(kPasswordSetpoint), QString::number(words[0]));
}

void ParamWindowModel::showMode(const RegisterWords& words) {
    // The operating mode is read with the setpoints but shown nowhere; it is kept for the record
    // of a write to it.
    modeRead_ = words[0];
}

void ParamWindowModel::showTripProtocol(const RegisterWords& words) {
    const TripProtocolPage page = decodeTripProtocol(words);
    using namespace registers::trip;
    for (int word : {kRemoteness, kAlpha1, kAlpha2, kInsulationResistance, kExcitationVoltage,
                     kInjectedVoltage}) {
        view_->setText(tripValuePanel(word), page.value(word));
    }
    view_->setTabVisible(kPageTripProtocols, true);
    view_->setText(kTripNumber, page.number);
    view_->setText(kTripDate, page.date);
    view_->setText(kTripTime, page.time);
    view_->setText(kTripSign, page.sign);
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        view_->setLed(tripStatusLamp(bit), page.status[static_cast<size_t>(bit)]);
    }
    // The request that this answers is still the one in RequestFrame.
    const int asked = tripProtocolOfRegister(station_.request.registerAddress());
    shownTripProtocol_ =
        asked > 0 ? asked : registers::protocolRead(station_.poll.tripProtocolNumber());

    if (ReportRequested) {
        // One attempt per click: a report that cannot be written is told once, and the button
        // comes back so the operator can try again once the cause is removed.
        ReportRequested = false;
        const DeviceTable& table = station_.devices;
        if (table.hasSelection()) {
            const DeviceEntry& relay = table.entry(table.SelectedDevice);
            const ReportOutcome outcome =
                writeTripReport(station_.folder, relay.GeneratorName, relay.Address, page);
            if (outcome.error) {
                messages_.showMessage(MessageIcon::Error, *outcome.error);
            } else {
                messages_.showMessage(
                    MessageIcon::Information,
                    QStringLiteral("Отчет записан: ") + QDir::toNativeSeparators(outcome.path));
            }
        }
    }
    updateReportButton();
}

void ParamWindowModel::showInsulationProtocol(const RegisterWords& words) {
    const InsulationProtocolPage page = decodeInsulationProtocol(words);
    view_->setTabVisible(kPageInsulationProtocols, true);
    view_->setText(kInsulationInitial, page.initial);
    view_->setText(kInsulationFinal, page.final);
    view_->setText(kInsulationNumber, page.number);
    view_->showChangeKind(page.kind);
    view_->setText(kInsulationDate, page.date);
    view_->setText(kInsulationTime, page.time);
}

}  // namespace terval
