#pragma once

#include <gtest/gtest.h>
#include <QVector>
#include <map>

#include "support/rig.h"

namespace terval::testing {

// The register map of one relay with plausible contents, answering the Rig's request in flight:
// reads from its blocks, writes kept and echoed.
class FakeRelay {
  public:
    FakeRelay() {
        set(0x0101, 2402);
        set(0x0102, 3 << 12 | 2008);
        set(0x0105, 2 << 8 | 7);
        set(0x0106, 17 << 11 | 6 << 7 | 19);
        set(0x0108, 5321);
        setClock(9, 3, 7, 5, 0);
        set(0x0113, 0b00101);
        set(0x0118, 423);
        set(0x0119, 187);
        set(0x011A, 35);
        set(0x011B, 1480);
        set(0x011C, 2304);
        set(0x011D, 241);
        set(0x011E, 4800);
        set(0x0120, 512);
        set(0x0121, 498);
        set(0x0122, 505);
        const uint16_t setpoints[] = {2,   5,  10, 3,  0,    0,  0,   0,   500,  20,   250,  10,
                                      300, 15, 50, 15, 200,  30, 400, 400, 0,    0,    5000, 25,
                                      0,   0,  0,  0,  0,    0,  0,   0,   512,  498,  505,  0,
                                      0,   0,  0,  0,  1000, 12, 980, 9,   1020, 1015, 2048, 300};
        for (int i = 0; i < 48; ++i) {
            set(static_cast<uint16_t>(0x0400 + i), setpoints[i]);
        }
        set(0x047F, 1234);
        for (int n = 1; n <= 64; ++n) {
            const uint16_t base = static_cast<uint16_t>(0x1000 + 32 * (n - 1));
            set(base, static_cast<uint16_t>((62 - n) << 8 | 2));
            set(base + 1, static_cast<uint16_t>((n % 28 + 1) << 8 | 18));
            set(base + 2, static_cast<uint16_t>(45 << 8 | 36));
            set(base + 3, 456);
            set(base + 4, 12);
            set(base + 5, 7);
            set(base + 6, static_cast<uint16_t>(100 + n));
            set(base + 7, 2300);
            set(base + 8, 241);
            set(base + 27, 0b00011);
            set(base + 31, static_cast<uint16_t>(n % 5));
            const uint16_t riz = static_cast<uint16_t>(0x3000 + 8 * (n - 1));
            set(riz, static_cast<uint16_t>((61 - n) << 8 | 1));
            set(riz + 1, static_cast<uint16_t>(20 << 8 | 4));
            set(riz + 2, static_cast<uint16_t>(51 << 8 | 42));
            set(riz + 3, 1480);
            set(riz + 4, 814);
            set(riz + 5, n % 2 ? 0xAAAA : 0x5555);
        }
    }

    void set(uint16_t reg, uint16_t value) { registers[reg] = value; }
    uint16_t get(uint16_t reg) const {
        const auto it = registers.find(reg);
        return it == registers.end() ? 0 : it->second;
    }
    void setClock(int day, int month, int hour, int minute, int second) {
        set(0x0109, static_cast<uint16_t>(second));
        set(0x010A, static_cast<uint16_t>(minute));
        set(0x010B, static_cast<uint16_t>(hour));
        set(0x010D, static_cast<uint16_t>(day));
        set(0x010E, static_cast<uint16_t>(month));
        set(0x010F, 2008);
    }

    // Answers the request in flight; requests to other relays get plain answers.
    void answer(Rig& rig, int unit) {
        const Request r = rig.lastRequest();
        if (r.unit != unit) {
            rig.answerPlausibly();
            return;
        }
        if (r.function == 6) {
            set(static_cast<uint16_t>(r.reg), static_cast<uint16_t>(r.countOrValue));
            rig.answerWriteEcho();
            return;
        }
        QVector<uint16_t> words;
        for (int i = 0; i < r.countOrValue; ++i) {
            words << get(static_cast<uint16_t>(r.reg + i));
        }
        rig.answerRead(words);
    }

    // Sends and answers `n` requests, relay `unit` from this register map.
    QVector<Request> exchange(Rig& rig, int unit, int n) {
        QVector<Request> seen;
        for (int i = 0; i < n; ++i) {
            EXPECT_GT(rig.tickUntilSent(), 0);
            seen << rig.lastRequest();
            answer(rig, unit);
        }
        return seen;
    }

    // Polls until relay `unit` has answered a read of `reg` for the parameter window (not for the
    // background poll, which reads the same status block and newest protocol).
    void exchangeUntilRead(Rig& rig, int unit, int reg, int limit = 20) {
        for (int i = 0; i < limit; ++i) {
            EXPECT_GT(rig.tickUntilSent(), 0);
            const Request r = rig.lastRequest();
            const bool forWindow = rig.poll().PollStep() >= kStepSelectedStatus;
            answer(rig, unit);
            if (forWindow && r.unit == unit && r.function == 3 && r.reg == reg) {
                return;
            }
        }
        ADD_FAILURE() << "no read of " << std::hex << reg;
    }

    std::map<uint16_t, uint16_t> registers;
};

}  // namespace terval::testing
