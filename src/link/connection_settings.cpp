#include "link/connection_settings.h"

namespace terval {
namespace {

// Shared by both edits: Backspace passes, Enter and Escape leave the edit.
std::optional<EditKey> controlKey(QChar key) {
    if (key == kKeyBackspace)
        return EditKey::Accept;
    if (key == kKeyEnter)
        return EditKey::Leave;
    if (key == kKeyEscape)
        return EditKey::RestoreAndLeave;
    return std::nullopt;
}

}  // namespace

EditKey ipAddressKey(const QString& text, QChar key) {
    if (const auto control = controlKey(key)) {
        if (*control != EditKey::Leave) {
            return *control;
        }
        // Enter leaves only a complete address.
        const bool complete = text.count(QLatin1Char('.')) == 3 && !text.endsWith(QLatin1Char('.'));
        return complete ? EditKey::Leave : EditKey::Discard;
    }
    const int dots = static_cast<int>(text.count(QLatin1Char('.')));
    if (key == QLatin1Char('.')) {
        const bool refused = dots == 3 || text.isEmpty() || text.endsWith(QLatin1Char('.'));
        return refused ? EditKey::Discard : EditKey::Accept;
    }
    if (key < QLatin1Char('0') || key > QLatin1Char('9')) {
        return EditKey::Discard;
    }
    const QString group = text.mid(text.lastIndexOf(QLatin1Char('.')) + 1) + key;
    return group.size() > 3 || group.toInt() > 255 ? EditKey::Discard : EditKey::Accept;
}

EditKey ipPortKey(const QString& text, QChar key) {
    if (const auto control = controlKey(key)) {
        return *control;
    }
    if (key < QLatin1Char('0') || key > QLatin1Char('9')) {
        return EditKey::Discard;
    }
    const QString port = text + key;
    return port.size() > 5 || port.toLongLong() > 65535 ? EditKey::Discard : EditKey::Accept;
}

QString acceptedTyping(const QString& text, const QString& typed, EditKeyFilter filter) {
    QString result = text;
    for (QChar c : typed) {
        if (c == kKeyBackspace || c == kKeyEnter || c == kKeyEscape) {
            continue;
        }
        if (filter(result, c) == EditKey::Accept) {
            result += c;
        }
    }
    return result.mid(text.size());
}

std::optional<std::array<uint8_t, 4>> parseIpAddress(const QString& text) {
    const QStringList groups = text.split(QLatin1Char('.'));
    if (groups.size() != 4) {
        return std::nullopt;
    }
    std::array<uint8_t, 4> address{};
    for (int i = 0; i < 4; ++i) {
        const QString& g = groups[i];
        bool ok = !g.isEmpty() && g.size() <= 3;
        for (QChar c : g) {
            ok = ok && c.isDigit() && c.unicode() < 128;
        }
        const int value = ok ? g.toInt() : -1;
        if (value < 0 || value > 255) {
            return std::nullopt;
        }
        address[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
    }
    return address;
}

uint8_t baudIndexOf(int32_t baudRate) {
    for (size_t i = 1; i < kBaudRates.size(); ++i) {
        if (kBaudRates[i] == baudRate) {
            return static_cast<uint8_t>(i);
        }
    }
    return 0;
}

SettingsApply applyConnectionSettings(ConnectionConfig& config, int linkType,
                                      const SerialSettings& port, const QString& addressText,
                                      const QString& portText) {
    SettingsApply result;
    std::optional<std::array<uint8_t, 4>> address;
    if (addressText.count(QLatin1Char('.')) >= 3) {
        address = parseIpAddress(addressText);
        if (!address) {
            result.error = QStringLiteral(
                               "Неверный IP адрес «%1».\nНужны четыре числа от 0 до 255, "
                               "разделённые точками, например 192.168.0.25.")
                               .arg(addressText);
            result.addressText = config.ipText();
            return result;
        }
    }
    const QString trimmedPort = portText.trimmed();
    bool portOk = !trimmedPort.isEmpty();
    for (QChar c : trimmedPort) {
        portOk = portOk && c.isDigit() && c.unicode() < 128;
    }
    const long long portNumber = portOk && trimmedPort.size() <= 5 ? trimmedPort.toLongLong() : -1;
    if (portNumber < 0 || portNumber > 65535) {
        result.error =
            QStringLiteral("Неверный номер порта «%1».\nНужно число от 0 до 65535.").arg(portText);
        result.addressText = addressText;
        return result;
    }

    config.LinkType = static_cast<uint16_t>(linkType);
    config.portName = port.portName.left(10);
    config.baudIndex = baudIndexOf(port.baudRate);
    config.dataBitsIndex = 3;
    config.stopBitsIndex = 0;
    config.parityIndex = 0;
    config.flowControlIndex = 2;
    if (address) {
        config.ipAddress = *address;
    }
    config.tcpPort = static_cast<uint16_t>(portNumber);
    result.addressText = config.ipText();
    return result;
}

}  // namespace terval
