#include "modbus_server.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>

#include "modbus_adu.h"

namespace relaysim {

std::string describeRequest(const Request& r) {
    switch (r.function) {
        case 3:
            return "read " + hex16(r.address) + " x" + std::to_string(r.countOrValue);
        case 6:
            return "write " + hex16(r.address) + "=" + std::to_string(r.countOrValue);
        default:
            return "function " + std::to_string(r.function);
    }
}

namespace {

std::string describeAnswer(const Request& r, const Decision& d) {
    if (d.exception != 0) {
        return "exception " + std::to_string(d.exception);
    }
    if (r.function == 6) {
        return "echo " + hex16(r.address) + "=" + std::to_string(r.countOrValue);
    }
    return std::to_string(d.words.size()) + " registers";
}

}  // namespace

ModbusServer::ModbusServer(Simulator& simulator, const Logger& log)
    : simulator_(simulator), log_(log) {}

ModbusServer::~ModbusServer() = default;

std::optional<TimePoint> ModbusServer::deadline() const {
    if (pending_.empty()) {
        return std::nullopt;
    }
    return std::min_element(pending_.begin(), pending_.end(),
                            [](const Pending& a, const Pending& b) { return a.due < b.due; })
        ->due;
}

void ModbusServer::handleTimers(TimePoint now) {
    // Take the due ones out first: running one may queue or drop others.
    std::vector<Pending> due;
    auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                       [now](const Pending& p) { return p.due > now; });
    std::move(split, pending_.end(), std::back_inserter(due));
    pending_.erase(split, pending_.end());
    std::sort(due.begin(), due.end(), [](const Pending& a, const Pending& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    for (Pending& p : due) {
        p.run();
    }
}

void ModbusServer::at(TimePoint due, TimePoint now, std::function<void()> run) {
    if (due <= now) {
        run();
        return;
    }
    pending_.push_back({due, order_++, std::move(run)});
}

void ModbusServer::process(ConnectionId connection, const std::vector<uint8_t>& adu,
                           const Request& request, TimePoint now) {
    const std::string who = connectionName(connection) + " unit " + std::to_string(request.unit);
    log_.traffic("rx " + who + ": " + describeRequest(request));
    const Decision d = simulator_.handle(request, now);
    switch (d.action) {
        case Decision::Action::Ignore:
            log_.traffic("-- " + who + ": no answer (" + d.note + ")");
            return;
        case Decision::Action::CloseConnection:
            log_.traffic("-- " + who + ": " + d.note);
            closeConnection(connection);
            return;
        case Decision::Action::Answer:
            break;
    }
    TimePoint when = now + std::chrono::milliseconds(d.delayMs);
    // A split answer holds the line until its last piece, as one talker on a bus or one answer on
    // a gateway's stream would: whatever is due meanwhile follows it, never inside it.
    if (const auto busy = busyUntil_.find(connection); busy != busyUntil_.end()) {
        if (busy->second > when) {
            when = busy->second;
        } else {
            busyUntil_.erase(busy);
        }
    }
    // libmodbus refuses to send exception codes past the last one the standard names.
    const bool shaped = d.badCrc || d.splitPauseMs || d.twice || d.foreignAddress != 0 ||
                        d.exception >= MODBUS_EXCEPTION_MAX;
    if (!shaped) {
        at(when, now, [this, connection, adu, request, d] {
            replyThroughLibmodbus(connection, adu, request, d);
        });
        return;
    }
    const uint8_t unit = d.foreignAddress != 0 ? d.foreignAddress : request.unit;
    const std::vector<uint8_t> frame = frameAnswer(adu, unit, answerPdu(request, d), d.badCrc);
    std::vector<uint8_t> bytes = frame;
    if (d.twice) {
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    std::string what = who + ": " + describeAnswer(request, d);
    if (d.foreignAddress != 0) {
        what += ", as unit " + std::to_string(d.foreignAddress);
    }
    if (d.badCrc) {
        what += d.noisy ? ", bad CRC (noise)" : ", bad CRC";
    }
    if (d.twice) {
        what += ", twice";
    }
    if (d.delayMs) {
        what += ", " + std::to_string(d.delayMs) + " ms late";
    }
    if (!d.splitPauseMs) {
        at(when, now, [this, connection, bytes, what] { sendPiece(connection, bytes, what); });
        return;
    }
    // Never an empty piece: a short answer is cut into at most one piece per byte.
    const size_t pieces = std::min(static_cast<size_t>(d.splitPieces), bytes.size());
    const auto pause = std::chrono::milliseconds(*d.splitPauseMs);
    busyUntil_[connection] = when + static_cast<int>(pieces - 1) * pause;
    for (size_t i = 0; i < pieces; ++i) {
        const auto from = static_cast<std::ptrdiff_t>(i * bytes.size() / pieces);
        const auto to = static_cast<std::ptrdiff_t>((i + 1) * bytes.size() / pieces);
        std::vector<uint8_t> piece(bytes.begin() + from, bytes.begin() + to);
        const std::string pieceWhat = what + ", piece " + std::to_string(i + 1) + " of " +
                                      std::to_string(pieces) + " (" + std::to_string(piece.size()) +
                                      " bytes)";
        at(when + static_cast<int>(i) * pause, now,
           [this, connection, piece = std::move(piece), pieceWhat] {
               sendPiece(connection, piece, pieceWhat);
           });
    }
}

void ModbusServer::sendPiece(ConnectionId connection, const std::vector<uint8_t>& bytes,
                             const std::string& what) {
    if (!sendRaw(connection, bytes)) {
        log_.traffic("-- " + what + ": not sent, the connection has gone");
        return;
    }
    log_.traffic("tx " + what);
}

void ModbusServer::replyThroughLibmodbus(ConnectionId connection, const std::vector<uint8_t>& adu,
                                         const Request& request, const Decision& d) {
    const std::string what = connectionName(connection) + " unit " + std::to_string(request.unit) +
                             ": " + describeAnswer(request, d) +
                             (d.delayMs ? ", " + std::to_string(d.delayMs) + " ms late" : "");
    modbus_t* ctx = contextFor(connection, request.unit);
    if (!ctx) {
        log_.traffic("-- " + what + ": not sent, the connection has gone");
        return;
    }
    int rc = 0;
    if (d.exception != 0) {
        rc = modbus_reply_exception(ctx, adu.data(), d.exception);
    } else {
        // The answer's registers are lent to libmodbus as a mapping that starts at the request's
        // first register; a write lands in a scratch cell, the relay has already taken it.
        std::vector<uint16_t> words = d.words;
        if (words.empty()) {
            words.push_back(request.countOrValue);
        }
        modbus_mapping_t mapping{};
        mapping.start_registers = request.address;
        mapping.nb_registers = static_cast<int>(words.size());
        mapping.tab_registers = words.data();
        rc = modbus_reply(ctx, adu.data(), static_cast<int>(adu.size()), &mapping);
    }
    if (rc < 0) {
        log_.traffic("-- " + what + ": not sent (" + modbus_strerror(errno) + ")");
        closeConnection(connection);
        return;
    }
    log_.traffic("tx " + what);
}

}  // namespace relaysim
