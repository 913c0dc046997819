#include "tcp_server.h"

#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "modbus_adu.h"

namespace relaysim {

namespace {

// More at once than any test or plant would open; beyond it a leak in a client shows at once.
constexpr size_t kMaxClients = 32;

std::string numericName(const sockaddr* address, socklen_t length, uint16_t* port) {
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "0";
    getnameinfo(address, length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    if (port) {
        *port = static_cast<uint16_t>(std::atoi(service));
    }
    return host;
}

}  // namespace

TcpServer::TcpServer(Simulator& simulator, const Logger& log, const std::string& host,
                     uint16_t port)
    : ModbusServer(simulator, log) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(rc));
    }
    std::string failure = "no address to listen on";
    for (addrinfo* ai = found; ai && listenFd_ < 0; ai = ai->ai_next) {
        const int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            failure = std::strerror(errno);
            continue;
        }
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 16) != 0) {
            failure = std::strerror(errno);
            close(fd);
            continue;
        }
        listenFd_ = fd;
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        throw std::runtime_error("cannot listen on " + host + ":" + service + ": " + failure);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    boundHost_ = numericName(reinterpret_cast<sockaddr*>(&bound), length, &boundPort_);

    // The context is never connected: it only frames and answers on the sockets lent to it.
    ctx_ = modbus_new_tcp("127.0.0.1", boundPort_);
    if (!ctx_) {
        close(listenFd_);
        throw std::runtime_error(std::string("cannot create a Modbus TCP context: ") +
                                 modbus_strerror(errno));
    }
    // A request is only read once poll has seen bytes for it; a bound on the wait keeps a client
    // that stops halfway from holding up the others for long.
    modbus_set_indication_timeout(ctx_, 0, 500000);
}

TcpServer::~TcpServer() {
    closeConnections();
    if (ctx_) {
        modbus_set_socket(ctx_, -1);
        modbus_free(ctx_);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

std::string TcpServer::listeningLine() const {
    return "listening tcp " + boundHost_ + " " + std::to_string(boundPort_);
}

void TcpServer::addPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({listenFd_, POLLIN, 0});
    for (const auto& [id, client] : clients_) {
        fds.push_back({client.fd, POLLIN, 0});
    }
}

void TcpServer::handlePoll(const std::vector<pollfd>& fds, TimePoint now) {
    bool incoming = false;
    for (const pollfd& p : fds) {
        if (p.revents == 0) {
            continue;
        }
        if (p.fd == listenFd_) {
            incoming = true;
            continue;
        }
        for (const auto& [id, client] : clients_) {
            if (client.fd == p.fd) {
                serve(id, now);
                break;
            }
        }
    }
    // Accepting last: a new connection may get the number of one closed above, and must not be
    // taken for it.
    if (incoming) {
        acceptClient();
    }
}

void TcpServer::acceptClient() {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    uint16_t port = 0;
    const std::string name =
        numericName(reinterpret_cast<sockaddr*>(&peer), length, &port) + ":" + std::to_string(port);
    if (clients_.size() >= kMaxClients) {
        log_.notice("refused a connection from " + name + ": " + std::to_string(kMaxClients) +
                    " clients are connected already");
        close(fd);
        return;
    }
    // Pieces of a split answer must leave as they are written.
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const ConnectionId id = nextId_++;
    clients_[id] = Client{fd, name};
    log_.traffic("tcp#" + std::to_string(id) + " connected from " + name);
}

void TcpServer::serve(ConnectionId id, TimePoint now) {
    const int fd = clients_.at(id).fd;
    modbus_set_socket(ctx_, fd);
    uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
    const int length = modbus_receive(ctx_, adu);
    if (length <= 0) {
        log_.traffic("tcp#" + std::to_string(id) +
                     (errno == ECONNRESET ? std::string(" closed by the station")
                                          : std::string(" dropped: ") + modbus_strerror(errno)));
        closeConnection(id);
        return;
    }
    // libmodbus reads as much as the function code says; a request of a function it does not
    // know may carry more, which the MBAP length tells. Drop that rest, or it would be taken
    // for the start of the next request.
    if (length >= 6) {
        const size_t declared = 6u + static_cast<size_t>(adu[4] << 8 | adu[5]);
        size_t extra = declared > static_cast<size_t>(length) ? declared - length : 0;
        uint8_t sink[256];
        while (extra > 0) {
            const ssize_t n = recv(fd, sink, std::min(extra, sizeof sink), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            extra -= static_cast<size_t>(n);
        }
    }
    const std::vector<uint8_t> request(adu, adu + length);
    process(id, request, requestFromTcp(adu, static_cast<size_t>(length)), now);
}

int TcpServer::closeConnections() {
    const int count = static_cast<int>(clients_.size());
    while (!clients_.empty()) {
        closeConnection(clients_.begin()->first);
    }
    return count;
}

modbus_t* TcpServer::contextFor(ConnectionId connection, uint8_t unit) {
    const auto it = clients_.find(connection);
    if (it == clients_.end()) {
        return nullptr;
    }
    modbus_set_socket(ctx_, it->second.fd);
    modbus_set_slave(ctx_, unit);
    return ctx_;
}

bool TcpServer::sendRaw(ConnectionId connection, const std::vector<uint8_t>& bytes) {
    const auto it = clients_.find(connection);
    if (it == clients_.end()) {
        return false;
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(it->second.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            closeConnection(connection);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> TcpServer::frameAnswer(const std::vector<uint8_t>& requestAdu, uint8_t unit,
                                            const std::vector<uint8_t>& pdu, bool) {
    const uint16_t transaction =
        requestAdu.size() >= 2 ? static_cast<uint16_t>(requestAdu[0] << 8 | requestAdu[1]) : 0;
    return tcpFrame(transaction, unit, pdu);
}

void TcpServer::closeConnection(ConnectionId connection) {
    const auto it = clients_.find(connection);
    if (it == clients_.end()) {
        return;
    }
    close(it->second.fd);
    log_.traffic("tcp#" + std::to_string(connection) + " connection to " + it->second.peer +
                 " closed");
    clients_.erase(it);
}

std::string TcpServer::connectionName(ConnectionId connection) const {
    return "tcp#" + std::to_string(connection);
}

}  // namespace relaysim
