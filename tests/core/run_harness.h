// A job runner wired to scripted stand-ins for the user and to a real database.
#pragma once

#include "core/job.h"
#include "core/run_report.h"
#include "core/runner.h"
#include "support/test_support.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace brenvale::test {

using NameList = std::vector<std::string>;

/// The directives SHOUTcast's DNAS starts its W3C log with.
inline const std::string kHeader = "#Software: SHOUTcast\r\n#Version: 2.6\r\n#Fields: c-ip c-dns "
                                   "date time cs-uri-stem c-status cs(User-Agent) sc-bytes "
                                   "x-duration avgbandwidth\r\n";

inline void Append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

/// A ten-field data line; `name` is its second field (column c_dns), so rows can be told apart.
inline std::string LogLine(const std::string& name) {
    return "192.0.2.10 " + name + " 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64";
}

/// The lines of `names`, each ended by `lineEnd`.
inline std::string LogText(const std::vector<std::string>& names,
                           const std::string& lineEnd = "\n") {
    std::string text;
    for (const std::string& name : names)
        text += LogLine(name) + lineEnd;
    return text;
}

/// Data lines of `names` as a DNAS writes them, their times, addresses and counts varying as a
/// real listener's do (so they compress no better than a real log); `name` is field c_dns.
inline std::string ListenerLines(const std::vector<std::string>& names, unsigned seed = 1) {
    std::string text;
    for (const std::string& name : names) {
        seed = seed * 1103515245u + 12345u;
        const unsigned r = seed >> 8;
        text += "192.0.2." + std::to_string(r % 250) + " " + name +
                " 2024-03-01 18:" + std::to_string(10 + r % 50) + ":" +
                std::to_string(10 + r / 50 % 50) +
                " /stream?title=Bj%C3%B6rk%20-%20Joga 200 VLC%2F3.0.18%20LibVLC%2F3.0.18 " +
                std::to_string(r % 9000000) + " " + std::to_string(r / 7 % 4000) + " " +
                std::to_string(128000 + r % 999) + "\n";
    }
    return text;
}

/// `prefix` followed by 0 .. count-1.
inline std::vector<std::string> Numbered(const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + std::to_string(i));
    return names;
}

/// The blank-separated words of `text`.
inline std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

/// Column c_dns of every row of `table`, sorted.
inline std::vector<std::string> Names(TestDatabase& db, const std::string& table) {
    std::vector<std::string> names;
    for (const auto& row : db.Query("SELECT c_dns FROM " + table))
        names.push_back(row.at(0));
    std::sort(names.begin(), names.end());
    return names;
}

/// A run's report that also calls `hook` after each line it counted, to change the world in the
/// middle of a run.
struct HookedReport final : RunReport {
    using RunReport::RunReport;
    std::function<void(LineOutcome, std::uint64_t line)> hook;
    void OnLine(LineOutcome outcome, std::string_view raw, const LineMark& mark,
                const DbResult& error) override {
        RunReport::OnLine(outcome, raw, mark, error);
        if (hook)
            hook(outcome, mark.line);
    }
};

/// A test once per database, with a scratch folder for its files.
class DatabaseTest : public PerDatabase {
protected:
    std::string WriteLog(const std::string& name, const std::string& text) {
        return WriteFile(dir_ + "/" + name, text);
    }

    TestDatabase db_{GetParam()};
    std::string dir_ = ScratchDir("run");
};

/// Everything a run needs, with a clock that stands still (so counts never refresh unless a
/// test moves it) and a report of every line.
struct RunHarness {
    explicit RunHarness(Database& database, std::vector<Job> jobList = {},
                        const RunSettings& settings = {})
        : jobs(std::move(jobList)),
          runner(RunHost{jobs, database, status, prompts, yielder, options, clock, state}) {
        runner.SetSettings(settings);
        runner.SetObserver(&report);
    }

    /// Status window hidden, owner enabled, no cancel pending.
    bool Idle() const { return !status.visible && status.ownerEnabled && !state.bCancel; }

    VectorJobList jobs;
    RecordingStatus status;
    ScriptedPrompts prompts;
    ScriptedYield yielder;
    FixedOptions options;
    ManualClock clock;
    RunState state;
    HookedReport report{clock};
    JobRunner runner;
};

} // namespace brenvale::test
