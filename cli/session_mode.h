// kestrivane-cli's session mode: one connection held while commands arrive
// line by line on standard input, each answered, and every change of the
// tower's state printed as a JSON line.
#pragma once

#include "cli/commands.h"

namespace kv::cli {

// Runs the session until the end of input, a stop or the tower's loss; the
// exit code.
int RunSession(Runner& runner, CliIo& io);

}  // namespace kv::cli
