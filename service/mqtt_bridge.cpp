#include "service/mqtt_bridge.h"

#include <mosquitto.h>

#include <algorithm>
#include <ostream>
#include <random>

namespace kv::service {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kQos = 1;
constexpr size_t kInboxMax = 256;
constexpr size_t kWaitingMax = 64;
constexpr auto kSyncPeriod = 1000ms;
constexpr size_t kRecentStates = 8;

void InitLibrary()
{
    static const int once = [] { return mosquitto_lib_init(); }();
    (void)once;
}

}  // namespace

MqttBridge::MqttBridge(TowerService& service, MqttConfig config, std::ostream& log)
    : service_(service), config_(std::move(config)), log_(log)
{}

MqttBridge::~MqttBridge()
{
    Stop();
}

void MqttBridge::Log(const std::string& line)
{
    std::lock_guard<std::mutex> lock(logMutex_);
    log_ << "kestrivaned: mqtt: " << line << "\n" << std::flush;
}

bool MqttBridge::Start(std::string& error)
{
    if (started_)
        return true;
    InitLibrary();
    client_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        error = "cannot make the MQTT client";
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small messages leave at once instead of waiting for the last one's
    // acknowledgement (Nagle with delayed ACKs costs 40 ms a message).
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    auto fail = [&](const std::string& what, int rc) {
        error = what + ": " + mosquitto_strerror(rc);
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    };
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.user.empty()) {
        rc = mosquitto_username_pw_set(client_, config_.user.c_str(),
                                       config_.password.empty() ? nullptr : config_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS)
            return fail("the broker user", rc);
    }
    if (config_.tls) {
        if (!config_.caFile.empty())
            rc = mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        else
            rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail("TLS with " + (config_.caFile.empty() ? std::string("the system's certificates")
                                                              : config_.caFile),
                        rc);
    }
    const std::string will = config_.ServiceAvailabilityTopic();
    rc = mosquitto_will_set(client_, will.c_str(), 7, "offline", kQos, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return fail("the last will", rc);
    mosquitto_reconnect_delay_set(client_, static_cast<unsigned>(config_.reconnectMinSeconds),
                                  static_cast<unsigned>(config_.reconnectMaxSeconds), true);
    mosquitto_connect_callback_set(client_, &MqttBridge::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttBridge::OnDisconnect);
    mosquitto_message_callback_set(client_, &MqttBridge::OnMessage);
    mosquitto_publish_callback_set(client_, &MqttBridge::OnPublish);

    if (!TryConnect())
        Log("the broker " + config_.Url() + " cannot be reached yet; trying again");
    started_ = true;
    worker_ = std::thread([this] { Work(); });
    follower_ = std::thread([this] { FollowEvents(); });
    return true;
}

void MqttBridge::Stop()
{
    if (!started_)
        return;
    started_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
    follower_.join();
    // A clean goodbye: the will is for a service that vanished.
    if (connected_) {
        for (auto& [topic, payload] : published_)
            if (topic.size() > 13 && topic.compare(topic.size() - 13, 13, "/availability") == 0 &&
                topic != config_.ServiceAvailabilityTopic())
                Publish({topic, "offline"});
        Publish({config_.ServiceAvailabilityTopic(), "offline"});
        std::unique_lock<std::mutex> lock(mutex_);
        acknowledged_.wait_for(lock, 2s, [this] { return unacknowledged_.empty() || !connected_; });
    }
    mosquitto_disconnect(client_);
    if (looping_)
        mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    client_ = nullptr;
}

bool MqttBridge::TryConnect()
{
    // Once a connection was started, the network thread keeps it (and
    // takes it again with back-off); a first attempt that failed at once
    // is tried again by the worker.
    if (mosquitto_connect_async(client_, config_.host.c_str(), config_.port, config_.keepAliveSeconds) !=
        MOSQ_ERR_SUCCESS)
        return false;
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
        return false;
    looping_ = true;
    return true;
}

