#pragma once

#include <QHash>
#include <QString>

#include "modbus/register_map.h"

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

// The caption beside each value panel, as the operator reads it. The window writes its captions
// from here, and the journal names a value the operator wrote by the caption of its panel, so the
// record says what the operator saw.
inline const QHash<QString, QString>& panelCaptions() {
    using namespace registers;
    static const QHash<QString, QString> captions = {
        // Current parameters.
        {currentPanel(status::kInsulationResistance),
         QStringLiteral("Сопротивление изоляции, [кОм]")},
        {currentPanel(status::kRemoteness), QStringLiteral("Электрическая удаленность, [%]")},
        {currentPanel(status::kAlpha1), QStringLiteral("Значение альфы 1, [%]")},
        {currentPanel(status::kAlpha2), QStringLiteral("Значение альфы 2, [%]")},
        {currentPanel(status::kExcitationVoltage), QStringLiteral("Напряжение взбуждения, [В]")},
        {currentPanel(status::kInjectedVoltage), QStringLiteral("Напряжение наложенное, [В]")},
        {currentPanel(status::kRunTime), QStringLiteral("Время работы системы, [мин]")},
        {currentPanel(status::kControlResistance), QStringLiteral("R контрольное, [кОм]")},
        // The channels' present offsets, edited on the settings page.
        {currentPanel(status::kFirstOffset), QStringLiteral("Текущее смещение")},
        {currentPanel(status::kFirstOffset + 1), QStringLiteral("Текущее смещение")},
        {currentPanel(status::kFirstOffset + 2), QStringLiteral("Текущее смещение")},
        // Setpoints.
        {setpointPanel(8), QStringLiteral("Уровень срабатывания защиты на СИГНАЛ,  кОм:")},
        {setpointPanel(9), QStringLiteral("Время срабатывания защиты на СИГНАЛ,  циклы")},
        {setpointPanel(10), QStringLiteral("Уровень срабатывания защиты на ОТКЛЮЧЕНИЕ,  кОм:")},
        {setpointPanel(11), QStringLiteral("Время срабатывания защиты на ОТКЛЮЧЕНИЕ,  циклы")},
        {setpointPanel(12), QStringLiteral("Уровень фиксации L, [кОм]")},
        {setpointPanel(13), QStringLiteral("Время фиксации L,  циклы")},
        {setpointPanel(14), QStringLiteral("Уровень фиксации L1, [%]")},
        {setpointPanel(15), QStringLiteral("Время фиксации L1,  циклы")},
        {setpointPanel(16), QStringLiteral("Недопустимое изменение сопротивления изоляции,  кОм:")},
        {setpointPanel(17), QStringLiteral("Время изменения сопротивления изоляции,,  циклы")},
        {setpointPanel(18), QStringLiteral("Переходный процесс ВКЛЮЧЕНИЯ, [мс]")},
        {setpointPanel(19), QStringLiteral("Переходный процесс ОТКЛЮЧЕНИЯ, [мс]")},
        {setpointPanel(22), QStringLiteral("Уровень,  кОм:")},
        {setpointPanel(23), QStringLiteral("Время,  циклы")},
        {setpointPanel(47), QStringLiteral("Переходный процесс, [мс]")},
        {setpointPanel(kPasswordRegister - kSetpointBlock), QStringLiteral("Пароль системы")},
        // Settings.
        {setpointPanel(0), QStringLiteral("Адрес подчиненного устройства:")},
        {setpointPanel(1), QStringLiteral("Время возврата из подменю, [мин]")},
        {setpointPanel(2), QStringLiteral("Время работы подсветки, [мин]")},
        {setpointPanel(3), QStringLiteral("Cкорость по RS485, [бод/сек]")},
        {setpointPanel(40), QStringLiteral("Коэффициент приведения")},
        {setpointPanel(41), QStringLiteral("Постоянная составляющая ")},
        {setpointPanel(42), QStringLiteral("Коэффициент приведения")},
        {setpointPanel(43), QStringLiteral("Постоянная составляющая ")},
        {setpointPanel(44), QStringLiteral("Коэффициент приведения при включенном Eвозб.")},
        {setpointPanel(45), QStringLiteral("Коэффициент приведения при отключенном Eвозб.")},
        {setpointPanel(46), QStringLiteral("Постоянная составляющая АЦП")},
        // Trip protocols.
        {kTripNumber, QStringLiteral("Протокол №")},
        {kTripDate, QStringLiteral("Дата формирования протокола")},
        {kTripTime, QStringLiteral("Время формирования протокола")},
        {tripValuePanel(trip::kInsulationResistance),
         QStringLiteral("Сопротивление изоляции, [кОм]")},
        {tripValuePanel(trip::kRemoteness), QStringLiteral("Электрическая удаленность, [%]")},
        {tripValuePanel(trip::kAlpha1), QStringLiteral("Значение альфы 1, [%]")},
        {tripValuePanel(trip::kAlpha2), QStringLiteral("Значение альфы 2, [%]")},
        {tripValuePanel(trip::kExcitationVoltage), QStringLiteral("Напряжение взбуждения, [В]")},
        {tripValuePanel(trip::kInjectedVoltage), QStringLiteral("Напряжение наложенное, [В]")},
        // Insulation-change protocols.
        {kInsulationNumber, QStringLiteral("Протокол №")},
        {kInsulationDate, QStringLiteral("Дата формирования протокола")},
        {kInsulationTime, QStringLiteral("Время формирования протокола")},
        {kInsulationInitial, QStringLiteral("Начальное сопротивление изоляции, кОм:")},
        {kInsulationFinal, QStringLiteral("Конечное сопротивление изоляции, кОм:")},
    };
    return captions;
}

// The caption beside a panel as the window writes it; empty for a name without one.
inline QString panelCaption(const QString& panel) {
    return panelCaptions().value(panel);
}

// The panel's caption as a record names the value: on one line, without the colon that leads to
// the panel.
inline QString recordCaption(const QString& panel) {
    QString caption = panelCaption(panel).simplified();
    if (caption.endsWith(QLatin1Char(':'))) {
        caption.chop(1);
    }
    return caption;
}

}  // namespace terval::param_controls
