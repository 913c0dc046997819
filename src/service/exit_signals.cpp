#include "service/exit_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace terval {

#ifdef Q_OS_UNIX
namespace {

// The write end, for the handler; -1 while no ExitSignals exists.
volatile sig_atomic_t signalWriteFd = -1;

extern "C" void onExitSignal(int signo) {
    const int saved = errno;
    const int fd = signalWriteFd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signo);
        // A full pipe already holds a signal that will be read: this one may be lost.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

// SIGHUP too: the terminal the station was started from closing, or the desktop session ending,
// is no reason to lose what it holds in memory.
constexpr std::array<int, 3> kExitSignals = {SIGTERM, SIGINT, SIGHUP};
std::array<struct sigaction, kExitSignals.size()> previousActions{};

}  // namespace
#endif

ExitSignals::ExitSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
#ifdef Q_OS_UNIX
    if (signalWriteFd >= 0) {
        error_ = QStringLiteral("обработчик сигналов уже установлен");
        return;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    fds_ = {fds[0], fds[1]};
    signalWriteFd = fds_[0];
    for (size_t k = 0; k < kExitSignals.size(); ++k) {
        struct sigaction action {};
        action.sa_handler = onExitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(kExitSignals[k], &action, &previousActions[k]) != 0) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    installed_ = true;
    notifier_ = std::make_unique<QSocketNotifier>(fds_[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readSignals(); });
#else
    error_ = QStringLiteral("сигналы завершения не поддерживаются в этой системе");
#endif
}

ExitSignals::~ExitSignals() {
#ifdef Q_OS_UNIX
    notifier_.reset();
    if (installed_) {
        for (size_t k = 0; k < kExitSignals.size(); ++k) {
            ::sigaction(kExitSignals[k], &previousActions[k], nullptr);
        }
        signalWriteFd = -1;
    }
    for (int fd : fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
#endif
}

void ExitSignals::readSignals() {
#ifdef Q_OS_UNIX
    unsigned char buffer[16];
    for (;;) {
        const ssize_t n = ::read(fds_[1], buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t k = 0; k < n; ++k) {
            onSignal_(buffer[k]);
        }
    }
#endif
}

QString exitSignalName(int signo) {
#ifdef Q_OS_UNIX
    switch (signo) {
        case SIGTERM:
            return QStringLiteral("SIGTERM");
        case SIGINT:
            return QStringLiteral("SIGINT");
        case SIGHUP:
            return QStringLiteral("SIGHUP");
        default:
            break;
    }
#endif
    return QString::number(signo);
}

}  // namespace terval
