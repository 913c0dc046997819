#include "dcsnet/modbus_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "dcs/map_request.h"

namespace terval {
namespace {

using Clock = std::chrono::steady_clock;
namespace map = station_map;

QString addressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(text)).arg(ntohs(a.sin_port));
}

// Before anything has been published the map is there, all zero but for its version.
std::shared_ptr<const map::StationMapImage> emptyImage() {
    auto image = std::make_shared<map::StationMapImage>();
    for (uint16_t reg = 0; reg < map::kMapEnd; ++reg) {
        image->mapped[reg] = map::inMap(reg);
    }
    image->words[map::kStationBlock + map::station::kVersion] = map::kMapVersion;
    return image;
}

}  // namespace

struct ModbusTcpServer::Client {
    int fd = -1;
    QString address;
    std::vector<uint8_t> buffer;
    Clock::time_point lastHeard;
};

ModbusTcpServer::ModbusTcpServer() : image_(emptyImage()) {}

ModbusTcpServer::~ModbusTcpServer() {
    stop();
}

QString ModbusTcpServer::start(const DcsServerSettings& settings,
                               std::function<void(const MapServerEvent&)> tell) {
    stop();
    settings_ = settings;
    tell_ = std::move(tell);
    const QByteArray address = settings.address.toLatin1();
    ctx_ = modbus_new_tcp(address.constData(), settings.port);
    if (ctx_ == nullptr) {
        return QString::fromLocal8Bit(modbus_strerror(errno));
    }
    listenFd_ = modbus_tcp_listen(ctx_, 128);
    if (listenFd_ < 0) {
        const QString why = QString::fromLocal8Bit(modbus_strerror(errno));
        modbus_free(ctx_);
        ctx_ = nullptr;
        return why;
    }
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &size);
    port_ = ntohs(bound.sin_port);
    fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        const QString why = QString::fromLocal8Bit(strerror(errno));
        ::close(listenFd_);
        listenFd_ = -1;
        modbus_free(ctx_);
        ctx_ = nullptr;
        return why;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    thread_ = std::thread([this] { run(); });
    return {};
}

