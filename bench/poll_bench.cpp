// How much of the 100 ms tick the station's own work takes: the CRC, the acceptance of an RTU
// answer, and a whole request/answer round through the scheduler, the link and the dispatcher.
#include <benchmark/benchmark.h>
#include <QCoreApplication>

#include "link/modbus_frame.h"
#include "link/rtu_receiver.h"
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

void BM_RtuAcceptanceInTwoDeliveries(benchmark::State& state) {
    const QByteArray answer = testing::rtuReadAnswer(1, testing::statusBlock(1234));
    ReceiveBuffer buffer;
    RtuReceiver receiver(buffer);
    for (auto _ : state) {
        receiver.accept(QByteArrayView(answer).first(50));
        benchmark::DoNotOptimize(receiver.accept(QByteArrayView(answer).sliced(50)));
    }
}
BENCHMARK(BM_RtuAcceptanceInTwoDeliveries);

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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
