// What a service tells its service manager (systemd's sd_notify): that it is
// ready, that it is alive (the watchdog), that it stops. Without a service
// manager, or built without libsystemd, every call does nothing.
#pragma once

#include <cstdint>

namespace kv {

// READY=1: the service serves now.
void NotifyReady();
// WATCHDOG=1: the service is alive; sent every quarter of the watchdog period.
void NotifyWatchdog();
// WATCHDOG_USEC=: the watchdog waits this long for the next beat from now
// on (a long piece of work on the thread that feeds it), and a beat.
void NotifyWatchdogPeriod(uint64_t ms);
// STOPPING=1.
void NotifyStopping();
// The watchdog period the service manager asks for, in milliseconds; 0 when
// it asks for none.
uint64_t WatchdogPeriodMs();

}  // namespace kv
