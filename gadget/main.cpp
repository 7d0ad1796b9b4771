// kestrivane-tower-gadget: the Nelo tower (Base Controller and boot loader)
// as a USB gadget, for the test guest. Runs as root inside the guest.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gadget/tower_gadget.h"

namespace {

volatile int g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void Usage()
{
    std::fprintf(stderr,
                 "usage: kestrivane-tower-gadget [--udc NAME] [--decoy-udc NAME] [--decoy-product ID]\n"
                 "       [--run-dir DIR] [--configfs DIR] [--owner UID:GID] [--report-interval-us N]\n"
                 "       [--appear-ms N] [--return-ms N] [--command LINE]...\n");
}

bool Number(const char* text, unsigned long long max, unsigned long long* value)
{
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    kv::gadget::TowerGadgetOptions options;
    std::vector<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long n = 0;
        if (value == nullptr) {
            Usage();
            return 2;
        }
        ++i;
        if (arg == "--udc") {
            options.udc = value;
        } else if (arg == "--decoy-udc") {
            options.decoyUdc = value;
        } else if (arg == "--decoy-product" && Number(value, 0xFFFF, &n)) {
            options.decoyProductId = static_cast<uint16_t>(n);
        } else if (arg == "--run-dir") {
            options.runDir = value;
        } else if (arg == "--configfs") {
            options.configfsRoot = value;
        } else if (arg == "--owner") {
            unsigned uid = 0;
            unsigned gid = 0;
            if (std::sscanf(value, "%u:%u", &uid, &gid) != 2) {
                Usage();
                return 2;
            }
            options.controlUid = static_cast<int>(uid);
            options.controlGid = static_cast<int>(gid);
        } else if (arg == "--report-interval-us" && Number(value, 1000000, &n) && n > 0) {
            options.controller.reportIntervalUs = n;
        } else if (arg == "--appear-ms" && Number(value, 60000, &n)) {
            options.bootloader.appearDelayUs = n * 1000;
        } else if (arg == "--return-ms" && Number(value, 60000, &n)) {
            options.bootloader.returnDelayUs = n * 1000;
        } else if (arg == "--command") {
            commands.push_back(value);
        } else {
            Usage();
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    kv::gadget::TowerGadget gadget(options);
    if (gadget.Start() != 0)
        return 1;
    for (const std::string& c : commands)
        if (!gadget.Command(c))
            return 2;
    const int rc = gadget.Run(&g_stop);
    gadget.Shutdown();
    return rc == 0 ? 0 : 1;
}
