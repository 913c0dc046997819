#include "control_channel.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace relaysim {

std::vector<LineBuffer::Line> LineBuffer::feed(const char* data, size_t length) {
    std::vector<Line> lines;
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '\n') {
            if (skipping_) {
                skipping_ = false;
            } else {
                if (!partial_.empty() && partial_.back() == '\r') {
                    partial_.pop_back();
                }
                lines.push_back({std::move(partial_), false});
            }
            partial_.clear();
            continue;
        }
        if (skipping_) {
            continue;
        }
        partial_ += c;
        if (partial_.size() > kMaxLine) {
            lines.push_back({"", true});
            partial_.clear();
            skipping_ = true;
        }
    }
    return lines;
}

ControlChannel::StdinEnd defaultStdinEnd() {
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) {
        return ControlChannel::StdinEnd::Keep;
    }
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(STDIN_FILENO)) {
        return ControlChannel::StdinEnd::Quit;
    }
    return ControlChannel::StdinEnd::Keep;
}

ControlChannel::ControlChannel(bool readStdin, StdinEnd atStdinEnd, const std::string& socketPath)
    : stdinOpen_(readStdin), atStdinEnd_(atStdinEnd), socketPath_(socketPath) {
    if (socketPath_.empty()) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("control socket path too long: " + socketPath_);
    }
    std::strcpy(address.sun_path, socketPath_.c_str());
    // A socket left behind by an earlier run is replaced; anything else at that path is not ours.
    struct stat st {};
    if (lstat(socketPath_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            throw std::runtime_error("control socket path " + socketPath_ +
                                     " exists and is not a socket");
        }
        unlink(socketPath_.c_str());
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 4) != 0) {
        const std::string reason = std::strerror(errno);
        if (listenFd_ >= 0) {
            close(listenFd_);
        }
        throw std::runtime_error("cannot listen on control socket " + socketPath_ + ": " + reason);
    }
}

ControlChannel::~ControlChannel() {
    for (const auto& [fd, lines] : clients_) {
        close(fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(socketPath_.c_str());
    }
}

void ControlChannel::addPollFds(std::vector<pollfd>& fds) const {
    if (stdinOpen_) {
        fds.push_back({STDIN_FILENO, POLLIN, 0});
    }
    if (listenFd_ >= 0) {
        fds.push_back({listenFd_, POLLIN, 0});
    }
    for (const auto& [fd, lines] : clients_) {
        fds.push_back({fd, POLLIN, 0});
    }
}

std::vector<ControlChannel::Line> ControlChannel::handlePoll(const std::vector<pollfd>& fds) {
    std::vector<Line> out;
    bool incoming = false;
    for (const pollfd& p : fds) {
        if (p.revents == 0) {
            continue;
        }
        if (stdinOpen_ && p.fd == STDIN_FILENO) {
            readStdin(out);
        } else if (p.fd == listenFd_) {
            incoming = true;
        } else if (clients_.count(p.fd)) {
            readClient(p.fd, out);
        }
    }
    // Last, so that a new client cannot be mistaken for one that closed above under its number.
    if (incoming) {
        acceptClient();
    }
    return out;
}

void ControlChannel::readStdin(std::vector<Line>& out) {
    char buffer[4096];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n < 0 && errno == EIO) {
        // A terminal we are in the background of: the person at it is talking to the shell.
        stdinOpen_ = false;
        return;
    }
    if (n <= 0) {
        stdinOpen_ = false;
        quit_ = atStdinEnd_ == StdinEnd::Quit;
        return;
    }
    for (auto& line : stdinLines_.feed(buffer, static_cast<size_t>(n))) {
        out.push_back({std::move(line.text), line.tooLong, STDOUT_FILENO});
    }
}

void ControlChannel::acceptClient() {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        clients_[fd];
    }
}

void ControlChannel::readClient(int fd, std::vector<Line>& out) {
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        close(fd);
        clients_.erase(fd);
        return;
    }
    for (auto& line : clients_[fd].feed(buffer, static_cast<size_t>(n))) {
        out.push_back({std::move(line.text), line.tooLong, fd});
    }
}

void ControlChannel::reply(int fd, const std::string& line) {
    const std::string text = line + '\n';
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n =
            fd == STDOUT_FILENO
                ? write(fd, text.data() + written, text.size() - written)
                : send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<size_t>(n);
    }
}

}  // namespace relaysim
