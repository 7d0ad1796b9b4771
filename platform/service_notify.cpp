#include "platform/service_notify.h"

#if defined(KV_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace kv {

#if defined(KV_HAVE_SYSTEMD)

void NotifyReady() { sd_notify(0, "READY=1"); }
void NotifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }
void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

void NotifyWatchdogPeriod(uint64_t ms)
{
    sd_notifyf(0, "WATCHDOG_USEC=%llu\nWATCHDOG=1", static_cast<unsigned long long>(ms) * 1000ULL);
}

uint64_t WatchdogPeriodMs()
{
    uint64_t us = 0;
    return sd_watchdog_enabled(0, &us) > 0 ? us / 1000 : 0;
}

#else

void NotifyReady() {}
void NotifyWatchdog() {}
void NotifyStopping() {}
void NotifyWatchdogPeriod(uint64_t) {}
uint64_t WatchdogPeriodMs() { return 0; }

#endif

}  // namespace kv