void MqttBridge::OnConnect(mosquitto*, void* self, int rc)
{
    auto* b = static_cast<MqttBridge*>(self);
    if (rc != 0) {
        b->Log(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    b->connected_ = true;
    b->Log("connected to " + b->config_.Url() + " as " + b->config_.clientId);
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        ++b->connects_;
    }
    b->wake_.notify_all();
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto* b = static_cast<MqttBridge*>(self);
    const bool was = b->connected_.exchange(false);
    if (rc != 0 && was)
        b->Log("lost the broker (" + std::string(mosquitto_strerror(rc)) + "); trying again");
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        b->unacknowledged_.clear();
    }
    b->acknowledged_.notify_all();
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* b = static_cast<MqttBridge*>(self);
    if (message == nullptr || message->topic == nullptr)
        return;
    Incoming in;
    in.topic.assign(message->topic, strnlen(message->topic, kMqttTopicMax + 1));
    // One byte past the bound is enough to refuse it as too large.
    const size_t length =
        std::min(static_cast<size_t>(std::max(message->payloadlen, 0)), kMqttPayloadMax + 1);
    if (message->payload != nullptr)
        in.payload.assign(static_cast<const char*>(message->payload), length);
    in.retained = message->retain;
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        if (b->inbox_.size() >= kInboxMax) {
            b->Log("too many messages waiting; dropped one on " + LoggedTopic(in.topic));
            return;
        }
        b->inbox_.push_back(std::move(in));
    }
    b->wake_.notify_all();
}

void MqttBridge::OnPublish(mosquitto*, void* self, int mid)
{
    auto* b = static_cast<MqttBridge*>(self);
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        b->unacknowledged_.erase(mid);
    }
    b->acknowledged_.notify_all();
}

bool MqttBridge::Publish(const MqttMessage& m)
{
    int mid = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const int rc = mosquitto_publish(client_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                     m.payload.data(), kQos, m.retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    unacknowledged_.insert(mid);
    return true;
}

void MqttBridge::FollowEvents()
{
    EventLog& events = service_.events();
    uint64_t cursor = events.next();
    std::vector<std::string> got;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        got.clear();
        if (!events.Read(cursor, got, 200ms))
            return;
        if (got.empty())
            continue;
        // The snapshot follows the events only at the end of the poll
        // thread's round (which may hold a send's pauses): the states the
        // events carry go out at once.
        const auto snap = service_.snapshot();
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& e : got) {
            const json j = json::parse(e, nullptr, false);
            if (!j.is_object() || j.value("event", "") != "state" || !j.contains("tower") ||
                !j["tower"].is_string())
                continue;
            const std::string tower = j["tower"].get<std::string>();
            std::deque<json>& recent = recentStates_[tower];
            // What the snapshot showed before: the state it is behind with.
            if (const TowerView* v = snap->Find(tower); recent.empty() && v != nullptr)
                recent.push_back(v->status);
            recent.push_back(j.value("status", json()));
            if (recent.size() > kRecentStates)
                recent.pop_front();
        }
        stateChanged_ = true;
        wake_.notify_all();
    }
}

void MqttBridge::Work()
{
    std::mt19937 random(std::random_device{}());
    nextSync_ = Clock::now();
    auto retryDelay = std::chrono::seconds(config_.reconnectMinSeconds);
    auto nextConnect = Clock::now() + retryDelay;
    for (;;) {
        std::deque<Incoming> arrived;
        bool changed = false;
        uint64_t connects = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto until = nextSync_;
            if (!waiting_.empty())
                until = std::min(until, Clock::now() + 5ms);
            if (haRepublish_)
                until = std::min(until, haRepublishAt_);
            if (!looping_)
                until = std::min(until, nextConnect);
            wake_.wait_until(lock, until, [this] {
                return stopping_ || !inbox_.empty() || stateChanged_ || connects_ != connectsSeen_;
            });
            if (stopping_)
                break;
            arrived.swap(inbox_);
            changed = std::exchange(stateChanged_, false);
            connects = connects_;
        }
        if (!looping_ && Clock::now() >= nextConnect && !TryConnect()) {
            retryDelay = std::min(retryDelay * 2, std::chrono::seconds(config_.reconnectMaxSeconds));
            nextConnect = Clock::now() + retryDelay;
        }
        if (connects != connectsSeen_) {
            connectsSeen_ = connects;
            Connected();
            changed = true;
        }
        for (const Incoming& m : arrived) {
            const MqttRequest r =
                CheckMqttMessage(config_, *service_.snapshot(), m.topic, m.payload, m.retained);
            if (r.kind == MqttRequest::Kind::HaOnline && !haRepublish_) {
                // Home Assistant's own advice: a random delay, so that not
                // every device answers its start at the same moment.
                haRepublish_ = true;
                haRepublishAt_ = Clock::now() + std::chrono::milliseconds(100 + random() % 400);
            } else if (r.kind == MqttRequest::Kind::Refuse) {
                Log("refused " + LoggedTopic(m.topic) + ": " + r.error);
                Publish(ResultMessage(config_, r.towerId, m.topic, ErrorAnswer(r.code, r.error)));
            } else if (r.kind == MqttRequest::Kind::Update) {
                // Answered at once; its progress shows in the firmware state.
                const Answer a = service_.StartUpdate(r.localId);
                if (a.status != 202)
                    Log("command on " + LoggedTopic(m.topic) +
                        " failed: " + a.body.value("error", std::string()));
                Publish(ResultMessage(config_, r.towerId, m.topic, a));
            } else if (r.kind == MqttRequest::Kind::Write || r.kind == MqttRequest::Kind::Threshold) {
                if (waiting_.size() >= kWaitingMax) {
                    Log("refused " + LoggedTopic(m.topic) + ": too many commands waiting");
                    Publish(
                        ResultMessage(config_, r.towerId, m.topic,
                                      ErrorAnswer(409, "The tower is busy: too many writes are waiting.")));
                    continue;
                }
                const auto bound = service_.options().confirmTimeout + 2s;
                waiting_.push_back({r.kind == MqttRequest::Kind::Write
                                        ? service_.Write(r.localId, r.write)
                                        : service_.SetThreshold(r.localId, r.threshold),
                                    r.towerId, m.topic, Clock::now() + bound});
            }
        }
        Collect(false);
        if (haRepublish_ && Clock::now() >= haRepublishAt_) {
            haRepublish_ = false;
            const std::string service = config_.ServiceAvailabilityTopic();
            for (auto it = published_.begin(); it != published_.end();)
                it = it->first == service ? std::next(it) : published_.erase(it);
            changed = true;
        }
        if (changed || Clock::now() >= nextSync_) {
            Sync();
            nextSync_ = Clock::now() + kSyncPeriod;
        }
    }
    Collect(true);
}

