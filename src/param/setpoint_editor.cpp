#include "param/setpoint_editor.h"

#include "param/setpoint_limits.h"
#include "station/value_text.h"

namespace terval {
namespace {

// The typed digits as a number; anything beyond ten significant digits is past every maximum.
uint64_t digitsValue(const QString& digits) {
    uint64_t value = 0;
    int significant = 0;
    for (QChar c : digits) {
        value = value * 10 + static_cast<uint64_t>(c.unicode() - u'0');
        if (value > 0 && ++significant > 10) {
            return UINT64_MAX;
        }
    }
    return value;
}

}  // namespace

bool SetpointEditor::begin(const QString& panel, const QString& shownText) {
    const std::optional<int> n = setpointNumber(panel);
    if (!isEditablePanel(panel) || !n || !setpointLimit(*n)) {
        return false;
    }
    active_ = true;
    panel_ = panel;
    saved_ = shownText;
    text_.clear();
    number_ = *n;
    return true;
}

void SetpointEditor::leave(const QString& panel) {
    if (panel == panel_) {
        active_ = false;
    }
}

EditorKeyResult SetpointEditor::key(int ch) {
    EditorKeyResult result;
    if (!active_) {
        result.text = text_;
        return result;
    }
    const SetpointLimit limit = *setpointLimit(number_);
    if (ch == kEscape) {
        text_ = saved_;
        active_ = false;
        result.editEnded = true;
    } else if (ch == kBackspace) {
        text_.chop(1);
    } else if (ch >= '0' && ch <= '9') {
        const QString candidate = text_ + QChar(ch);
        if (digitsValue(candidate) <= limit.Max) {
            text_ = candidate;
        }
    } else if (ch == kEnter) {
        // The text holds digits only, so it always converts; the empty text counts as 0.
        uint16_t value = TextToValue(text_).value_or(0);
        if (value > limit.Max) {
            value = limit.Max;
        } else if (value < limit.Min) {
            value = limit.Min;
        }
        text_ = ValueToText(value, 0);
        active_ = false;
        result.editEnded = true;
        result.write = SetpointWrite{setpointRegister(number_), value};
    }
    // A point is ignored: no setpoint carries decimals. Every other character is swallowed.
    result.text = text_;
    return result;
}

}  // namespace terval
