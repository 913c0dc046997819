#include "dcs/map_request.h"

namespace terval::dcs {
namespace {

uint16_t word(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

Frame checkFrame(const uint8_t* data, size_t size) {
    if (size < kMbapHeaderSize) {
        return {};
    }
    const uint16_t protocol = word(data + 2);
    const uint16_t length = word(data + 4);
    // The length counts the unit and the PDU: at least a function code, at most 253 bytes of PDU.
    if (protocol != 0 || length < 2 || length > kLongestAdu - 6) {
        return {FrameCheck::Malformed, 0};
    }
    const size_t whole = size_t{6} + length;
    if (size < whole) {
        return {};
    }
    return {FrameCheck::Complete, whole};
}

Decision decide(const uint8_t* adu, size_t size, const std::bitset<station_map::kMapEnd>& mapped,
                std::optional<uint8_t> unit) {
    Decision d;
    if (size <= kMbapHeaderSize) {
        return d;
    }
    if (unit && adu[6] != *unit) {
        d.kind = Decision::Kind::Exception;
        d.exceptionCode = kTargetFailed;
        return d;
    }
    const uint8_t function = adu[7];
    if (function != 3 && function != 4) {
        d.kind = Decision::Kind::Exception;
        d.exceptionCode = kIllegalFunction;
        return d;
    }
    if (size != kMbapHeaderSize + 5) {
        return d;
    }
    const uint16_t first = word(adu + 8);
    const uint16_t count = word(adu + 10);
    d.kind = Decision::Kind::Exception;
    if (count == 0 || count > kMostRegistersRead) {
        d.exceptionCode = kIllegalValue;
        return d;
    }
    for (uint32_t reg = first; reg < uint32_t{first} + count; ++reg) {
        if (reg >= station_map::kMapEnd || !mapped[reg]) {
            d.exceptionCode = kIllegalAddress;
            return d;
        }
    }
    d.kind = Decision::Kind::Read;
    d.first = first;
    d.count = count;
    return d;
}

}  // namespace terval::dcs
