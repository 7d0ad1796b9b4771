#include "cli/service_client.h"

#include <httplib.h>
#include <unistd.h>

#include <cctype>
#include <cmath>

#include "platform/clock.h"
#include "platform/local_socket.h"
#include "session/tower_names.h"
#include "session/tower_report.h"
#include "sync/send_path.h"

namespace kv::cli {

using nlohmann::json;

namespace {

constexpr uint32_t kPollMs = 100;

// The API's client on a Unix-domain socket instead of a TCP address.
class LocalClient : public httplib::ClientImpl {
public:
    explicit LocalClient(std::string path) : httplib::ClientImpl("localhost", 80), path_(std::move(path)) {}

protected:
    bool create_and_connect_socket(Socket& socket, httplib::Error& error) override
    {
        LocalReach reach = LocalReach::Nobody;
        const int fd = ConnectLocalSocket(path_, reach);
        if (fd < 0) {
            error = httplib::Error::Connection;
            return false;
        }
        socket.sock = fd;
        return true;
    }

private:
    std::string path_;
};

std::string Str(const json& j, const char* key)
{
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

// The service's entry of a tower without what only the service adds.
json WithoutServiceFields(json j)
{
    if (j.is_object()) {
        j.erase("id");
        j.erase("state");
    }
    return j;
}

}  // namespace

std::string FindServiceSocket(const std::string& given)
{
    const std::vector<std::string> candidates =
        given.empty() ? ServiceSocketCandidates() : std::vector<std::string>{given};
    for (const std::string& path : candidates) {
        LocalReach reach = LocalReach::Nobody;
        const int fd = ConnectLocalSocket(path, reach);
        if (fd >= 0) {
            close(fd);
            return path;
        }
    }
    return {};
}

ServiceTransport SocketTransport(const std::string& path, uint64_t timeoutMs)
{
    return [path, timeoutMs](const std::string& method, const std::string& target, const std::string& body) {
        LocalClient client(path);
        const auto bound = std::chrono::milliseconds(timeoutMs);
        client.set_read_timeout(bound);
        client.set_write_timeout(bound);
        httplib::Request req;
        req.method = method;
        req.path = target;
        req.headers = {{"Host", "localhost"}, {"Accept", "application/json"}};
        if (!body.empty()) {
            req.headers.emplace("Content-Type", "application/json");
            req.body = body;
        }
        const httplib::Result res = client.send(req);
        ServiceReply r;
        if (!res)
            return r;
        r.status = res->status;
        r.body = json::parse(res->body, nullptr, false);
        if (r.body.is_discarded())
            r.body = nullptr;
        return r;
    };
}

ServiceCommands::ServiceCommands(const Request& request, ServiceTransport transport, std::string where)
    : opts_(request), transport_(std::move(transport)), where_(std::move(where))
{}

ServiceReply ServiceCommands::Call(const std::string& method, const std::string& target,
                                   const std::string& body)
{
    return transport_(method, target, body);
}

Answer ServiceCommands::Run()
{
    // The answers are read as the API gives them; one of another shape
    // ends the command, not the program.
    try {
        return RunChecked();
    } catch (const json::exception&) {
        return Fail(kExitFailed,
                    "The service kestrivaned at " + where_ + " gave an answer this program cannot read.");
    }
}

Answer ServiceCommands::RunChecked()
{
    if (opts_.command == Command::List)
        return List();
    json entry;
    Answer a = FindTower(entry);
    if (a.code != kExitOk)
        return a;
    const std::string id = Str(entry, "id");
    json status;
    a = TowerStatus(id, opts_.command == Command::Status, status);
    if (a.code != kExitOk)
        return a;
    if (opts_.command == Command::Status) {
        a.data = WithoutServiceFields(status);
        a.text = StatusText(a.data);
        return a;
    }
    return Write(id, status);
}

Answer ServiceCommands::List()
{
    const ServiceReply r = Call("GET", "/api/v1/towers");
    if (r.status != 200 || !r.body.is_object())
        return Refused(r);
    // A tower the service lost is not attached: the list leaves it out,
    // as it does when it looks itself.
    std::vector<ListedDevice> devices;
    for (const json& c : r.body.value("baseControllers", json::array())) {
        if (!c.is_object() || Str(c, "state") == "lost")
            continue;
        ListedDevice d;
        d.path = Str(c, "path");
        d.serialNumber = Str(c, "serialNumber");
        d.accessible = c.value("accessible", false);
        d.heldBy = Str(c, "heldBy");
        const std::string firmware = Str(c, "firmware");
        const size_t dot = firmware.find('.');
        if (dot == 1 && firmware.size() == 3 && std::isdigit(static_cast<unsigned char>(firmware[0])) &&
            std::isdigit(static_cast<unsigned char>(firmware[2])))
            d.firmware = (firmware[0] - '0') * 10 + (firmware[2] - '0');
        devices.push_back(d);
    }
    for (const json& b : r.body.value("bootloaders", json::array())) {
        ListedDevice d;
        d.bootloader = true;
        d.path = Str(b, "path");
        devices.push_back(d);
    }
    return ListAnswer(devices);
}

Answer ServiceCommands::FindTower(json& entry)
{
    const uint64_t until = NowMs() + static_cast<uint64_t>(std::llround(opts_.wait * 1000.0));
    for (;;) {
        const ServiceReply r = Call("GET", "/api/v1/towers");
        if (r.status != 200 || !r.body.is_object())
            return Refused(r);
        for (const json& c : r.body.value("baseControllers", json::array())) {
            if (!c.is_object() || Str(c, "state") == "lost")
                continue;
            const std::string& d = opts_.device;
            if (!d.empty() && d != Str(c, "id") && d != Str(c, "path") && d != Str(c, "serialNumber"))
                continue;
            entry = c;
            if (Str(c, "state") == "held")
                return Fail(kExitNoTower, HeldTowerText(Str(c, "heldBy")));
            if (Str(c, "state") == "inaccessible")
                return Fail(kExitNoTower, kNoTowerText);
            return Answer{};
        }
        if (NowMs() >= until)
            return NoSuchTower(opts_.device);
        SleepMs(kPollMs);
    }
}

std::string ServiceCommands::StateOf(const std::string& id)
{
    const ServiceReply r = Call("GET", "/api/v1/towers");
    if (r.status == 200 && r.body.is_object())
        for (const json& c : r.body.value("baseControllers", json::array()))
            if (Str(c, "id") == id)
                return Str(c, "state");
    return {};
}

Answer ServiceCommands::TowerStatus(const std::string& id, bool threshold, json& status)
{
    const uint64_t until = NowMs() + static_cast<uint64_t>(std::llround(opts_.timeout * 1000.0));
    for (;;) {
        const ServiceReply r = Call("GET", "/api/v1/towers/" + id);
        const std::string state = Str(r.body, "state");
        if (r.status == 200 && state == "firmwareDiffers") {
            const json& base = r.body.value("baseController", json::object());
            const std::string firmware = Str(base, "firmware");
            return Fail(kExitFirmwareMismatch, MismatchText(firmware.empty() ? "n/a" : firmware));
        }
        const bool inStep = r.status == 200 && r.body.is_object();
        // As the command waits for the tower itself: its whole state, and
        // for status the switching threshold, within the timeout.
        if (inStep && (!threshold || !r.body.value("switchingThreshold", json()).is_null())) {
            status = r.body;
            return Answer{};
        }
        const bool connecting = r.status == 503 && StateOf(id) == "connecting";
        if (!inStep && !connecting)
            return Refused(r);
        if (NowMs() >= until) {
            if (inStep) {
                status = r.body;
                return Answer{};
            }
            return Fail(kExitNotConfirmed, kNoStateInTimeText);
        }
        SleepMs(kPollMs);
    }
}

Answer ServiceCommands::Write(const std::string& id, const json& status)
{
    // The segment and the pattern are resolved against the tower as the
    // service shows it, with the texts the command gives itself.
    DeviceState shown;
    const json& segments = status.value("segments", json::array());
    for (size_t i = 0; i < segments.size() && i < static_cast<size_t>(kColourRows); ++i)
        shown.segmentAddress[i] = static_cast<uint8_t>(segments[i].value("address", 0) & 0xFF);
    shown.segmentAddress[kSoundRow] =
        static_cast<uint8_t>(status.value("sound", json::object()).value("address", 0) & 0xFF);
    const int row = ResolveSegment(opts_.segment, shown);
    if (row < 0)
        return NoSegment(opts_.segment);
    const json& seg = row == kSoundRow
                          ? status.value("sound", json::object())
                          : (static_cast<size_t>(row) < segments.size() ? segments[static_cast<size_t>(row)]
                                                                        : json::object());
    if (!seg.value("present", false))
        return SegmentMissing(row);

    json body;
    int code = -1;
    if (opts_.command == Command::Set) {
        PatternTables shipped;
        FillShippedPatterns(shipped);
        code = ResolvePattern(opts_.pattern, row, shipped);
        if (code < 0)
            return NoPattern(opts_.pattern);
        body["pattern"] = PatternName(row, static_cast<uint8_t>(code));
        if (!opts_.level.empty()) {
            Answer a;
            if (LevelPosition(opts_.level, row, static_cast<uint8_t>(code), shipped, a) < 0)
                return a;
            std::string digits;
            for (char ch : opts_.level)
                if (std::isdigit(static_cast<unsigned char>(ch)))
                    digits.push_back(ch);
            body["level"] = std::stoi(digits);
        }
    } else {
        body["on"] = opts_.command == Command::On;
    }
    const std::string where = row == kSoundRow ? std::string("sound") : std::to_string(row + 1);
    const ServiceReply r = Call("PUT", "/api/v1/towers/" + id + "/segments/" + where, body.dump());
    if (r.status == 504)
        return Fail(kExitNotConfirmed,
                    opts_.command == Command::Set ? kSetNotConfirmedText : kSwitchNotTakenText);
    const json& took = r.body.is_object() ? r.body.value("segment", json()) : json();
    if (r.status != 200 || !took.is_object())
        return Refused(r);
    Answer a;
    if (opts_.command == Command::Set) {
        a.data = SetData(row, took.value("pattern", std::string()), took.value("patternCode", code),
                         took.value("levelRaw", 0));
        a.text = "Set.\n";
    } else {
        const bool on = opts_.command == Command::On;
        a.data = SwitchData(row, on);
        a.text = on ? "On.\n" : "Off.\n";
    }
    return a;
}

Answer ServiceCommands::Refused(const ServiceReply& r) const
{
    const std::string text = Str(r.body, "error");
    switch (r.status) {
    case 0:
        return Fail(kExitNoTower, "The service kestrivaned at " + where_ + " did not answer in time.");
    case 400:
        return Fail(kExitUsage, text);
    case 404:
        return text.rfind("No tower", 0) == 0 ? NoSuchTower(opts_.device) : Fail(kExitFailed, text);
    case 502:
        return Fail(kExitNotConfirmed, kSendFailedText);
    case 503:
        return Fail(kExitNoTower,
                    text.find("lost") != std::string::npos ? std::string(kTowerLostText) : text);
    default:
        return Fail(kExitFailed, text.empty() ? "The service kestrivaned refused the request (HTTP " +
                                                    std::to_string(r.status) + ")."
                                              : text);
    }
}

}  // namespace kv::cli
