#include "service/daemon.h"

#include <csignal>
#include <cstdlib>
#include <memory>
#include <ostream>

#include <CLI/CLI.hpp>

#include "device/version.h"
#include "platform/local_socket.h"
#include "platform/service_notify.h"
#include "service/access.h"
#include "service/http_api.h"
#include "service/mqtt_bridge.h"
#include "service/tower_service.h"

namespace kv::service {

namespace {

constexpr const char* kName = "kestrivaned";

std::string UrlHost(const std::string& address, int port)
{
    const std::string a = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return a + ":" + std::to_string(port);
}

}  // namespace

int RunDaemon(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal)
{
    CLI::App app;
    app.name(kName);
    app.description("Holds Nelo signal towers for many clients: an HTTP API, live events and a page.");
    app.set_version_flag("--version", std::string(kName) + " " + kProgramVersionText);
    std::vector<std::string> listen;
    int port = kDefaultPort;
    std::string stateDir;
    bool noToken = false;
    std::vector<std::string> allowHosts;
    std::vector<std::string> devices;
    double timeout = 5.0;
    std::string socketPath;
    app.add_option("--listen", listen, "address to listen on (repeatable; default 127.0.0.1 and ::1)")
        ->type_name("ADDRESS");
    app.add_option("--port", port, "port (default 8742; 0: any free one)")->check(CLI::Range(0, 65535));
    app.add_option("--state-dir", stateDir, "folder of the token (default $XDG_STATE_HOME/kestrivane)")
        ->type_name("DIR");
    app.add_flag("--no-token", noToken, "ask no token of writes (loopback only)");
    app.add_option("--allow-host", allowHosts, "another name the Host header may carry (a reverse proxy's)")
        ->type_name("NAME");
    app.add_option("--socket", socketPath,
                   "the local socket for kestrivane-cli (default $XDG_RUNTIME_DIR/kestrivaned/api.sock, "
                   "for root /run/kestrivaned/api.sock)")
        ->type_name("PATH");
    app.add_option("--device", devices, "hold only the tower at this path (repeatable; default all)")
        ->type_name("PATH");
    app.add_option("--timeout", timeout, "bound of a write's wait for the tower, in seconds (default 5)")
        ->check(CLI::Range(0.1, 600.0));
    MqttArguments mqttArgs;
    AddMqttOptions(app, mqttArgs);

    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy)
        argv.push_back(a.data());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, out, err);
        return kDaemonOk;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e, out, err);
        return kDaemonOk;
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        return kDaemonUsage;
    }

    std::vector<std::string> optional;
    if (listen.empty()) {
        listen = {"127.0.0.1", "::1"};
        // A machine without IPv6 still gets the service on 127.0.0.1.
        optional = {"::1"};
    }
    bool beyondLoopback = false;
    for (const std::string& a : listen) {
        if (!IsListenAddress(a)) {
            err << kName << ": --listen takes a numeric address, not '" << a << "'.\n";
            return kDaemonUsage;
        }
        if (!IsLoopbackAddress(a))
            beyondLoopback = true;
    }
    if (beyondLoopback && noToken) {
        err << kName << ": listening beyond loopback needs the token: leave out --no-token.\n";
        return kDaemonUsage;
    }
    // A reverse proxy's name brings the network in on loopback.
    if (!allowHosts.empty() && noToken) {
        err << kName << ": --allow-host lets a reverse proxy in and needs the token: leave out --no-token.\n";
        return kDaemonUsage;
    }

    MqttConfig mqtt;
    bool mqttEnabled = false;
    std::string mqttError;
    if (!MakeMqttConfig(mqttArgs, mqtt, mqttEnabled, mqttError)) {
        err << kName << ": " << mqttError << "\n";
        return kDaemonUsage;
    }

    ApiConfig config;
    config.extraHosts = allowHosts;
    std::string tokenPath;
    if (!noToken) {
        if (stateDir.empty())
            stateDir = DefaultStateDir();
        const TokenFile token = LoadOrMakeToken(stateDir);
        if (!token.ok) {
            err << kName << ": no token: " << token.error << "\n";
            return kDaemonFailed;
        }
        config.token = token.token;
        tokenPath = token.path;
        if (token.created)
            out << kName << ": made a new token in " << token.path << "\n";
    }

    ServiceOptions options;
    options.devices = devices;
    options.notifyServiceManager = true;
    options.confirmTimeout = std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000.0));
    TowerService service(options);
    HttpApi api(service, config);
    std::string error;
    std::vector<std::string> skipped;
    if (!api.Bind(listen, optional, port, error, skipped)) {
        err << kName << ": " << error << "\n";
        return kDaemonFailed;
    }
    for (const std::string& s : skipped)
        err << kName << ": not listening on " << s << " (it cannot be bound here)\n";
    // The local socket: one given must be there; the default one may not
    // be possible here (no runtime folder of ours), which is said.
    const bool socketGiven = !socketPath.empty() || std::getenv("KESTRIVANE_SOCKET") != nullptr;
    if (socketPath.empty())
        socketPath = DefaultServiceSocket();
    if (!api.BindLocal(socketPath, IsPrivateSocketPath(socketPath), error)) {
        err << kName << ": no local socket: " << error << "\n";
        if (socketGiven)
            return kDaemonFailed;
    }

    // The broker client is set up before anything runs: a refused one
    // (an unreadable CA file) stops the start.
    std::unique_ptr<MqttBridge> bridge;
    if (mqttEnabled) {
        bridge = std::make_unique<MqttBridge>(service, mqtt, err);
        if (!bridge->Start(error)) {
            err << kName << ": " << error << "\n";
            return kDaemonFailed;
        }
        out << kName << ": publishing to " << mqtt.Url() << " as " << mqtt.name << "\n";
    }
    service.Start();
    api.Start();
    for (const std::string& a : api.addresses())
        out << kName << ": listening on http://" << UrlHost(a, api.port()) << "/\n";
    if (!api.localPath().empty())
        out << kName << ": listening on " << api.localPath() << "\n";
    const std::string page = "http://" + UrlHost(api.addresses().front(), api.port()) + "/";
    // The token goes only to a terminal, never into a log.
    if (config.token.empty())
        out << kName << ": the page: " << page << "\n";
    else if (outIsTerminal)
        out << kName << ": the page: " << page << "#token=" << config.token << "\n";
    else
        out << kName << ": the page: " << page << "#token=TOKEN, TOKEN from " << tokenPath << "\n";
    out << std::flush;

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    int signal = 0;
    sigwait(&stopSignals, &signal);

    out << kName << ": stopping\n" << std::flush;
    if (bridge)
        bridge->Stop();
    NotifyStopping();
    api.Stop();
    service.Stop();
    return kDaemonOk;
}

}  // namespace kv::service
