#pragma once

#include <cstddef>
#include <cstdint>

namespace relaysim {

// CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF). It goes on the wire low byte first.
uint16_t crc16Modbus(const uint8_t* data, size_t length);

}  // namespace relaysim
