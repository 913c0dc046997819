#include "rtu_server.h"

#include <modbus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "modbus_adu.h"

namespace relaysim {

namespace {
// A hung-up pty comes back when its pair is made again under the same name.
constexpr auto kReopenInterval = std::chrono::seconds(1);
}  // namespace

RtuServer::RtuServer(Simulator& simulator, const Logger& log, const std::string& path, int baud,
                     char parity, int stopBits)
    : ModbusServer(simulator, log), path_(path), silence_(frameSilence(baud)), framer_(silence_) {
    ctx_ = modbus_new_rtu(path.c_str(), baud, parity, 8, stopBits);
    if (!ctx_) {
        throw std::runtime_error("cannot set up " + path + ": " + modbus_strerror(errno));
    }
    if (modbus_connect(ctx_) != 0) {
        const std::string reason = std::strerror(errno);
        modbus_free(ctx_);
        ctx_ = nullptr;
        throw std::runtime_error("cannot open " + path + ": " + reason);
    }
    fd_ = modbus_get_socket(ctx_);
}

RtuServer::~RtuServer() {
    if (ctx_) {
        if (fd_ >= 0) {
            modbus_close(ctx_);
        }
        modbus_free(ctx_);
    }
}

std::string RtuServer::listeningLine() const {
    return "listening rtu " + path_;
}

void RtuServer::addPollFds(std::vector<pollfd>& fds) const {
    if (fd_ >= 0) {
        fds.push_back({fd_, POLLIN, 0});
    }
}

void RtuServer::handlePoll(const std::vector<pollfd>& fds, TimePoint now) {
    for (const pollfd& p : fds) {
        if (fd_ < 0 || p.fd != fd_ || p.revents == 0) {
            continue;
        }
        uint8_t buffer[512];
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                take(framer_.feed(buffer, static_cast<size_t>(n), now), now);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // With VMIN and VTIME at 0 a tty says "nothing more" with 0, not with EAGAIN.
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            // EIO: the other side of the pty has gone.
            hangUp(now);
            return;
        }
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            hangUp(now);
        }
    }
}

void RtuServer::take(const std::vector<RtuFrame>& frames, TimePoint now) {
    for (const RtuFrame& f : frames) {
        if (f.verdict != RtuFrame::Verdict::Good) {
            log_.traffic("-- " + connectionName(line_) + ": " + std::to_string(f.bytes.size()) +
                         " bytes dropped (" +
                         (f.verdict == RtuFrame::Verdict::BadCrc ? "bad CRC" : "incomplete frame") +
                         ")");
            continue;
        }
        process(line_, f.bytes, requestFromRtu(f.bytes.data(), f.bytes.size()), now);
    }
}

void RtuServer::hangUp(TimePoint now) {
    log_.notice("serial line " + path_ + " hung up; opening it again when it is back");
    modbus_close(ctx_);
    fd_ = -1;
    ++line_;
    framer_ = RtuFramer(silence_);
    reopenAt_ = now + kReopenInterval;
}

std::optional<TimePoint> RtuServer::deadline() const {
    std::optional<TimePoint> d = ModbusServer::deadline();
    for (const auto& candidate : {framer_.deadline(), reopenAt_}) {
        if (candidate && (!d || *candidate < *d)) {
            d = candidate;
        }
    }
    return d;
}

void RtuServer::handleTimers(TimePoint now) {
    take(framer_.expire(now), now);
    ModbusServer::handleTimers(now);
    if (reopenAt_ && *reopenAt_ <= now) {
        if (modbus_connect(ctx_) == 0) {
            fd_ = modbus_get_socket(ctx_);
            reopenAt_.reset();
            log_.notice("serial line " + path_ + " open again");
        } else {
            reopenAt_ = now + kReopenInterval;
        }
    }
}

modbus_t* RtuServer::contextFor(ConnectionId connection, uint8_t unit) {
    if (connection != line_ || fd_ < 0) {
        return nullptr;
    }
    modbus_set_slave(ctx_, unit);
    return ctx_;
}

bool RtuServer::sendRaw(ConnectionId connection, const std::vector<uint8_t>& bytes) {
    if (connection != line_ || fd_ < 0) {
        return false;
    }
    size_t written = 0;
    int waits = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A line whose other end stopped reading fills up; give it a second, not forever.
        if (n < 0 && errno == EAGAIN && waits++ < 10) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> RtuServer::frameAnswer(const std::vector<uint8_t>&, uint8_t unit,
                                            const std::vector<uint8_t>& pdu, bool badCrc) {
    return rtuFrame(unit, pdu, badCrc);
}

std::string RtuServer::connectionName(ConnectionId) const {
    return "rtu";
}

}  // namespace relaysim
