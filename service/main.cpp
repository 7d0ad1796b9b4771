// kestrivaned: the towers held for many clients over HTTP.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "service/daemon.h"

int main(int argc, char** argv)
{
    // Every thread started from here on leaves the stop signals to the
    // main thread's sigwait; a client gone mid-answer is no signal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv, argv + argc);
    return kv::service::RunDaemon(args, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
}
