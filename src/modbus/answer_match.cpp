#include "modbus/answer_match.h"

namespace terval {

AnswerMatch matchesRequest(const RequestFrame& request, const Answer& answer, bool anyAddress) {
    if (answer.size() < 3 || (!anyAddress && answer.address() != request.address())) {
        return AnswerMatch::Foreign;
    }
    if (answer.function() == (request.function() | 0x80)) {
        return answer.size() == 3 ? AnswerMatch::Exception : AnswerMatch::Foreign;
    }
    if (answer.function() != request.function()) {
        return AnswerMatch::Foreign;
    }
    if (request.function() == kReadHoldingRegisters) {
        const int byteCount = answer.thirdByte();
        return byteCount == 2 * request.countOrValue() && answer.size() == 3 + byteCount
                   ? AnswerMatch::Matches
                   : AnswerMatch::Foreign;
    }
    // A write is echoed whole: the same register and the same value.
    if (answer.size() != 6) {
        return AnswerMatch::Foreign;
    }
    for (int i = 2; i < 6; ++i) {
        if (answer.at(i) != request.bytes[static_cast<size_t>(i)]) {
            return AnswerMatch::Foreign;
        }
    }
    return AnswerMatch::Matches;
}

QString exceptionText(uint8_t code) {
    switch (code) {
        case 1:
            return QStringLiteral("функция не поддерживается");
        case 2:
            return QStringLiteral("недопустимый адрес регистра");
        case 3:
            return QStringLiteral("недопустимое значение");
        case 4:
            return QStringLiteral("отказ устройства");
        case 5:
            return QStringLiteral("запрос принят, выполняется");
        case 6:
            return QStringLiteral("устройство занято");
        case 8:
            return QStringLiteral("ошибка памяти устройства");
        case 10:
            return QStringLiteral("шлюз: нет пути к устройству");
        case 11:
            return QStringLiteral("шлюз: устройство не отвечает");
        default:
            return QStringLiteral("неизвестная ошибка");
    }
}

}  // namespace terval
