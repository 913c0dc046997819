#include "dcs/client_networks.h"

#include <charconv>

namespace terval::dcs {
namespace {

// A decimal number from `min` to `max` that takes all of `text`, without signs or spaces.
std::optional<uint32_t> number(std::string_view text, uint32_t max) {
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    uint32_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc{} || end != text.data() + text.size() || n > max) {
        return std::nullopt;
    }
    return n;
}

}  // namespace

std::optional<uint32_t> parseIpv4(std::string_view text) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.');
        if ((part < 3) == (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        const auto octet = number(text.substr(0, dot), 255);
        if (!octet) {
            return std::nullopt;
        }
        address = (address << 8) | *octet;
        text = part < 3 ? text.substr(dot + 1) : std::string_view{};
    }
    return address;
}

std::optional<ClientNetwork> parseClientNetwork(std::string_view text) {
    const size_t slash = text.find('/');
    const auto address = parseIpv4(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    uint32_t bits = 32;
    if (slash != std::string_view::npos) {
        const auto prefix = number(text.substr(slash + 1), 32);
        if (!prefix) {
            return std::nullopt;
        }
        bits = *prefix;
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    // "10.1.2.3/16" is taken as the network 10.1.0.0/16 it names.
    return ClientNetwork{*address & mask, mask};
}

bool clientAllowed(const std::vector<ClientNetwork>& allowed, uint32_t address) {
    if (allowed.empty()) {
        return true;
    }
    for (const ClientNetwork& n : allowed) {
        if ((address & n.mask) == n.network) {
            return true;
        }
    }
    return false;
}

}  // namespace terval::dcs
