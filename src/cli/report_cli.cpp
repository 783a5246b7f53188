// brenvale-report: audience and royalty figures from loaded log tables, on the console.
#include "cli/report_cli.h"

#include "config/config_file.h"
#include "core/version.h"
#include "data/log_rows.h"
#include "data/odbc.h"
#include "report/location.h"
#include "report/report_writers.h"
#include "report/row_source.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

namespace brenvale {

namespace {

constexpr const char* kProgram = "brenvale-report";

using Setter = std::function<bool(ReportArguments&, const std::string& value, std::string& error)>;

/// One option: its name, the name of its value (none for a switch), its help and what it sets.
struct OptionSpec {
    const char* name;
    const char* value;
    const char* help;
    Setter set;
};

Setter Text(std::string ReportArguments::*field) {
    return [field](ReportArguments& a, const std::string& value, std::string&) {
        a.*field = value;
        return true;
    };
}

Setter Flag(bool ReportArguments::*field) {
    return [field](ReportArguments& a, const std::string&, std::string&) {
        a.*field = true;
        return true;
    };
}

bool SetUnit(ReportArguments& a, const std::string& value, std::string& error) {
    if (report::ParsePeriodUnit(value, a.unit))
        return true;
    error = "The option --by needs hour, day, week or month, not '" + value + "'.";
    return false;
}

bool SetMinSeconds(ReportArguments& a, const std::string& value, std::string& error) {
    if (!value.empty() && value.size() <= 9 &&
        value.find_first_not_of("0123456789") == std::string::npos) {
        a.minSeconds = std::stoll(value);
        return true;
    }
    error = "The option --min-seconds needs a whole number of seconds, not '" + value + "'.";
    return false;
}

bool SetCountry(ReportArguments& a, const std::string& value, std::string& error) {
    if (value.size() != 2 || !std::isalpha(static_cast<unsigned char>(value[0])) ||
        !std::isalpha(static_cast<unsigned char>(value[1]))) {
        error =
            "The option --country needs a two-letter country code such as US, not '" + value + "'.";
        return false;
    }
    a.country = value;
    std::transform(a.country.begin(), a.country.end(), a.country.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return true;
}

const std::vector<OptionSpec>& Options() {
    static const std::vector<OptionSpec> options = {
        {"dsn", "NAME", "the data source (default: the configuration's DSN)",
         Text(&ReportArguments::dsn)},
        {"table", "TABLE", "a table to report on; may be repeated (default: the jobs' tables)",
         [](ReportArguments& a, const std::string& v, std::string&) {
             a.tables.push_back(v);
             return true;
         }},
        {"from", "YYYY-MM-DD", "the first day of the range", Text(&ReportArguments::from)},
        {"to", "YYYY-MM-DD", "the day after the range (exclusive)", Text(&ReportArguments::to)},
        {"by", "UNIT", "hour, day (the default), week (from Monday) or month", SetUnit},
        {"utc", nullptr, "periods and dates in UTC instead of station time",
         Flag(&ReportArguments::utc)},
        {"time-zone", "ZONE", "the station's IANA zone (default: <TimeZone>, else the machine's)",
         Text(&ReportArguments::timeZone)},
        {"min-seconds", "N", "count only segments of at least N seconds (default 0)",
         SetMinSeconds},
        {"exclude-agents", "FILE", "more user-agent patterns of relays and bots, one a line",
         Text(&ReportArguments::excludeAgents)},
        {"countries", nullptr, "listeners' countries from Debian's IP location database",
         Flag(&ReportArguments::countries)},
        {"geoip", "FILE.mmdb", "countries from a MaxMind-format database instead",
         Text(&ReportArguments::geoip)},
        {"country", "CC", "count only listeners in this country (implies --countries)", SetCountry},
        {"translated", nullptr, "the rows were loaded with hex translation on",
         Flag(&ReportArguments::translated)},
        {"csv", "FILE", "the periods as CSV", Text(&ReportArguments::csv)},
        {"titles", "FILE", "performances and hours per title as CSV",
         Text(&ReportArguments::titles)},
        {"json", "FILE", "everything as JSON", Text(&ReportArguments::json)},
        {"soundexchange", "FILE", "SoundExchange's census Report of Use (needs --service)",
         Text(&ReportArguments::soundExchange)},
        {"service", "NAME", "the name of the service for the Report of Use",
         Text(&ReportArguments::service)},
        {"category", "C", "its transmission category (default A)",
         Text(&ReportArguments::category)},
        {"streaming-log", "FILE", "public radio's tab-delimited streaming log",
         Text(&ReportArguments::streamingLog)},
        {"quiet", nullptr, "no table on the terminal", Flag(&ReportArguments::quiet)},
        {"help", nullptr, "this text", Flag(&ReportArguments::help)},
        {"version", nullptr, "the program's version", Flag(&ReportArguments::version)},
    };
    return options;
}

/// Reads one "--name", "--name=value" or "--name value" at `args[i]`, moving `i` past it.
bool ParseOption(const std::vector<std::string>& args, std::size_t& i, ReportArguments& parsed,
                 std::string& error) {
    const std::string& word = args[i];
    const std::size_t equals = word.find('=');
    const std::string name =
        word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    for (const OptionSpec& option : Options()) {
        if (name != option.name)
            continue;
        if (option.value == nullptr) {
            if (equals != std::string::npos) {
                error = "The option --" + name + " takes no value.";
                return false;
            }
            return option.set(parsed, {}, error);
        }
        std::string value;
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = "The option --" + name + " needs a value (" + option.value + ").";
            return false;
        }
        if (value.empty()) {
            error = "The option --" + name + " needs a value (" + option.value + ").";
            return false;
        }
        return option.set(parsed, value, error);
    }
    error = "Unknown option '" + word + "'.";
    return false;
}

} // namespace

bool ParseReportArguments(const std::vector<std::string>& args, ReportArguments& parsed,
                          std::string& error) {
    parsed = {};
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h") {
            parsed.help = true;
        } else if (args[i].size() > 2 && args[i].compare(0, 2, "--") == 0) {
            if (!ParseOption(args, i, parsed, error))
                return false;
        } else if (!parsed.configPath.empty()) {
            error = "Only one configuration file can be given ('" + parsed.configPath + "' and '" +
                    args[i] + "').";
            return false;
        } else {
            parsed.configPath = args[i];
        }
    }
    if (parsed.help || parsed.version)
        return true;
    if (parsed.configPath.empty() && (parsed.dsn.empty() || parsed.tables.empty())) {
        error = "Name a configuration file, or a data source and a table (--dsn and --table).";
        return false;
    }
    if (parsed.from.empty() || parsed.to.empty()) {
        error = "Name the range with --from and --to (YYYY-MM-DD; --to is the day after it).";
        return false;
    }
    if (!parsed.soundExchange.empty() && parsed.service.empty()) {
        error = "The Report of Use (--soundexchange) needs the service's name (--service).";
        return false;
    }
    return true;
}

