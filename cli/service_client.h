// kestrivane-cli's one-shot commands carried out by a running kestrivaned
// over its local socket, so that what they set stays while the service runs
// and a status read does not open the tower under it. Each command becomes
// its request to the service's API, and each answer is printed exactly as
// the command prints it when it opens the tower itself, with the same exit
// code.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/command_line.h"
#include "cli/commands.h"

namespace kv::cli {

// An answer of the service: its HTTP status and JSON body; status 0 when it
// did not answer in time (or the connection broke).
struct ServiceReply {
    int status = 0;
    nlohmann::json body;
};

// One request to the service: method, target, body (empty: none).
using ServiceTransport = std::function<ServiceReply(const std::string& method, const std::string& target,
                                                    const std::string& body)>;

// The service's socket that accepts a connection: the one given (--socket,
// else $KESTRIVANE_SOCKET), else the user's and then the system's. Empty
// when none does: the command then opens the tower itself.
std::string FindServiceSocket(const std::string& given);

// Beyond --timeout, the time the service may take to answer: its own bound
// of a write is its --timeout and two seconds.
constexpr uint64_t kServiceAnswerMarginMs = 2000;

// HTTP over the socket at `path`; every answer is waited for at most
// `timeoutMs`.
ServiceTransport SocketTransport(const std::string& path, uint64_t timeoutMs);

// The one-shot commands over a service.
class ServiceCommands {
public:
    ServiceCommands(const Request& request, ServiceTransport transport, std::string where);

    // list, status, set, on or off, as Execute runs them on a tower.
    Answer Run();

private:
    Answer RunChecked();
    Answer List();
    // The tower --device names (or the first), as the service lists it,
    // waiting up to --wait for it.
    Answer FindTower(nlohmann::json& entry);
    // The tower's status once the service has it in step (with the
    // switching threshold when `threshold`).
    Answer TowerStatus(const std::string& id, bool threshold, nlohmann::json& status);
    Answer Write(const std::string& id, const nlohmann::json& status);
    // The tower's state as the service lists it ("online", "connecting", ...).
    std::string StateOf(const std::string& id);
    // A refusal or failure of the service as the command's own.
    Answer Refused(const ServiceReply& r) const;
    ServiceReply Call(const std::string& method, const std::string& target, const std::string& body = {});

    Request opts_;
    ServiceTransport transport_;
    std::string where_;
};

}  // namespace kv::cli
