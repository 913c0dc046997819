// mqtt-client-probe HOST PORT STATION: the station's broker client and nothing else, for tests of
// what the broker does when a station dies. It connects (the client says "online", QoS 1,
// retained, on terval/STATION/status), writes "online" to its standard output, and then waits:
// killed, it leaves its will to the broker; when its standard input closes, it stops cleanly.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mqtt/mosquitto_client.h"
#include "support/wait_until.h"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    if (argc != 4) {
        std::fprintf(stderr, "usage: mqtt-client-probe HOST PORT STATION\n");
        return 2;
    }
    terval::MqttSettings settings;
    settings.host = QString::fromLocal8Bit(argv[1]);
    settings.port = std::atoi(argv[2]);
    settings.station = QString::fromLocal8Bit(argv[3]);
    settings.clientId = QStringLiteral("terval-") + settings.station;
    settings.prefix = QStringLiteral("terval");

    terval::MosquittoClient client;
    client.start(settings);
    if (!terval::testing::waitUntil(
            [&client] { return client.status().state == terval::BrokerState::Connected; }, 10s,
            10ms)) {
        std::printf("error %s\n", client.status().reason.toUtf8().constData());
        return 1;
    }
    std::printf("online\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    client.stop();
    return 0;
}
