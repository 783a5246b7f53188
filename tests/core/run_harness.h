// A job runner wired to scripted stand-ins for the user and to a real database.
#pragma once

#include "core/job.h"
#include "core/runner.h"
#include "support/test_support.h"

#include <algorithm>
#include <string>
#include <vector>

namespace brenvale::test {

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

/// Column c_dns of every row of `table`, sorted.
inline std::vector<std::string> Names(TestDatabase& db, const std::string& table) {
    std::vector<std::string> names;
    for (const auto& row : db.Query("SELECT c_dns FROM " + table))
        names.push_back(row.at(0));
    std::sort(names.begin(), names.end());
    return names;
}

/// Counts the lines skipped for their length.
struct LongLineCounter final : RunObserver {
    std::uint64_t longLines = 0;
    void OnLine(LineOutcome outcome, std::string_view, std::uint64_t, const DbResult&) override {
        longLines += outcome == LineOutcome::TooLong ? 1 : 0;
    }
    void OnJobStart(int, int, const Job&) override {}
    void OnJobEnd(int, const Job&, const std::string&) override {}
};

/// Everything a run needs, with a clock that stands still (so counts never refresh unless a
/// test moves it).
struct RunHarness {
    explicit RunHarness(Database& database, std::vector<Job> jobList = {})
        : jobs(std::move(jobList)),
          runner(RunHost{jobs, database, status, prompts, yielder, options, clock, state}) {}

    /// Status window hidden, owner enabled, no cancel pending.
    bool Idle() const { return !status.visible && status.ownerEnabled && !state.bCancel; }

    VectorJobList jobs;
    RecordingStatus status;
    ScriptedPrompts prompts;
    ScriptedYield yielder;
    FixedOptions options;
    ManualClock clock;
    RunState state;
    JobRunner runner;
};

} // namespace brenvale::test
