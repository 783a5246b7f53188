// brenvale-run: loads a configuration file's jobs without a window, for schedulers.
#include "cli/cli_runner.h"

#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A closed output (brenvale-run ... | head) stops the printing, not the load.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    brenvale::CliEnvironment environment;
    environment.progressTerminal = ::isatty(STDERR_FILENO) == 1;
    return brenvale::RunCli(args, std::cout, std::cerr, environment);
}
