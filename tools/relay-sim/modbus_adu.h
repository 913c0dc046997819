#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulator.h"

namespace relaysim {

inline constexpr size_t kTcpHeaderLength = 7;  // MBAP header, unit identifier included

// The request fields out of a whole RTU frame (address first, CRC last) or a Modbus TCP ADU.
// Short frames leave the missing fields 0.
Request requestFromRtu(const uint8_t* frame, size_t length);
Request requestFromTcp(const uint8_t* adu, size_t length);

// The PDU of the answer the decision asks for: registers, the echo of a write, or an exception.
std::vector<uint8_t> answerPdu(const Request& request, const Decision& decision);

// Wrapped for the line. `corruptCrc` sends a CRC that cannot match, as a noisy line would.
std::vector<uint8_t> rtuFrame(uint8_t address, const std::vector<uint8_t>& pdu, bool corruptCrc);
std::vector<uint8_t> tcpFrame(uint16_t transaction, uint8_t unit, const std::vector<uint8_t>& pdu);

}  // namespace relaysim
