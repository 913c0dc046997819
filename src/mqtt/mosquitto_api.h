#pragma once

#include <QByteArray>
#include <memory>

namespace terval {

// The libmosquitto calls MosquittoClient makes and the callbacks it takes, one for one, with
// libmosquitto's return codes (MOSQ_ERR_*) and errno left as the library leaves it. The real one
// passes each call through to one libmosquitto client; the tests put a broker of their own behind
// it, to deliver the callbacks when they choose.
//
// Threads: connect, reconnect, loop and disconnect are called by the client's network thread,
// publish by its hand-over thread (and from inside the connect callback), the setup calls before
// either thread runs or from the network thread between attempts. The callbacks come from inside
// loop(), on the network thread.
class MosquittoApi {
  public:
    class Callbacks {
      public:
        virtual ~Callbacks() = default;
        // The broker's CONNACK: 0 accepted, otherwise its refusal code.
        virtual void connected(int rc) = 0;
        // The connection went or was closed: 0 after our own DISCONNECT.
        virtual void disconnected(int rc) = 0;
        // Message `mid` acknowledged (QoS 1, 2) or written (QoS 0). It may come before publish()
        // has returned `mid` to its caller.
        virtual void published(int mid) = 0;
        virtual void logged(int level, const char* text) = 0;
    };

    virtual ~MosquittoApi() = default;

    // mosquitto_new() for a clean session, set up for calls from more than one thread, with at
    // most `sendMaximum` messages in flight, and `callbacks` told what happens from then on.
    virtual int create(const QByteArray& clientId, int sendMaximum, Callbacks& callbacks) = 0;
    virtual int setWill(const QByteArray& topic, const QByteArray& payload, int qos,
                        bool retain) = 0;
    // A null password is none at all.
    virtual int setUser(const QByteArray& user, const QByteArray& password) = 0;
    virtual int setTls(const QByteArray& caFile) = 0;

    virtual int connectAsync(const QByteArray& host, int port, int keepaliveSeconds) = 0;
    virtual int reconnectAsync() = 0;
    // Waits up to `timeoutMs` for the socket, reads and writes, and calls back.
    virtual int loop(int timeoutMs) = 0;
    virtual int publish(int* mid, const QByteArray& topic, const QByteArray& payload, int qos,
                        bool retain) = 0;
    virtual int disconnect() = 0;
};

// The pass-through to libmosquitto; its client is destroyed with it, the socket closed without a
// DISCONNECT if none was sent.
std::unique_ptr<MosquittoApi> makeLibMosquitto();

}  // namespace terval