std::string ReportUsage() {
    std::string text = std::string("Usage: ") + kProgram +
                       " [CONFIG] [--dsn NAME --table TABLE] --from DATE --to DATE [options]\n"
                       "Audience and royalty figures from log tables loaded by brenvale.\n\n";
    for (const OptionSpec& option : Options()) {
        std::string left = std::string("  --") + option.name;
        if (option.value)
            left += std::string(" ") + option.value;
        left.resize(std::max<std::size_t>(left.size() + 1, 30), ' ');
        text += left + option.help + "\n";
    }
    return text;
}

namespace {

/// How a run ended, when not well: an exit code and one message.
struct Outcome {
    int code = kReportSuccess;
    std::string message;
    explicit operator bool() const { return code == kReportSuccess; }
};

Outcome Fail(int code, std::string message) {
    return {code, std::move(message)};
}

/// What to read, from the command line and the configuration.
struct Inputs {
    std::string dsn;
    std::vector<std::string> tables;
    bool translated = false;
    std::string zone;
};

Outcome ResolveInputs(const ReportArguments& args, Inputs& inputs) {
    inputs.dsn = args.dsn;
    inputs.tables = args.tables;
    inputs.translated = args.translated;
    inputs.zone = args.timeZone;
    if (!args.configPath.empty()) {
        const ConfigReadResult config = ReadConfig(args.configPath);
        if (config.status != ConfigStatus::Loaded)
            return Fail(kReportConfig, config.error);
        if (inputs.dsn.empty())
            inputs.dsn = config.data.dsn.value_or("");
        inputs.translated = inputs.translated || config.data.translateASCII;
        if (inputs.zone.empty())
            inputs.zone = config.data.timeZone;
        for (const Job& job : config.data.jobs)
            if (args.tables.empty() && !job.DBTable.empty() &&
                std::find(inputs.tables.begin(), inputs.tables.end(), job.DBTable) ==
                    inputs.tables.end())
                inputs.tables.push_back(job.DBTable);
        if (inputs.tables.empty())
            return Fail(kReportConfig, "The configuration file '" + args.configPath +
                                           "' names no tables; add jobs or give --table.");
    }
    if (inputs.dsn.empty())
        return Fail(kReportDsn, "No data source is named: give --dsn, or set the "
                                "configuration's DSN.");
    return {};
}

Outcome MakeSettings(const ReportArguments& args, const Inputs& inputs,
                     report::ReportSettings& settings,
                     std::unique_ptr<report::CountryLookup>& countries) {
    if (!report::ParseDate(args.from, settings.from) || !report::ParseDate(args.to, settings.to))
        return Fail(kReportUsage, "--from and --to need dates as YYYY-MM-DD, not '" + args.from +
                                      "' and '" + args.to + "'.");
    if (report::Midnight(settings.to) <= report::Midnight(settings.from))
        return Fail(kReportUsage, "--to (" + args.to + ") must come after --from (" + args.from +
                                      "); it is the day after the range.");
    settings.unit = args.unit;
    settings.utc = args.utc;
    settings.minSeconds = args.minSeconds;
    settings.translated = inputs.translated;
    settings.country = args.country;
    std::string error;
    if (!args.excludeAgents.empty() && !settings.agents.AddFile(args.excludeAgents, error))
        return Fail(kReportSetup, error);
    if (!args.geoip.empty())
        countries = report::OpenMaxMindDatabase(args.geoip, error);
    else if (args.countries || !args.country.empty())
        countries = report::OpenLocationDatabase(report::kDefaultLocationDatabase, error);
    if (!error.empty())
        return Fail(kReportSetup, error);
    settings.countries = countries.get();
    return {};
}

Outcome FromRead(const odbc::ReadOutcome& read) {
    switch (read.kind) {
    case odbc::ReadOutcome::Kind::Done:
        return {};
    case odbc::ReadOutcome::Kind::DataSource:
        return Fail(kReportDsn, read.message);
    case odbc::ReadOutcome::Kind::Table:
        return Fail(kReportTable, read.message);
    case odbc::ReadOutcome::Kind::Output:
        break;
    }
    return Fail(kReportOutput, read.message);
}

Outcome WriteFiles(const ReportArguments& args, const report::ReportResult& result,
                   const report::StationZone& station, std::ostream& err) {
    const report::StationZone calendar = report::CalendarOf(result, station);
    std::string error;
    if (!args.csv.empty() && !report::WritePeriodsCsv(args.csv, result, calendar, error))
        return Fail(kReportOutput, error);
    if (!args.titles.empty() && !report::WriteTitlesCsv(args.titles, result, error))
        return Fail(kReportOutput, error);
    if (!args.json.empty() && !report::WriteJson(args.json, result, calendar, error))
        return Fail(kReportOutput, error);
    if (!args.soundExchange.empty()) {
        std::uint64_t untitled = 0;
        if (!report::WriteSoundExchange(args.soundExchange, result, args.service, args.category,
                                        untitled, error))
            return Fail(kReportOutput, error);
        if (untitled > 0)
            err << kProgram << ": " << untitled
                << " performances without a title are not in the Report of Use.\n";
    }
    return {};
}

Outcome Run(const ReportArguments& args, std::ostream& out, std::ostream& err) {
    Inputs inputs;
    if (Outcome resolved = ResolveInputs(args, inputs); !resolved)
        return resolved;
    std::string error;
    const std::optional<report::StationZone> station =
        report::StationZone::Find(inputs.zone, error);
    if (!station)
        return Fail(kReportSetup, error);
    report::ReportSettings settings;
    std::unique_ptr<report::CountryLookup> countries;
    if (Outcome made = MakeSettings(args, inputs, settings, countries); !made)
        return made;

    report::ReportResult result;
    if (Outcome read =
            FromRead(odbc::ComputeReport(inputs.dsn, inputs.tables, settings, *station, result));
        !read)
        return read;
    if (!args.quiet)
        report::WriteTable(out, result, report::CalendarOf(result, *station));
    if (Outcome written = WriteFiles(args, result, *station, err); !written)
        return written;
    if (!args.streamingLog.empty())
        return FromRead(odbc::WriteStreamingLog(inputs.dsn, inputs.tables, settings, *station,
                                                args.streamingLog));
    return {};
}

} // namespace

int RunReportCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        ReportArguments parsed;
        std::string error;
        if (!ParseReportArguments(args, parsed, error)) {
            err << kProgram << ": " << error << "\n" << ReportUsage();
            return kReportUsage;
        }
        if (parsed.help) {
            out << ReportUsage();
            return kReportSuccess;
        }
        if (parsed.version) {
            out << kProgram << " " << VersionText() << "\n";
            return kReportSuccess;
        }
        const Outcome outcome = Run(parsed, out, err);
        if (!outcome)
            err << kProgram << ": " << outcome.message << "\n";
        return outcome.code;
    } catch (const std::exception& e) {
        err << kProgram << ": internal error: " << e.what() << "\n";
        return kReportInternal;
    }
}

} // namespace brenvale
