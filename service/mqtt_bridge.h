// MqttBridge: the service's towers on an MQTT broker.
//
// libmosquitto runs the connection on its own network thread (reconnects
// with back-off included); its callbacks only queue what arrived. The
// bridge's worker thread does everything else: it checks every message that
// arrived against the latest snapshot and queues the writes to the service,
// as the HTTP threads do, answers each command on the tower's result topic,
// and publishes the retained messages whenever what they show changed. A
// second thread follows the service's events so that a state change goes
// out at once. Neither ever waits on the poll thread: a write's answer is
// collected when it is ready.
//
// After every (re)connect the subscriptions and every retained message are
// sent again; when Home Assistant says "online" on its status topic the
// discovery configurations and states follow after a short random delay.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <iosfwd>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/mqtt_config.h"
#include "service/mqtt_messages.h"
#include "service/tower_service.h"

struct mosquitto;
struct mosquitto_message;

namespace kv::service {

class MqttBridge {
public:
    MqttBridge(TowerService& service, MqttConfig config, std::ostream& log);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Starts connecting (a broker not there yet is tried again with
    // back-off) and the bridge's threads. False when the client could not
    // be set up (for example an unreadable CA file).
    bool Start(std::string& error);
    // Marks the service and its towers offline, disconnects, ends the threads.
    void Stop();
    bool connected() const { return connected_.load(); }

private:
    struct Incoming {
        std::string topic;
        std::string payload;
        bool retained = false;
    };
    struct Waiting {
        std::future<Answer> answer;
        std::string towerId;
        std::string topic;
        std::chrono::steady_clock::time_point deadline;
    };

    static void OnConnect(mosquitto* m, void* self, int rc);
    static void OnDisconnect(mosquitto* m, void* self, int rc);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto* m, void* self, int mid);

    bool TryConnect();
    void Work();
    void FollowEvents();
    void Connected();
    void Handle(const Incoming& message);
    void Collect(bool all);
    void Sync();
    bool Publish(const MqttMessage& m);
    void Log(const std::string& line);

    TowerService& service_;
    MqttConfig config_;
    std::ostream& log_;
    std::mutex logMutex_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<bool> looping_{false};

    // Shared between the network thread, the event follower and the worker.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Incoming> inbox_;
    uint64_t connects_ = 0;
    bool stateChanged_ = false;
    bool stopping_ = false;
    std::set<int> unacknowledged_;
    // The latest states from the service's events, per tower (service id).
    std::map<std::string, std::deque<nlohmann::json>> recentStates_;
    std::condition_variable acknowledged_;

    // Worker only (and Stop, once the worker has ended).
    uint64_t connectsSeen_ = 0;
    std::map<std::string, std::string> published_;
    std::set<std::string> subscribed_;
    std::map<std::string, nlohmann::json> lastStatus_;
    std::vector<Waiting> waiting_;
    std::chrono::steady_clock::time_point haRepublishAt_{};
    bool haRepublish_ = false;
    std::chrono::steady_clock::time_point nextSync_{};

    std::thread worker_;
    std::thread follower_;
    bool started_ = false;
};

}  // namespace kv::service
