#include "service/http_api.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "service/openapi.h"
#include "service/web_page.h"

namespace kv::service {

using nlohmann::json;

namespace {

// Request threads with a bounded line of connections waiting for one: when
// the line is full, the accepting thread waits, so connections beyond it
// stay in the kernel's backlog instead of piling up in the program.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t threads, size_t waiting) : limit_(waiting)
    {
        for (size_t i = 0; i < threads; ++i)
            workers_.emplace_back([this] { Work(); });
    }
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return done_ || jobs_.size() < limit_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (done_ && workers_.empty())
                return;
            done_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (std::thread& t : workers_)
            if (t.joinable())
                t.join();
        workers_.clear();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return done_ || !jobs_.empty(); });
                // Connections accepted before the stop are still served
                // (and closed) by the job.
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            fn();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    size_t limit_;
    bool done_ = false;
};

// Whether the request this thread reads was cut off at its deadline.
thread_local bool tRequestCutOff = false;

int Millis(time_t sec, time_t usec)
{
    return static_cast<int>(sec * 1000 + usec / 1000);
}

// A connection as the request parser reads it: buffered, each read waiting
// at most the read timeout and never past the deadline of the request it
// belongs to, so a client that sends a byte now and then cannot hold a
// request thread longer than that.
class DeadlineStream : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    DeadlineStream(int fd, int readMs, int writeMs) : fd_(fd), readMs_(readMs), writeMs_(writeMs) {}
    using httplib::Stream::write;

    // Waits up to `ms` for the first byte of the next request.
    bool WaitForRequest(int ms)
    {
        if (begin_ < end_)
            return true;
        pollfd p{fd_, POLLIN, 0};
        return Poll(p, ms) > 0 && (p.revents & POLLIN) != 0;
    }
    void StartRequest(Clock::time_point deadline)
    {
        deadline_ = deadline;
        tRequestCutOff = false;
    }

    bool is_readable() const override
    {
        if (begin_ < end_)
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) {
            tRequestCutOff = true;
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (Poll(p, static_cast<int>(std::min<int64_t>(left, readMs_))) > 0)
            return true;
        // The wait went up to the deadline (poll may end a little early).
        if (left <= readMs_)
            tRequestCutOff = true;
        return false;
    }
    bool is_writable() const override
    {
        pollfd p{fd_, POLLOUT, 0};
        if (Poll(p, writeMs_) <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return false;
        // A client that has gone reads as the end of its stream.
        pollfd r{fd_, POLLIN, 0};
        if (poll(&r, 1, 0) > 0 && begin_ == end_) {
            char c = 0;
            if (recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                return false;
        }
        return true;
    }
    ssize_t read(char* ptr, size_t size) override
    {
        if (begin_ == end_) {
            if (!is_readable())
                return -1;
            ssize_t n = 0;
            do
                n = recv(fd_, buffer_, sizeof buffer_, 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n = 0;
        do
            n = send(fd_, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    static int Poll(pollfd& p, int ms)
    {
        int r = 0;
        do
            r = poll(&p, 1, ms);
        while (r < 0 && errno == EINTR);
        return r;
    }
    // The peer's or our own address; empty on the local socket.
    void Address(bool peer, std::string& ip, int& port) const
    {
        sockaddr_storage a{};
        socklen_t n = sizeof a;
        sockaddr* sa = reinterpret_cast<sockaddr*>(&a);
        if ((peer ? getpeername(fd_, sa, &n) : getsockname(fd_, sa, &n)) != 0 ||
            (a.ss_family != AF_INET && a.ss_family != AF_INET6))
            return;
        char host[NI_MAXHOST];
        char service[NI_MAXSERV];
        if (getnameinfo(sa, n, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) ==
            0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    int fd_;
    int readMs_;
    int writeMs_;
    Clock::time_point deadline_ = Clock::now();
    char buffer_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace

// One listening socket of the API (a TCP address, or the local socket) with
// its own accepting loop: the connections go to the bounded pool, and each
// request on them must arrive whole within the request timeout.
class ApiServer : public httplib::Server {
public:
    explicit ApiServer(std::chrono::milliseconds requestTimeout) : requestTimeout_(requestTimeout) {}
    ~ApiServer() override
    {
        const socket_t fd = svr_sock_.exchange(INVALID_SOCKET);
        if (fd != INVALID_SOCKET)
            close(fd);
    }

    // Serves on a listening socket made elsewhere.
    void Adopt(int fd) { svr_sock_ = fd; }

    // Accepts until Close.
    void Serve()
    {
        std::unique_ptr<httplib::TaskQueue> queue(new_task_queue());
        while (!closing_) {
            pollfd p{svr_sock_, POLLIN, 0};
            // Bounded, so a Close is seen however the socket is left.
            const int r = poll(&p, 1, 100);
            if (r <= 0 || closing_)
                continue;
            const int fd = accept4(svr_sock_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                // Out of descriptors: the backlog waits a moment.
                if (errno == EMFILE || errno == ENFILE)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            queue->enqueue([this, fd] { ServeConnection(fd); });
        }
        queue->shutdown();
        const socket_t fd = svr_sock_.exchange(INVALID_SOCKET);
        if (fd != INVALID_SOCKET)
            close(fd);
    }

    // Ends the accepting loop and, after their current request, the
    // connections.
    void Close()
    {
        closing_ = true;
        const socket_t fd = svr_sock_;
        if (fd != INVALID_SOCKET)
            shutdown(fd, SHUT_RDWR);
    }

private:
    void ServeConnection(int fd)
    {
        DeadlineStream stream(fd, Millis(read_timeout_sec_, read_timeout_usec_),
                              Millis(write_timeout_sec_, write_timeout_usec_));
        for (size_t left = keep_alive_max_count_; left > 0 && !closing_; --left) {
            if (!stream.WaitForRequest(static_cast<int>(keep_alive_timeout_sec_ * 1000)))
                break;
            stream.StartRequest(std::chrono::steady_clock::now() + requestTimeout_);
            bool closed = false;
            const bool served = process_request(stream, left == 1, closed, nullptr);
            if (!served || closed || tRequestCutOff)
                break;
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }

    std::chrono::milliseconds requestTimeout_;
    std::atomic<bool> closing_{false};
};

namespace {

void Reply(httplib::Response& res, const Answer& a)
{
    res.status = a.status;
    res.set_content(a.body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& text)
{
    Reply(res, ErrorAnswer(status, text));
}

// Part of what a client sent, fit to quote in an answer.
std::string Quoted(const std::string& text)
{
    std::string q;
    for (unsigned char c : text.substr(0, 40))
        q.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return text.size() > 40 ? q + "..." : q;
}

bool IsWrite(const std::string& method)
{
    return method != "GET" && method != "HEAD";
}

bool IsJsonType(const std::string& contentType)
{
    std::string media = contentType.substr(0, contentType.find(';'));
    while (!media.empty() && media.back() == ' ')
        media.pop_back();
    std::transform(media.begin(), media.end(), media.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return media == "application/json";
}

const char* ReasonText(int status)
{
    switch (status) {
    case 400:
        return "Bad request.";
    case 404:
        return "Not found.";
    case 408:
        return "The request did not arrive in time.";
    case 405:
        return "Method not allowed.";
    case 413:
        return "The request is too large.";
    case 414:
        return "The request target is too long.";
    case 431:
        return "The request's headers are too large.";
    default:
        return "The request was not served.";
    }
}

}  // namespace

// The tower's state as a write or a status read needs it: 0 when in step,
// else the status of the refusal with its text.
int NotInStep(const TowerView& v, std::string& text)
{
    switch (v.condition) {
    case TowerCondition::Online:
        return 0;
    case TowerCondition::Connecting:
        text = "The tower has not reported its whole state yet.";
        return 503;
    case TowerCondition::Lost:
        text = "The tower was lost (unplugged, or a read failed).";
        return 503;
    case TowerCondition::Inaccessible:
        text = "The tower could not be opened (another program may hold it).";
        return 503;
    case TowerCondition::Held:
        text = HeldText(v.heldBy);
        return 409;
    case TowerCondition::Updating:
        text = "A firmware update of the tower runs.";
        return 409;
    case TowerCondition::FirmwareDiffers:
        text = "The Base Controller runs firmware " + (v.firmware >= 0 ? VersionText(v.firmware) : "n/a") +
               "; this program works with " + VersionText(ProgramFirmwareVersion()) +
               ". Update its firmware.";
        return 409;
    }
    return 503;
}

// The body of a segment write, checked field by field against the tower as
// the snapshot shows it. Status 0 with `write` filled, or the refusal.
int CheckSegmentWrite(const TowerView& v, const std::string& segment, const std::string& body,
                      SegmentWrite& write, std::string& text)
{
    const json j = json::parse(body, nullptr, false);
    if (j.is_discarded()) {
        text = "The body is not JSON.";
        return 400;
    }
    if (!j.is_object()) {
        text = "The body must be a JSON object.";
        return 400;
    }
    if (j.empty()) {
        text = "Give at least one of pattern, level and on.";
        return 400;
    }
    for (const auto& [key, value] : j.items()) {
        if (key != "pattern" && key != "level" && key != "on") {
            text = "Unknown field '" + Quoted(key) + "': give pattern, level or on.";
            return 400;
        }
    }
    if (j.contains("pattern") && !j["pattern"].is_string()) {
        text = "pattern must be a pattern name (a string).";
        return 400;
    }
    if (j.contains("level") && !j["level"].is_number_integer()) {
        text = "level must be a whole number of percent.";
        return 400;
    }
    if (j.contains("on") && !j["on"].is_boolean()) {
        text = "on must be true or false.";
        return 400;
    }

    const int status = NotInStep(v, text);
    if (status != 0)
        return status;
    const int row = segment.size() > 32 ? -1 : ResolveRow(segment, v.addresses);
    if (row < 0) {
        text = "No segment '" + Quoted(segment) + "': give 1-5, sound, or a colour name the tower shows.";
        return 404;
    }
    if (!RowPresent(row, v.addresses)) {
        text = row == kSoundRowIndex
                   ? std::string("The tower has no sound segment.")
                   : "The tower has no segment at position " + std::to_string(row + 1) + ".";
        return 404;
    }
    write.row = row;
    write.address = v.addresses[static_cast<size_t>(row)];
    uint8_t code = v.patternCodes[static_cast<size_t>(row)];
    if (j.contains("pattern")) {
        const std::string name = j["pattern"].get<std::string>();
        const int c = name.size() > 64 ? -1 : ResolvePatternCode(name, row);
        if (c < 0) {
            text = "No pattern '" + Quoted(name) + "' for this segment: see /api/v1/patterns.";
            return 400;
        }
        code = static_cast<uint8_t>(c);
        write.code = code;
    }
    if (j.contains("level")) {
        const json& l = j["level"];
        const bool inRange = l.is_number_unsigned() ? l.get<uint64_t>() <= 200
                                                    : l.get<int64_t>() >= 0 && l.get<int64_t>() <= 200;
        const int percent = inRange ? static_cast<int>(l.get<int64_t>()) : -1;
        if (percent < 0 || SliderPositionFor(row, code, percent) < 0) {
            text = "Level " + Quoted(l.dump()) + " % is beyond this pattern's scale.";
            return 400;
        }
        write.percent = percent;
    }
    if (j.contains("on"))
        write.on = j["on"].get<bool>();
    return 0;
}

int CheckThresholdWrite(const TowerView& v, const json& volts, uint8_t& raw, std::string& text)
{
    const int r = volts.is_number() ? ThresholdRawFor(volts.get<double>()) : -1;
    if (r < 0) {
        text = "The switching threshold must be a number of volts from " + json(ThresholdMinVolts()).dump() +
               " to " + json(ThresholdMaxVolts()).dump() + ".";
        return 400;
    }
    const int status = NotInStep(v, text);
    if (status != 0)
        return status;
    if (!v.status.is_object() || !v.status.value("switchingThreshold", json()).is_object()) {
        text = "The tower has not reported its switching threshold yet.";
        return 503;
    }
    raw = static_cast<uint8_t>(r);
    return 0;
}

HttpApi::HttpApi(TowerService& service, ApiConfig config) : service_(service), config_(std::move(config))
{
    rules_.token = config_.token;
}

HttpApi::~HttpApi()
{
    Stop();
}

bool HttpApi::Bind(const std::vector<std::string>& addresses, const std::vector<std::string>& optional,
                   int port, std::string& error, std::vector<std::string>& skipped)
{
    bool beyondLoopback = false;
    for (const std::string& a : addresses) {
        auto server = std::make_unique<ApiServer>(config_.requestTimeout);
        Configure(*server, rules_);
        const std::string host = a == "localhost" ? "127.0.0.1" : a;
        int bound = -1;
        if (port == 0)
            bound = server->bind_to_any_port(host);
        else
            bound = server->bind_to_port(host, port) ? port : -1;
        if (bound <= 0) {
            if (std::find(optional.begin(), optional.end(), a) != optional.end()) {
                skipped.push_back(a);
                continue;
            }
            error = "cannot listen on " + a + " port " + std::to_string(port);
            servers_.clear();
            bound_.clear();
            return false;
        }
        port = bound;
        if (!IsLoopbackAddress(a))
            beyondLoopback = true;
        bound_.push_back(a);
        servers_.push_back(std::move(server));
    }
    if (servers_.empty()) {
        error = "no address to listen on";
        return false;
    }
    port_ = port;
    rules_.hosts = AllowedHosts(bound_, port_, config_.extraHosts);
    // A name given with --allow-host is a reverse proxy's: its requests come
    // from the network even though they arrive on loopback.
    rules_.readsNeedToken = beyondLoopback || !config_.extraHosts.empty();
    return true;
}

bool HttpApi::BindLocal(const std::string& path, bool privateSocket, std::string& error)
{
    local_ = ListenLocalSocket(path, privateSocket, error);
    if (local_.fd < 0)
        return false;
    // Who may connect is the file's permissions: no token is asked; the
    // clients name the service "localhost".
    localRules_.hosts = {"localhost"};
    auto server = std::make_unique<ApiServer>(config_.requestTimeout);
    Configure(*server, localRules_);
    server->Adopt(local_.fd);
    servers_.push_back(std::move(server));
    return true;
}

void HttpApi::Start()
{
    for (auto& s : servers_) {
        ApiServer* server = s.get();
        threads_.emplace_back([server] { server->Serve(); });
    }
}

void HttpApi::Stop()
{
    stopping_ = true;
    for (auto& s : servers_)
        s->Close();
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
    threads_.clear();
    if (!local_.path.empty())
        RemoveLocalSocketFile(local_);
    local_ = LocalSocket{};
}

void HttpApi::Await(httplib::Response& res, std::future<Answer> answer)
{
    const auto bound = service_.options().confirmTimeout + std::chrono::seconds(2);
    if (answer.wait_for(bound) != std::future_status::ready) {
        Fail(res, 504, "The tower did not confirm the write in time.");
        return;
    }
    Reply(res, answer.get());
}

void HttpApi::Configure(httplib::Server& server, const AccessRules& rules)
{
    const size_t threads = config_.threads;
    const size_t waiting = config_.waitingConnections;
    server.new_task_queue = [threads, waiting] { return new BoundedPool(threads, waiting); };
    server.set_payload_max_length(config_.maxBody);
    server.set_read_timeout(config_.readTimeout.count(), 0);
    server.set_write_timeout(config_.writeTimeout.count(), 0);
    server.set_keep_alive_timeout(config_.keepAlive.count());
    server.set_keep_alive_max_count(100);
    // Answers leave at once: without it a keep-alive client waits for the
    // delayed acknowledgement (40 ms) between two requests.
    server.set_tcp_nodelay(true);
    server.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});

    // Every request passes here first: Host and Origin, the token, the
    // content type of a write. Nothing past a refusal runs.
    server.set_pre_routing_handler([&rules](const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        if (!HostAllowed(rules, req.get_header_value("Host"))) {
            Fail(res, 403, "The Host of the request is not this service's.");
            return R::Handled;
        }
        if (!OriginAllowed(rules, req.get_header_value("Origin")) ||
            req.get_header_value("Sec-Fetch-Site") == "cross-site") {
            Fail(res, 403, "Requests from another site are refused.");
            return R::Handled;
        }
        const bool write = IsWrite(req.method);
        const bool api = req.path.rfind("/api/", 0) == 0;
        if (!rules.token.empty() && (write || (rules.readsNeedToken && api))) {
            bool ok = BearerMatches(rules.token, req.get_header_value("Authorization"));
            // An EventSource cannot send headers: the stream may carry the
            // token in its query.
            if (!ok && !write && req.path == "/api/v1/events" && req.has_param("token"))
                ok = TokenEquals(rules.token, req.get_param_value("token"));
            if (!ok) {
                res.set_header("WWW-Authenticate", "Bearer");
                Fail(res, 401, "This request needs the service's token (Authorization: Bearer TOKEN).");
                return R::Handled;
            }
        }
        if (write && !IsJsonType(req.get_header_value("Content-Type"))) {
            Fail(res, 415, "A request that changes anything must be Content-Type: application/json.");
            return R::Handled;
        }
        return R::Unhandled;
    });

    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        // The parser gives up on a request that did not arrive in time as
        // on a malformed one.
        if (tRequestCutOff) {
            Fail(res, 408, ReasonText(408));
            return;
        }
        if (res.body.empty())
            Fail(res, res.status, ReasonText(res.status));
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Fail(res, 500, "The request could not be served.");
    });

    auto page = [](const char* body, const char* type) {
        return [body, type](const httplib::Request&, httplib::Response& res) {
            res.set_header(
                "Content-Security-Policy",
                "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; "
                "form-action 'none'");
            res.set_header("X-Frame-Options", "DENY");
            res.set_header("Referrer-Policy", "no-referrer");
            res.set_content(body, type);
        };
    };
    server.Get("/", page(kPageHtml, "text/html; charset=utf-8"));
    server.Get("/app.js", page(kPageScript, "text/javascript; charset=utf-8"));
    server.Get("/app.css", page(kPageStyle, "text/css; charset=utf-8"));

    server.Get("/api/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, Answer{200, OpenApiDocument()});
    });
    server.Get("/api/v1/patterns", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, Answer{200, PatternNamesJson()});
    });
    server.Get("/api/v1/towers", [this](const httplib::Request&, httplib::Response& res) {
        Reply(res, Answer{200, service_.snapshot()->list});
    });
    server.Get(R"(/api/v1/towers/([^/]{1,64}))", [this](const httplib::Request& req, httplib::Response& res) {
        const auto snap = service_.snapshot();
        const TowerView* v = snap->Find(req.matches[1].str());
        if (v == nullptr) {
            Fail(res, 404, "No tower '" + Quoted(req.matches[1].str()) + "'.");
            return;
        }
        if (v->condition == TowerCondition::FirmwareDiffers) {
            Reply(res, Answer{200, json{{"id", v->id},
                                        {"state", ConditionName(v->condition)},
                                        {"baseController",
                                         {{"firmware",
                                           v->firmware >= 0 ? json(VersionText(v->firmware)) : json(nullptr)},
                                          {"programFirmware", VersionText(ProgramFirmwareVersion())}}}}});
            return;
        }
        std::string text;
        const int status = NotInStep(*v, text);
        if (status != 0 || !v->status.is_object()) {
            Fail(res, status != 0 ? status : 503,
                 status != 0 ? text : "The tower has not reported its whole state yet.");
            return;
        }
        Reply(res, Answer{200, v->status});
    });

    auto segmentWrite = [this](const httplib::Request& req, httplib::Response& res) {
        const auto snap = service_.snapshot();
        const std::string id = req.matches[1].str();
        const TowerView* v = snap->Find(id);
        if (v == nullptr) {
            Fail(res, 404, "No tower '" + Quoted(id) + "'.");
            return;
        }
        SegmentWrite write;
        std::string text;
        const int refused = CheckSegmentWrite(*v, req.matches[2].str(), req.body, write, text);
        if (refused != 0) {
            Fail(res, refused, text);
            return;
        }
        Await(res, service_.Write(v->id, write));
    };
    const char* segmentPath = R"(/api/v1/towers/([^/]{1,64})/segments/([^/]{1,64}))";
    server.Put(segmentPath, segmentWrite);
    server.Patch(segmentPath, segmentWrite);

    // The switching threshold, {"volts": V}: answered once the tower
    // reports it back.
    server.Put(R"(/api/v1/towers/([^/]{1,64})/threshold)",
               [this](const httplib::Request& req, httplib::Response& res) {
                   const auto snap = service_.snapshot();
                   const TowerView* v = snap->Find(req.matches[1].str());
                   if (v == nullptr) {
                       Fail(res, 404, "No tower '" + Quoted(req.matches[1].str()) + "'.");
                       return;
                   }
                   const json j = json::parse(req.body, nullptr, false);
                   if (j.is_discarded() || !j.is_object()) {
                       Fail(res, 400, "The body is not a JSON object.");
                       return;
                   }
                   for (const auto& [key, value] : j.items())
                       if (key != "volts") {
                           Fail(res, 400, "Unknown field '" + Quoted(key) + "': give volts.");
                           return;
                       }
                   uint8_t raw = 0;
                   std::string text;
                   const int refused = CheckThresholdWrite(*v, j.value("volts", json()), raw, text);
                   if (refused != 0) {
                       Fail(res, refused, text);
                       return;
                   }
                   Await(res, service_.SetThreshold(v->id, raw));
               });

    // The firmware update with the installed file: answered at once, its
    // progress and outcome on the event stream. The body is empty or {}.
    server.Post(
        R"(/api/v1/towers/([^/]{1,64})/update)", [this](const httplib::Request& req, httplib::Response& res) {
            if (!req.body.empty()) {
                const json j = json::parse(req.body, nullptr, false);
                if (j.is_discarded() || !j.is_object()) {
                    Fail(res, 400, "The body is not a JSON object.");
                    return;
                }
                if (!j.empty()) {
                    Fail(res, 400, "Unknown field '" + Quoted(j.begin().key()) + "': an update takes none.");
                    return;
                }
            }
            Reply(res, service_.StartUpdate(req.matches[1].str()));
        });

    server.Get("/api/v1/events", [this](const httplib::Request&, httplib::Response& res) {
        if (eventStreams_.fetch_add(1) >= config_.maxEventStreams) {
            eventStreams_.fetch_sub(1);
            Fail(res, 409, "Too many event streams are open.");
            return;
        }
        // The stream starts with the towers as they are, then every event
        // from the moment the snapshot was taken (an event may come twice,
        // none is missed).
        auto cursor = std::make_shared<uint64_t>(service_.events().next());
        const auto snap = service_.snapshot();
        auto first = std::make_shared<std::vector<std::string>>();
        first->push_back(json{{"event", "towers"}, {"list", snap->list}}.dump(
            -1, ' ', false, json::error_handler_t::replace));
        for (const TowerView& t : snap->towers)
            if (t.status.is_object())
                first->push_back(json{{"event", "state"}, {"tower", t.id}, {"status", t.status}}.dump(
                    -1, ' ', false, json::error_handler_t::replace));
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor, first, lastWrite = std::chrono::steady_clock::now()](
                size_t, httplib::DataSink& sink) mutable {
                std::vector<std::string> events;
                events.swap(*first);
                if (events.empty()) {
                    if (stopping_)
                        return false;
                    if (!service_.events().Read(*cursor, events, std::chrono::milliseconds(250)))
                        return false;
                    if (stopping_)
                        return false;
                }
                std::string chunk;
                for (const std::string& e : events)
                    chunk += "data: " + e + "\n\n";
                const auto now = std::chrono::steady_clock::now();
                if (chunk.empty() && now - lastWrite >= config_.heartbeat)
                    chunk = ":\n\n";
                if (chunk.empty())
                    return true;
                lastWrite = now;
                return sink.write(chunk.data(), chunk.size());
            },
            [this](bool) { eventStreams_.fetch_sub(1); });
    });
}

}  // namespace kv::service
