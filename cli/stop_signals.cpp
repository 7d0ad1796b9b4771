#include "cli/stop_signals.h"

#include <csignal>

namespace kv::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

}  // namespace

void InstallStopHandlers()
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    // The reader of the output went away: leave as on a stop, not killed
    // with the link still open.
    std::signal(SIGPIPE, OnStopSignal);
}

bool StopRequested() { return g_stop != 0; }
void RequestStop() { g_stop = 1; }
void ClearStop() { g_stop = 0; }

}  // namespace kv::cli
