// A real mosquitto broker for tests, started on a free loopback port from a
// configuration file the test writes, and an MQTT client of the test's own
// (libmosquitto, its own connection) that records what arrives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace kv::service::test {

class TestBroker {
public:
    TestBroker();
    ~TestBroker();
    // Starts mosquitto (again on the same port); false when it does not
    // take connections within 5 s.
    bool Start();
    void Stop();
    int port() const { return port_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
};

class TestClient {
public:
    TestClient();
    ~TestClient();
    bool Connect(int port);
    // Subscribes and waits for the broker's acknowledgement.
    bool Subscribe(const std::string& filter);
    bool Publish(const std::string& topic, const std::string& payload, bool retain = false);
    // Waits (bounded) until `done` holds for what arrived so far.
    bool WaitFor(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                 std::chrono::milliseconds bound);
    // The first message on `topic` from index `from` on, waiting up to `bound`.
    bool Next(const std::string& topic, size_t from, ReceivedMessage& out, std::chrono::milliseconds bound);
    std::vector<ReceivedMessage> messages();
    size_t count();
    // Called on the network thread for every message, with its arrival.
    std::function<void(const ReceivedMessage&)> onMessage;

private:
    static void OnMessage(mosquitto*, void*, const mosquitto_message*);
    static void OnSubscribe(mosquitto*, void*, int, int, const int*);
    static void OnConnect(mosquitto*, void*, int);

    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedMessage> messages_;
    int subscribed_ = 0;
    bool connected_ = false;
};

}  // namespace kv::service::test
