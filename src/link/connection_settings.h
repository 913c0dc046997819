#pragma once

#include <QChar>
#include <QString>
#include <array>
#include <optional>

#include "devices/connection_config.h"
#include "link/link.h"

namespace terval {

// What the settings dialog's address and port edits do with one key.
enum class EditKey {
    Accept,           // the character goes into the edit
    Discard,          // it is dropped
    Leave,            // dropped, and the edit is left (Enter)
    RestoreAndLeave,  // dropped, the text from before the click comes back, the edit is left (Esc)
};

inline constexpr QChar kKeyBackspace(0x08);
inline constexpr QChar kKeyEnter(0x0D);
inline constexpr QChar kKeyEscape(0x1B);

// Both filters judge a key as if it were typed at the end of the present text. Beyond the
// numeric limits, a digit is refused where it would make a text that "OK" cannot store: a fourth
// digit in an address group ("0255") or a sixth in the port ("000000").
EditKey ipAddressKey(const QString& text, QChar key);
EditKey ipPortKey(const QString& text, QChar key);
using EditKeyFilter = EditKey (*)(const QString&, QChar);

// Pasted text goes through the filter as if typed after `text`, character by character; returns
// what is let through. Backspace, Enter and Escape within it are dropped, not acted on.
QString acceptedTyping(const QString& text, const QString& typed, EditKeyFilter filter);

// The address text as four numbers 0 to 255, or nothing when it is not one.
std::optional<std::array<uint8_t, 4>> parseIpAddress(const QString& text);

struct SettingsApply {
    // Set when the dialog must stay open: the message to show. The record is then unchanged.
    std::optional<QString> error;
    // What the address edit shows afterwards (the stored address when the typed one was kept).
    QString addressText;
};

// "OK" of the connection settings: link type, the port object's name and speed with the framing
// always 8N1 and no flow control, the address (kept when the text has fewer than three dots) and
// the port. A text that would not fit the record is refused as a whole.
SettingsApply applyConnectionSettings(ConnectionConfig& config, int linkType,
                                      const SerialSettings& port, const QString& addressText,
                                      const QString& portText);

// The index of a baud rate in the record's table; 0 ("custom") for a rate it does not list.
uint8_t baudIndexOf(int32_t baudRate);

}  // namespace terval
