// Ctrl-C, SIGTERM and SIGPIPE for kestrivane-cli: the handlers only set a
// flag, which every wait of the session asks.
#pragma once

namespace kv::cli {

void InstallStopHandlers();
bool StopRequested();
void RequestStop();
void ClearStop();

}  // namespace kv::cli
