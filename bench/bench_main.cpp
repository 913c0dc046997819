#include <benchmark/benchmark.h>
#include <QCoreApplication>

// Every benchmark runs inside a Qt application object, as the station's code does.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
