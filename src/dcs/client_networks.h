#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace terval::dcs {

// An IPv4 network a client may come from, "10.1.0.0/16" (a bare address is a /32). Addresses are
// in host byte order.
struct ClientNetwork {
    uint32_t network = 0;
    uint32_t mask = 0;
    bool operator==(const ClientNetwork&) const = default;
};

std::optional<ClientNetwork> parseClientNetwork(std::string_view text);
// The dotted address, as the journal names a client.
std::optional<uint32_t> parseIpv4(std::string_view text);

// No networks allow every client.
bool clientAllowed(const std::vector<ClientNetwork>& allowed, uint32_t address);

}  // namespace terval::dcs
