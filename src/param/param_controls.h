#pragma once

#include <QString>

// The parameter window's controls by name. The window's rules write to them by these names and the
// window gives its controls the same names, both from here, so that the two cannot drift apart; a
// test holds every name the rules write to a control of the window.
namespace terval::param_controls {

// Panels and lamps named after the register word or the status bit they show.
inline QString identityPanel(int statusWord) {  // PanPar_1: words 1, 2, 5 and 6
    return QStringLiteral("PanPar_%1").arg(statusWord);
}
inline QString identityLabel(int statusWord) {  // its caption; the first one has no underscore
    return statusWord == 1 ? QStringLiteral("LabPar1")
                           : QStringLiteral("LabPar_%1").arg(statusWord);
}
inline QString currentPanel(int statusWord) {
    return QStringLiteral("PanPar%1").arg(statusWord);
}
inline QString setpointPanel(int setpointWord) {
    return QStringLiteral("PanUst%1").arg(setpointWord);
}
inline QString tripValuePanel(int tripWord) {
    return QStringLiteral("PanProt%1").arg(tripWord);
}
inline QString statusLamp(int bit) {
    return QStringLiteral("AbLEDStBit%1").arg(bit);
}
inline QString tripStatusLamp(int bit) {
    return QStringLiteral("AbLEDProtStBit%1").arg(bit);
}
inline QString tripSignLamp(int bit) {
    return QStringLiteral("AbLEDProtPrBit%1").arg(bit);
}

// The status words shown in the header, identifying the relay.
inline constexpr int kIdentityWords[] = {1, 2, 5, 6};

// Header and current parameters.
inline const QString kGeneratorName = QStringLiteral("LabelName");
inline const QString kRelayClock = QStringLiteral("LabelDTDefence");
inline const QString kComputerClock = QStringLiteral("LabDTSys");
// The relay's clock against the computer's, under both.
inline const QString kClockOffset = QStringLiteral("LabClockOffset");
inline const QString kDatePicker = QStringLiteral("DatePicker");
inline const QString kTimePicker = QStringLiteral("TimePicker");
inline const QString kWriteChangedClock = QStringLiteral("BtnSaveDT");
inline const QString kWriteComputerClock = QStringLiteral("BtnSaveDTSys");
// The setpoints' group, hidden until the setpoint block has come.
inline const QString kSetpointGroup = QStringLiteral("GroupBoxUst");

// Trip protocols.
inline const QString kTripNumberBox = QStringLiteral("SpinEditNumbProt");
inline const QString kTripNumber = QStringLiteral("LabNumbProt");
inline const QString kTripDate = QStringLiteral("LabDateProt");
inline const QString kTripTime = QStringLiteral("LabTimeProt");
inline const QString kTripSign = QStringLiteral("LabelSign");
inline const QString kReportButton = QStringLiteral("BtnCreateFileProt");

// Insulation-change protocols.
inline const QString kInsulationNumberBox = QStringLiteral("SpinEditNumbPrRiz");
inline const QString kInsulationNumber = QStringLiteral("LabPrRizNumb");
inline const QString kInsulationDate = QStringLiteral("LabPrRizDate");
inline const QString kInsulationTime = QStringLiteral("LabPrRizTime");
inline const QString kInsulationInitial = QStringLiteral("PanPrRiz3");
inline const QString kInsulationFinal = QStringLiteral("PanPrRiz4");
inline const QString kInsulationKind = QStringLiteral("LabTypeChange");

}  // namespace terval::param_controls
