#include "param/setpoint_limits.h"

#include <algorithm>

namespace terval {
namespace {

constexpr SetpointLimit kAny{0, 65535, 0};
constexpr SetpointLimit kUpTo10000{0, 10000, 0};

constexpr std::array<SetpointLimit, kSetpointLimitCount> buildLimits() {
    std::array<SetpointLimit, kSetpointLimitCount> table{};
    for (SetpointLimit& e : table) {
        e = kAny;
    }
    table[0] = SetpointLimit{1, 246, 0};  // the relay's own network address
    for (int n : {24, 26, 28, 30, 40}) {
        table[static_cast<size_t>(n)] = kUpTo10000;
    }
    return table;
}

constexpr std::array<const char*, 30> kEditablePanels = {
    "PanUst0",  "PanUst1",  "PanUst2",  "PanUst3",   "PanUst8",  "PanUst9",  "PanUst10", "PanUst11",
    "PanUst12", "PanUst13", "PanUst14", "PanUst15",  "PanUst16", "PanUst17", "PanUst18", "PanUst19",
    "PanUst22", "PanUst23", "PanUst47", "PanUst127", "PanPar32", "PanPar33", "PanPar34", "PanUst40",
    "PanUst41", "PanUst42", "PanUst43", "PanUst44",  "PanUst45", "PanUst46"};

}  // namespace

const std::array<SetpointLimit, kSetpointLimitCount> SetpointLimits = buildLimits();

std::optional<SetpointLimit> setpointLimit(int n) {
    if (n == kPasswordSetpoint) {
        return kAny;
    }
    if (n < 0 || n >= kSetpointLimitCount) {
        return std::nullopt;
    }
    return SetpointLimits[static_cast<size_t>(n)];
}

std::optional<int> setpointNumber(const QString& panelName) {
    const QStringView digits = QStringView(panelName).mid(6);
    if (panelName.size() <= 6 || digits.size() > 4) {
        return std::nullopt;
    }
    int n = 0;
    for (QChar c : digits) {
        if (!c.isDigit() || c.unicode() > u'9') {
            return std::nullopt;
        }
        n = n * 10 + (c.unicode() - u'0');
    }
    return n;
}

const std::array<const char*, 30>& editablePanelNames() {
    return kEditablePanels;
}

bool isEditablePanel(const QString& panelName) {
    return std::any_of(kEditablePanels.begin(), kEditablePanels.end(),
                       [&panelName](const char* name) { return panelName == QLatin1String(name); });
}

}  // namespace terval
