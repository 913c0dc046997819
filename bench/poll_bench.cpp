// How much of the 100 ms tick the station's own work takes: the CRC, the framing of an RTU
// answer, and a whole request/answer round through the scheduler, the link and the dispatcher.
#include <benchmark/benchmark.h>

#include "modbus/answer_framer.h"
#include "modbus/modbus_frame.h"
#include "support/rig.h"

namespace {

using namespace terval;

void BM_MatchCrcOfAStatusAnswer(benchmark::State& state) {
    const QByteArray answer = testing::rtuReadAnswer(1, testing::statusBlock(1234));
    for (auto _ : state) {
        benchmark::DoNotOptimize(MatchCRC(QByteArrayView(answer).first(99)));
    }
}
BENCHMARK(BM_MatchCrcOfAStatusAnswer);

void BM_RtuFramingInTwoDeliveries(benchmark::State& state) {
    const QByteArray answer = testing::rtuReadAnswer(1, testing::statusBlock(1234));
    RtuFramer framer;
    for (auto _ : state) {
        framer.push(QByteArrayView(answer).first(50));
        benchmark::DoNotOptimize(framer.push(QByteArrayView(answer).sliced(50)));
    }
}
BENCHMARK(BM_RtuFramingInTwoDeliveries);

// One request out and its answer in, over the fake TCP socket, with 32 relays in the table.
void BM_PollRoundTrip(benchmark::State& state) {
    testing::Rig rig(32);
    rig.connect();
    for (auto _ : state) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
}
BENCHMARK(BM_PollRoundTrip);

}  // namespace
