#include "logger.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace relaysim {

namespace {

void emit(const std::string& text) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(tv.tv_usec / 1000));
    const std::string line = std::string("relay-sim ") + stamp + ' ' + text + '\n';
    // One write per line keeps lines whole when the stream is shared with other processes.
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void Logger::traffic(const std::string& text) const {
    if (traffic_) {
        emit(text);
    }
}

void Logger::notice(const std::string& text) const {
    emit(text);
}

}  // namespace relaysim
