#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "modbus/station_map.h"

namespace terval::dcs {

// Modbus TCP as the station serves it: the MBAP header (transaction, protocol 0, length, unit)
// and a PDU of at most 253 bytes, so at most 260 bytes a request.
inline constexpr size_t kMbapHeaderSize = 7;
inline constexpr size_t kLongestAdu = 260;
inline constexpr uint16_t kMostRegistersRead = 125;

enum class FrameCheck : uint8_t {
    NeedMore,   // not all of the request has come yet
    Complete,   // a whole request lies at the front, `size` bytes long
    Malformed,  // not Modbus TCP: the connection is closed, as nothing after it can be framed
};

struct Frame {
    FrameCheck check = FrameCheck::NeedMore;
    size_t size = 0;
};

// Whether `data` starts with a whole request. A protocol identifier other than 0, or a length
// that leaves no room for a function code or more than a PDU, is malformed.
Frame checkFrame(const uint8_t* data, size_t size);

// What the server does with one whole request.
struct Decision {
    enum class Kind : uint8_t {
        Read,       // registers first .. first + count - 1 of the image, as function 3 or 4 asks
        Exception,  // exception `exceptionCode`
        Close,      // the request does not fit its function: the connection goes
    };
    Kind kind = Kind::Close;
    uint8_t exceptionCode = 0;
    uint16_t first = 0;
    uint16_t count = 0;
};

inline constexpr uint8_t kIllegalFunction = 1;
inline constexpr uint8_t kIllegalAddress = 2;
inline constexpr uint8_t kIllegalValue = 3;
// The configured unit identifier is not the one asked for: answered at once, as a gateway
// answers for a unit it has not, so that a control system set up wrongly learns why instead of
// waiting out its timeout.
inline constexpr uint8_t kTargetFailed = 0x0B;

// Nothing a client sends changes anything: functions 3 and 4 read the map (exception 2 where a
// register is not mapped, 3 for a count of 0 or above 125) and every other function, writes
// included, is refused with exception 1. `unit` is the identifier answered, any when empty.
Decision decide(const uint8_t* adu, size_t size, const std::bitset<station_map::kMapEnd>& mapped,
                std::optional<uint8_t> unit);

}  // namespace terval::dcs
