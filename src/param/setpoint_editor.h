#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace terval {

// How an editable panel is drawn: idle panels show navy text on the window colour, the panel in
// edit mode is green with text in the window colour, so the operator sees where the keys go.
enum class PanelLook { Plain, Editing };

// One register to write, as the editor hands it to the poll scheduler.
struct SetpointWrite {
    uint16_t reg = 0;
    uint16_t value = 0;
    bool operator==(const SetpointWrite&) const = default;
};

struct EditorKeyResult {
    QString text;  // what the panel shows after the key
    bool editEnded =
        false;  // Enter or Escape: edit mode is over and the focus goes back to the page
    std::optional<SetpointWrite> write;
};

// The in-place number editor of the setpoint panels, one panel at a time, driven key by key. It
// keeps the typed text within the panel's limits: a digit that would take the number past the
// maximum is refused, Enter clamps to the range and asks for the write, Escape gives the text back.
class SetpointEditor {
  public:
    static constexpr int kBackspace = 8;
    static constexpr int kEnter = 13;
    static constexpr int kEscape = 27;

    // Edit mode for `panel`, which shows `shownText`; typing starts from an empty text. False when
    // the panel is not one the operator may edit.
    bool begin(const QString& panel, const QString& shownText);
    // The panel lost the focus: edit mode ends, the text stays as typed until the next refresh.
    // A late notice from a panel that is no longer the edited one changes nothing.
    void leave(const QString& panel);

    // One typed character (its code); every character is consumed.
    EditorKeyResult key(int ch);

    bool SetpointEditActive() const { return active_; }
    const QString& EditedPanelName() const { return panel_; }
    const QString& EditSavedText() const { return saved_; }
    const QString& text() const { return text_; }
    // Whether a refresh of the panel's value must leave it alone.
    bool isEditing(const QString& panel) const { return active_ && panel == panel_; }

  private:
    bool active_ = false;
    QString panel_;
    QString saved_;
    QString text_;
    int number_ = 0;
};

}  // namespace terval
