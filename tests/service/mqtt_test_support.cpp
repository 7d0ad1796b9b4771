#include "mqtt_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kv::service::test {

using namespace std::chrono_literals;

namespace {

int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool Accepts(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

}  // namespace

TestBroker::TestBroker()
{
    char name[] = "/tmp/kv-mqtt-XXXXXX";
    dir_ = mkdtemp(name) != nullptr ? name : "/tmp";
    port_ = FreePort();
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
}

TestBroker::~TestBroker()
{
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool TestBroker::Start()
{
    Stop();
    const std::string conf = dir_ + "/mosquitto.conf";
    const std::string log = dir_ + "/broker.log";
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec: the test
        // has threads running.
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        if (Accepts(port_))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void TestBroker::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

TestClient::TestClient()
{
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(client_, &TestClient::OnMessage);
    mosquitto_subscribe_callback_set(client_, &TestClient::OnSubscribe);
    mosquitto_connect_callback_set(client_, &TestClient::OnConnect);
}

TestClient::~TestClient()
{
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
}

bool TestClient::Connect(int port)
{
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
        return false;
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [this] { return connected_; });
}

bool TestClient::Subscribe(const std::string& filter)
{
    int before = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = subscribed_;
    }
    if (mosquitto_subscribe(client_, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS)
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return subscribed_ > before; });
}

bool TestClient::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             retain) == MOSQ_ERR_SUCCESS;
}

bool TestClient::WaitFor(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                         std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return done(messages_); });
}

bool TestClient::Next(const std::string& topic, size_t from, ReceivedMessage& out, std::chrono::milliseconds bound)
{
    return WaitFor(
        [&](const std::vector<ReceivedMessage>& all) {
            for (size_t i = from; i < all.size(); ++i)
                if (all[i].topic == topic) {
                    out = all[i];
                    return true;
                }
            return false;
        },
        bound);
}

std::vector<ReceivedMessage> TestClient::messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

size_t TestClient::count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

void TestClient::OnMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<TestClient*>(self);
    ReceivedMessage r{m->topic,
                      m->payload != nullptr ? std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)) : std::string(),
                      m->retain};
    if (c->onMessage)
        c->onMessage(r);
    {
        std::lock_guard<std::mutex> lock(c->mutex_);
        c->messages_.push_back(std::move(r));
    }
    c->changed_.notify_all();
}

void TestClient::OnSubscribe(mosquitto*, void* self, int, int, const int*)
{
    auto* c = static_cast<TestClient*>(self);
    {
        std::lock_guard<std::mutex> lock(c->mutex_);
        ++c->subscribed_;
    }
    c->changed_.notify_all();
}

void TestClient::OnConnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<TestClient*>(self);
    {
        std::lock_guard<std::mutex> lock(c->mutex_);
        c->connected_ = rc == 0;
    }
    c->changed_.notify_all();
}

}  // namespace kv::service::test
