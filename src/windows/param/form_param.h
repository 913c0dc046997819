#pragma once

#include <QDateEdit>
#include <QDialog>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTimer>

#include "param/param_view.h"
#include "param/param_window_model.h"
#include "poll/dispatcher.h"

class QHBoxLayout;
class QKeyEvent;
class QVBoxLayout;

namespace terval {

class LedIndicator;
class PageControl;
class StationCore;

// A trip protocol as the parameter window's page shows it, its controls under their documented
// names (param_controls.h): the stamp, the status lamps, the sign lamps (hidden: the sign is shown
// as text), the sign beside "Признак:" and the six values. The page and the journal's protocol
// window are made of the same groups, so that a protocol looks alike wherever it is read.
struct TripProtocolGroups {
    QGroupBox* stamp = nullptr;
    QGroupBox* status = nullptr;
    QGroupBox* signLamps = nullptr;
    QHBoxLayout* signRow = nullptr;  // to be added to a layout of `page`
    QGroupBox* values = nullptr;
};
TripProtocolGroups buildTripProtocolGroups(QWidget* page);

// The parameter window of the selected relay: its measurements and status, setpoints and settings
// edited in place, the relay's clock, its stored protocols and the report file. The rules are in
// ParamWindowModel; this window shows what it is told and forwards the operator's actions. The
// class, its controls (param_controls.h, PageControl1, …) and its handlers (PanUstClick,
// BtnSaveDTClick, …) keep the names the station's description gives them.
class TFormParam : public QDialog, public ParamView {
    Q_OBJECT
  public:
    TFormParam(StationCore& core, QWidget* parent);
    ~TFormParam() override;

    // "Открыть объект": prepares the opening, shows the window modally and, once it has closed,
    // lets the scheduler return to all relays. The window stays installed for the answers of the
    // selected relay's steps that are still under way.
    int openForSelectedRelay();
    // The two halves around exec(), for callers that show the window themselves.
    void prepareOpen();
    void afterClose();

    ParamWindowModel& model() { return model_; }

    // Handlers, callable without exec().
    void FormShow();
    void FormClose();
    void PageControl1Change(int page);
    void SpinEditNumbProtChange(int number);
    void SpinEditNumbPrRizChange(int number);
    void BtnCreateFileProtClick();
    void Timer1Timer();
    void PanUstClick(QWidget* panel);
    void PanUstExit(QWidget* panel);
    void PanelUstKeyPressFloat(QWidget* panel, int key);
    void DatePickerChange();
    void BtnSaveDTClick();
    void BtnSaveDTSysClick();
    // "Тренд…": the insulation trend of this relay, in its own window beside this one.
    void showTrend();

    // ParamView
    void setText(const QString& control, const QString& text) override;
    QString text(const QString& control) const override;
    void setControlVisible(const QString& control, bool visible) override;
    void setControlEnabled(const QString& control, bool enabled) override;
    void setLed(const QString& control, bool lit) override;
    void setPanelLook(const QString& panel, PanelLook look) override;
    void showChangeKind(InsulationChange kind) override;
    void setTabVisible(int page, bool visible) override;
    void setActivePage(int page) override;
    void loadPickers(const QDateTime& value) override;
    void focusPanel(const QString& panel) override;
    void focusPage(int page) override;
    void setLinkLossTimerRunning(bool running) override;
    void closeWindow() override;

    // The control of that name, as the decoding finds it.
    QWidget* control(const QString& name) const { return controls_.value(name); }

  signals:
    // The trend of relay `number` is asked for; the main window owns the trend window.
    void trendRequested(int number);

  protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildHeader(QVBoxLayout* column);
    QWidget* buildCurrentPage();
    QWidget* buildSetpointsPage();
    QWidget* buildSettingsPage();
    QWidget* buildTripProtocolsPage();
    QWidget* buildInsulationProtocolsPage();
    void collectControls();
    bool handleKey(QObject* watched, QKeyEvent* key);

    // Controls of the window that its own code reaches, under their documented names; the rest are
    // found by name, as the tests find these.
    QLabel* LabelName = nullptr;
    QPushButton* BtnTrend = nullptr;
    PageControl* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* TabSheet6 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QLabel* LabelDTDefence = nullptr;
    QLabel* LabDTSys = nullptr;
    QDateEdit* DatePicker = nullptr;
    QTimeEdit* TimePicker = nullptr;
    QPushButton* BtnSaveDT = nullptr;
    QPushButton* BtnSaveDTSys = nullptr;
    QSpinBox* SpinEditNumbProt = nullptr;
    QSpinBox* SpinEditNumbPrRiz = nullptr;
    QPushButton* BtnCreateFileProt = nullptr;
    QLabel* LabTypeChange = nullptr;
    QTimer* Timer1 = nullptr;

    StationCore& core_;
    // The core's, for as long as this window shows it.
    ParamWindowModel& model_;
    QHash<QString, QWidget*> controls_;
};

}  // namespace terval
