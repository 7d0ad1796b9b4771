// HttpApi: the service's HTTP side. Every request is checked (Host, Origin,
// token, content type, size, shape of the body, the tower and segment it
// names against the latest snapshot) before anything is queued to the poll
// thread; a refused request never reaches a tower.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/local_socket.h"
#include "service/access.h"
#include "service/tower_service.h"

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace kv::service {

class ApiServer;

// The port the service listens on unless told otherwise.
constexpr int kDefaultPort = 8742;

struct ApiConfig {
    // The bearer token; empty: none asked for (loopback only).
    std::string token;
    // Names beyond the addresses listened on that the Host may carry (for
    // a reverse proxy in front).
    std::vector<std::string> extraHosts;
    // Largest request body taken; larger ones get 413.
    size_t maxBody = 16 * 1024;
    // Event streams open at a time; more get 409.
    int maxEventStreams = 8;
    // Request threads per address listened on, and connections that may
    // wait for one before the service stops accepting.
    size_t threads = 16;
    size_t waitingConnections = 16;
    // A wait for the next bytes of a request; the whole request (line,
    // headers, body) must arrive within requestTimeout, or the connection
    // gets 408 (or is closed while the request line is not whole).
    std::chrono::seconds readTimeout{5};
    std::chrono::milliseconds requestTimeout{10000};
    std::chrono::seconds writeTimeout{5};
    std::chrono::seconds keepAlive{5};
    // A comment line on an idle event stream this often.
    std::chrono::milliseconds heartbeat{5000};
};

// The tower's state as a write or a status read needs it: 0 when in step,
// else the status of the refusal with its text.
int NotInStep(const TowerView& v, std::string& text);
// The body of a segment write ({"pattern", "level", "on"}), checked field by
// field against the tower as the snapshot shows it: 0 with `write` filled,
// or the status of the refusal with its text. The MQTT commands use it too.
int CheckSegmentWrite(const TowerView& v, const std::string& segment, const std::string& body,
                      SegmentWrite& write, std::string& text);

// The switching threshold in volts (a JSON number), checked against the
// tower as the snapshot shows it: 0 with `raw` filled, or the status of the
// refusal with its text. The MQTT command uses it too.
int CheckThresholdWrite(const TowerView& v, const nlohmann::json& volts, uint8_t& raw, std::string& text);

class HttpApi {
public:
    HttpApi(TowerService& service, ApiConfig config);
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Binds one server per address to the port (0: a free port, then the
    // same one for the other addresses). An address that cannot be bound
    // fails the whole bind unless it is in `optional`, when it is skipped
    // and named in `skipped`.
    bool Bind(const std::vector<std::string>& addresses, const std::vector<std::string>& optional, int port,
              std::string& error, std::vector<std::string>& skipped);
    // Listens on the local socket at `path` as well (see ListenLocalSocket):
    // requests over it need no token; every other check stays.
    bool BindLocal(const std::string& path, bool privateSocket, std::string& error);
    const std::string& localPath() const { return local_.path; }
    int port() const { return port_; }
    const std::vector<std::string>& addresses() const { return bound_; }
    const AccessRules& rules() const { return rules_; }

    // Serves on background threads until Stop.
    void Start();
    // Ends the event streams and the servers; waits for their threads;
    // removes the local socket.
    void Stop();

private:
    void Configure(httplib::Server& server, const AccessRules& rules);
    // Replies with a queued write's answer, or 504 when it is not there in
    // time.
    void Await(httplib::Response& res, std::future<Answer> answer);

    TowerService& service_;
    ApiConfig config_;
    AccessRules rules_;
    AccessRules localRules_;
    LocalSocket local_;
    int port_ = 0;
    std::vector<std::string> bound_;
    std::vector<std::unique_ptr<ApiServer>> servers_;
    std::vector<std::thread> threads_;
    std::atomic<int> eventStreams_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace kv::service
