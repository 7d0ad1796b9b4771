// kestrivane-cli: the tower from scripts, on the same core as the window.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/stdin_lines.h"
#include "cli/stop_signals.h"

int main(int argc, char** argv)
{
    kv::cli::InstallStopHandlers();
    kv::cli::FdLineSource in(STDIN_FILENO);
    kv::cli::CliIo io{std::cout, std::cerr, in, isatty(STDOUT_FILENO) == 1, isatty(STDIN_FILENO) == 1};
    std::vector<std::string> args(argv, argv + argc);
    return kv::cli::RunCli(args, io);
}
