// brenvale-report: audience and royalty figures from loaded log tables.
#include "cli/report_cli.h"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A closed output (brenvale-report ... | head) ends the printing quietly.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return brenvale::RunReportCli(args, std::cout, std::cerr);
}