void MqttBridge::Connected()
{
    // A new session at the broker: nothing of the old one is assumed.
    published_.clear();
    subscribed_.clear();
    const MqttMessage online{config_.ServiceAvailabilityTopic(), "online"};
    if (Publish(online))
        published_[online.topic] = online.payload;
    mosquitto_subscribe(client_, nullptr, config_.haStatusTopic.c_str(), kQos);
}

void MqttBridge::Collect(bool all)
{
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        const bool late = Clock::now() >= it->deadline;
        if (!all && !late && it->answer.wait_for(0ms) != std::future_status::ready) {
            ++it;
            continue;
        }
        Answer a = it->answer.wait_for(0ms) == std::future_status::ready
                       ? it->answer.get()
                       : ErrorAnswer(late ? 504 : 503, late ? "The tower did not confirm the write in time."
                                                            : "The service is stopping.");
        if (a.status != 200)
            Log("command on " + LoggedTopic(it->topic) + " failed: " + a.body.value("error", std::string()));
        Publish(ResultMessage(config_, it->towerId, it->topic, a));
        it = waiting_.erase(it);
    }
}

void MqttBridge::Sync()
{
    const auto snap = service_.snapshot();
    std::map<std::string, std::deque<json>> recent;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recent = recentStates_;
    }
    std::set<std::string> ids;
    for (const TowerView& v : snap->towers) {
        const std::string id = MqttTowerId(config_, v);
        if (!ids.insert(id).second)
            continue;  // two towers given one id: the first keeps it
        json status = v.status;
        // A snapshot that shows an older state than the latest event is
        // behind it; one that shows none of them is ahead.
        if (const auto r = recent.find(v.id); r != recent.end() && !status.is_null()) {
            const auto at = std::find(r->second.begin(), r->second.end(), status);
            if (at != r->second.end() && std::next(at) != r->second.end())
                status = r->second.back();
        }
        if (!status.is_null())
            lastStatus_[id] = status;
        if (connected_ && !subscribed_.count(id)) {
            const std::string all = config_.prefix + "/" + id + "/#";
            if (mosquitto_subscribe(client_, nullptr, all.c_str(), kQos) == MOSQ_ERR_SUCCESS)
                subscribed_.insert(id);
        }
        const auto last = lastStatus_.find(id);
        for (const MqttMessage& m :
             TowerMessages(config_, id, v, last != lastStatus_.end() ? last->second : json())) {
            auto p = published_.find(m.topic);
            if (p != published_.end() && p->second == m.payload)
                continue;
            if (Publish(m))
                published_[m.topic] = m.payload;
        }
    }
}

}  // namespace kv::service
