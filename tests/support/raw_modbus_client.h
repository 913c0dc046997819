#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/wait_until.h"

namespace terval::testing {

using Bytes = std::vector<uint8_t>;

// A client of the test's own over plain sockets, so that it can send what no Modbus library
// would: half a header, a wrong protocol identifier, a length that lies.
class RawClient {
  public:
    explicit RawClient(int port, const char* from = nullptr) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, from, &local.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The answer to one request (its MBAP length tells how long), or nothing when the server
    // closed the connection or said nothing within the wait.
    std::optional<Bytes> answer(std::chrono::milliseconds wait = std::chrono::milliseconds(3000)) {
        Bytes got;
        size_t want = 7;
        const auto deadline = std::chrono::steady_clock::now() + wait * timeScale();
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            uint8_t chunk[300];
            const ssize_t n = ::recv(fd_, chunk, want - got.size(), 0);
            if (n <= 0) {
                return std::nullopt;
            }
            got.insert(got.end(), chunk, chunk + n);
            if (got.size() >= 6) {
                want = 6 + static_cast<size_t>((got[4] << 8) | got[5]);
            }
        }
        return got;
    }
    // Whether the server has closed this connection (within the wait).
    bool closed(std::chrono::milliseconds wait = std::chrono::milliseconds(3000)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count() * timeScale())) <= 0) {
            return false;
        }
        uint8_t byte = 0;
        return ::recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

inline Bytes request(uint16_t transaction, uint8_t unit, Bytes pdu) {
    const auto length = static_cast<uint16_t>(pdu.size() + 1);
    pdu.insert(pdu.begin(),
               {static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction), 0, 0,
                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), unit});
    return pdu;
}

inline Bytes read(uint8_t function, uint16_t first, uint16_t count, uint8_t unit = 1) {
    return request(0x1234, unit,
                   {function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                    static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

}  // namespace terval::testing
