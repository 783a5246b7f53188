// brenvale-report: audience and royalty figures from loaded log tables, on the console.
#pragma once

#include "report/periods.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace brenvale {

/// Exit codes of brenvale-report.
enum ReportExitCode : int {
    kReportSuccess = 0,
    kReportInternal = 1, ///< an unexpected failure inside the program
    kReportUsage = 2,    ///< the command line is wrong
    kReportConfig = 3,   ///< the configuration file is missing, unreadable or has no tables
    kReportDsn = 4,      ///< no data source named, or it did not open
    kReportTable = 5,    ///< a table is missing or its rows cannot be read
    kReportSetup = 6,    ///< the time zone, the agent patterns or the location database
    kReportOutput = 9,   ///< an output file could not be written
};

/// The command line of brenvale-report.
struct ReportArguments {
    std::string configPath;
    std::string dsn;                 ///< empty: the configuration's
    std::vector<std::string> tables; ///< empty: the configuration's jobs' tables
    std::string from;
    std::string to;
    report::PeriodUnit unit = report::PeriodUnit::Day;
    bool utc = false;
    std::string timeZone; ///< empty: the configuration's, else the machine's
    std::int64_t minSeconds = 0;
    std::string excludeAgents;
    bool countries = false;
    std::string geoip;
    std::string country;
    bool translated = false; ///< or the configuration's TranslateASCIICodes
    std::string csv, titles, json, soundExchange, service, streamingLog;
    std::string category = "A";
    bool quiet = false;
    bool help = false;
    bool version = false;
};

/// Reads `args` (without the program name); false with `error` set when they are not usable.
bool ParseReportArguments(const std::vector<std::string>& args, ReportArguments& parsed,
                          std::string& error);

/// The usage text, made from the same table the parser reads.
std::string ReportUsage();

/// Runs brenvale-report: the table to `out`, messages to `err`. Returns the exit code; never
/// throws.
int RunReportCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace brenvale
