// A control system at its most demanding: reads the station's whole register map over Modbus TCP
// as fast as the station answers, for a given time, then prints the reads answered per second and
// their latency. Used by bench/measure-map-load; not part of the tests.
//
//   terval_map_reader HOST PORT SECONDS
#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "modbus/station_map.h"

namespace sm = terval::station_map;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: terval_map_reader HOST PORT SECONDS\n");
        return 2;
    }
    const int seconds = std::atoi(argv[3]);
    modbus_t* ctx = modbus_new_tcp(argv[1], std::atoi(argv[2]));
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "terval_map_reader: cannot connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 2, 0);

    // The whole map in reads of at most 125 registers (the protocol's limit), none touching the
    // gaps between the blocks.
    std::vector<std::pair<int, int>> reads;
    const std::pair<int, int> blocks[] = {{sm::kStationBlock, sm::kStationBlockSize},
                                          {sm::kRelayBlocks, sm::kRelayBlockSize * sm::kRelayTiles},
                                          {sm::kEventQueue, sm::kEventSlotSize * sm::kEventSlots}};
    for (const auto& [first, count] : blocks) {
        for (int at = 0; at < count; at += 120) {
            reads.emplace_back(first + at, std::min(120, count - at));
        }
    }

    std::vector<double> latencyMs;
    latencyMs.reserve(1'000'000);
    uint16_t words[125];
    long failures = 0;
    long maps = 0;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    bool input = false;
    while (Clock::now() < end) {
        for (const auto& [first, count] : reads) {
            const Clock::time_point sent = Clock::now();
            // Holding and input registers in turn: the map is the same either way.
            const int got = input ? modbus_read_input_registers(ctx, first, count, words)
                                  : modbus_read_registers(ctx, first, count, words);
            const Clock::time_point back = Clock::now();
            if (got != count) {
                ++failures;
                if (errno == EBADF || errno == ECONNRESET || errno == EPIPE) {
                    std::fprintf(stderr, "terval_map_reader: connection lost: %s\n",
                                 modbus_strerror(errno));
                    modbus_close(ctx);
                    modbus_free(ctx);
                    return 1;
                }
                continue;
            }
            latencyMs.push_back(std::chrono::duration<double, std::milli>(back - sent).count());
        }
        input = !input;
        ++maps;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    modbus_close(ctx);
    modbus_free(ctx);
    if (latencyMs.empty()) {
        std::fprintf(stderr, "terval_map_reader: no read was answered\n");
        return 1;
    }
    std::sort(latencyMs.begin(), latencyMs.end());
    const auto at = [&](double q) {
        return latencyMs[std::min(latencyMs.size() - 1,
                                  static_cast<size_t>(q * static_cast<double>(latencyMs.size())))];
    };
    std::printf("reads answered: %zu in %.1f s, %.0f per second (%ld whole maps, %zu reads each)\n",
                latencyMs.size(), wall, static_cast<double>(latencyMs.size()) / wall, maps,
                reads.size());
    std::printf("latency: median %.3f ms, p99 %.3f ms, max %.3f ms; failed reads %ld\n", at(0.5),
                at(0.99), latencyMs.back(), failures);
    return failures == 0 ? 0 : 1;
}