void ModbusTcpServer::stop() {
    if (thread_.joinable()) {
        const char stopByte = 0;
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &stopByte, 1);
        thread_.join();
    }
    for (int* fd : {&listenFd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (ctx_ != nullptr) {
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
}

void ModbusTcpServer::publish(std::shared_ptr<const map::StationMapImage> image) {
    if (!image) {
        return;
    }
    const std::lock_guard lock(imageLock_);
    image_.swap(image);
    // The image replaced is let go outside the lock, below, when `image` goes.
}

std::shared_ptr<const map::StationMapImage> ModbusTcpServer::newestImage() {
    const std::lock_guard lock(imageLock_);
    return image_;
}

void ModbusTcpServer::run() {
    std::vector<Client> clients;
    // libmodbus answers from a mapping of its own; the words are this thread's copy of the
    // newest image, taken when a request comes and the image has changed.
    std::shared_ptr<const map::StationMapImage> image;
    std::vector<uint16_t> words(map::kMapEnd);
    modbus_mapping_t mapping{};
    mapping.nb_registers = map::kMapEnd;
    mapping.nb_input_registers = map::kMapEnd;
    mapping.tab_registers = words.data();
    mapping.tab_input_registers = words.data();

    const auto tell = [this, &clients](MapServerEvent::Kind kind, const QString& address,
                                       const QString& reason) {
        tell_(MapServerEvent{kind, address, reason, static_cast<int>(clients.size())});
    };
    const auto drop = [&](size_t i, const QString& reason) {
        ::close(clients[i].fd);
        const QString address = clients[i].address;
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        tell(MapServerEvent::Kind::Left, address, reason);
    };
    // The answers to what a client has sent so far; false when the client has to go.
    const auto serve = [&](Client& client, QString& why) {
        while (true) {
            const dcs::Frame frame = dcs::checkFrame(client.buffer.data(), client.buffer.size());
            if (frame.check == dcs::FrameCheck::NeedMore) {
                return true;
            }
            if (frame.check == dcs::FrameCheck::Malformed) {
                why = QStringLiteral("неверный заголовок MBAP");
                return false;
            }
            const auto fresh = newestImage();
            if (fresh != image) {
                image = fresh;
                std::copy(image->words.begin(), image->words.end(), words.begin());
            }
            const uint8_t* adu = client.buffer.data();
            const dcs::Decision d = dcs::decide(adu, frame.size, image->mapped, settings_.unit);
            modbus_set_socket(ctx_, client.fd);
            int sent = 0;
            if (d.kind == dcs::Decision::Kind::Close) {
                why = QStringLiteral("запрос не по протоколу");
                return false;
            }
            if (d.kind == dcs::Decision::Kind::Read) {
                sent = modbus_reply(ctx_, adu, static_cast<int>(frame.size), &mapping);
            } else {
                sent = modbus_reply_exception(ctx_, adu, d.exceptionCode);
            }
            if (sent < 0) {
                // A client that does not take its answers is not kept waiting for.
                why = QStringLiteral("ответ не принят: ") + QString::fromLocal8Bit(strerror(errno));
                return false;
            }
            client.buffer.erase(client.buffer.begin(),
                                client.buffer.begin() + static_cast<std::ptrdiff_t>(frame.size));
        }
    };
    const auto idleLimit = std::chrono::milliseconds(settings_.idleTimeoutMs);
    // Out of file descriptors the listening socket stays readable: it is let be for a moment
    // rather than asked again in a loop that would take a whole core.
    Clock::time_point acceptAgainAt{};

    while (true) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(wakeRead_, &readable);
        const bool accepting = Clock::now() >= acceptAgainAt;
        if (accepting) {
            FD_SET(listenFd_, &readable);
        }
        int highest = std::max(wakeRead_, listenFd_);
        Clock::time_point wakeAt =
            accepting ? Clock::now() + std::chrono::seconds(1) : acceptAgainAt;
        for (const Client& c : clients) {
            FD_SET(c.fd, &readable);
            highest = std::max(highest, c.fd);
            wakeAt = std::min(wakeAt, c.lastHeard + idleLimit);
        }
        const auto wait = std::max(Clock::duration::zero(), wakeAt - Clock::now());
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
        timeval timeout{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        const int ready = select(highest + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && FD_ISSET(wakeRead_, &readable)) {
            break;
        }
        if (ready > 0 && accepting && FD_ISSET(listenFd_, &readable)) {
            while (true) {
                sockaddr_in peer{};
                socklen_t size = sizeof peer;
                const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &size,
                                       SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        acceptAgainAt = Clock::now() + std::chrono::milliseconds(100);
                    }
                    break;
                }
                const QString address = addressText(peer);
                if (!dcs::clientAllowed(settings_.allowed, ntohl(peer.sin_addr.s_addr))) {
                    ::close(fd);
                    tell(MapServerEvent::Kind::Refused, address,
                         QStringLiteral("адрес не из разрешённых сетей"));
                } else if (static_cast<int>(clients.size()) >= settings_.maxConnections ||
                           fd >= FD_SETSIZE) {
                    ::close(fd);
                    tell(MapServerEvent::Kind::Refused, address,
                         QStringLiteral("уже %1 клиентов, больше не принимается")
                             .arg(clients.size()));
                } else {
                    clients.push_back(Client{fd, address, {}, Clock::now()});
                    tell(MapServerEvent::Kind::Connected, address, {});
                }
            }
        }
        const Clock::time_point now = Clock::now();
        for (size_t i = clients.size(); i-- > 0;) {
            Client& c = clients[i];
            if (ready > 0 && FD_ISSET(c.fd, &readable)) {
                uint8_t chunk[512];
                const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
                if (got == 0) {
                    drop(i, QStringLiteral("клиент закрыл соединение"));
                    continue;
                }
                if (got < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        drop(i, QString::fromLocal8Bit(strerror(errno)));
                    }
                    continue;
                }
                c.lastHeard = now;
                c.buffer.insert(c.buffer.end(), chunk, chunk + got);
                QString why;
                if (!serve(c, why)) {
                    drop(i, why);
                }
                continue;
            }
            if (now - c.lastHeard >= idleLimit) {
                drop(i, QStringLiteral("нет запросов %1 с").arg(settings_.idleTimeoutMs / 1000));
            }
        }
    }
    // Told as gone, for the journal's last records before the station stops.
    while (!clients.empty()) {
        drop(clients.size() - 1, QStringLiteral("сервер остановлен"));
    }
}

}  // namespace terval
