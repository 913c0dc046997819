#include "mqtt/mosquitto_api.h"

#include <mosquitto.h>

#include <cerrno>

namespace terval {
namespace {

void initLibrary() {
    static const int done = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)done;
}

MosquittoApi::Callbacks& callbacksOf(void* userdata) {
    return *static_cast<MosquittoApi::Callbacks*>(userdata);
}

class LibMosquitto final : public MosquittoApi {
  public:
    ~LibMosquitto() override {
        if (mosq_ != nullptr) {
            mosquitto_destroy(mosq_);
        }
    }

    int create(const QByteArray& clientId, int sendMaximum, Callbacks& callbacks) override {
        initLibrary();
        if (mosq_ != nullptr) {
            mosquitto_destroy(mosq_);
        }
        mosq_ =
            mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), true, &callbacks);
        if (mosq_ == nullptr) {
            return MOSQ_ERR_ERRNO;
        }
        mosquitto_threaded_set(mosq_, true);
        mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, sendMaximum);
        mosquitto_connect_callback_set(
            mosq_, [](mosquitto*, void* userdata, int rc) { callbacksOf(userdata).connected(rc); });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* userdata, int rc) {
            callbacksOf(userdata).disconnected(rc);
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* userdata, int mid) {
            callbacksOf(userdata).published(mid);
        });
        mosquitto_log_callback_set(mosq_,
                                   [](mosquitto*, void* userdata, int level, const char* text) {
                                       callbacksOf(userdata).logged(level, text);
                                   });
        return MOSQ_ERR_SUCCESS;
    }

    int setWill(const QByteArray& topic, const QByteArray& payload, int qos, bool retain) override {
        return mosquitto_will_set(mosq_, topic.constData(), static_cast<int>(payload.size()),
                                  payload.constData(), qos, retain);
    }

    int setUser(const QByteArray& user, const QByteArray& password) override {
        return mosquitto_username_pw_set(mosq_, user.constData(),
                                         password.isNull() ? nullptr : password.constData());
    }

    int setTls(const QByteArray& caFile) override {
        return mosquitto_tls_set(mosq_, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    }

    int connectAsync(const QByteArray& host, int port, int keepaliveSeconds) override {
        return mosquitto_connect_async(mosq_, host.constData(), port, keepaliveSeconds);
    }

    int reconnectAsync() override { return mosquitto_reconnect_async(mosq_); }

    int loop(int timeoutMs) override { return mosquitto_loop(mosq_, timeoutMs, 1); }

    int publish(int* mid, const QByteArray& topic, const QByteArray& payload, int qos,
                bool retain) override {
        return mosquitto_publish(mosq_, mid, topic.constData(), static_cast<int>(payload.size()),
                                 payload.constData(), qos, retain);
    }

    int disconnect() override { return mosquitto_disconnect(mosq_); }

  private:
    mosquitto* mosq_ = nullptr;
};

}  // namespace

std::unique_ptr<MosquittoApi> makeLibMosquitto() {
    return std::make_unique<LibMosquitto>();
}

}  // namespace terval
