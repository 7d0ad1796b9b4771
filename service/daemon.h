// kestrivaned as a library: the command line, the token, the listening
// sockets, until SIGINT or SIGTERM. main() only calls it, so the demo and
// the product share it and differ only in what they are linked with.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kv::service {

// Exit codes.
enum DaemonExit : int {
    kDaemonOk = 0,
    kDaemonFailed = 1,  // the token or the sockets could not be set up
    kDaemonUsage = 2,   // the command line is wrong or unsafe
};

// Runs the service (args[0] is the program name). SIGINT and SIGTERM must be
// blocked in every thread before it is called; it waits for them.
int RunDaemon(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal);

}  // namespace kv::service
