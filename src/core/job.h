// One unit of work and the list of them that a run walks.
#pragma once

#include <string>
#include <vector>

namespace brenvale {

/// A log source (local path or address) and the table it loads into, both used as entered.
struct Job {
    std::string File;
    std::string DBTable;
    std::string Format{}; ///< the log's format when it cannot be told from its lines; empty: told
    /// Icecast's playlist log, for the titles; empty: playlist.log beside the log, if there.
    std::string Playlist{};
};

/// True when `file` is an address to download: it begins with exactly "http://" (any other
/// spelling, "https://" included, is a local path).
inline bool IsDownload(const std::string& file) {
    return file.compare(0, 7, "http://") == 0;
}

/// True when `table`, as a job or the catalogue names it (quoted or with its schema), is one of
/// the program's own tables, which never take log rows.
bool IsProgramTable(const std::string& table);

/// Column numbers of the job list.
inline constexpr int kColumnFile = 1;
inline constexpr int kColumnTable = 2;
/// Columns the job list keeps without showing them.
inline constexpr int kColumnFormat = 3;
inline constexpr int kColumnPlaylist = 4;

/// The ordered job list, rows numbered from 1. The window's grid is one; a plain vector another.
class JobList {
public:
    virtual ~JobList() = default;
    /// Number of jobs.
    virtual int Count() const = 0;
    /// Text of a column of job `row`; empty for a row or column out of range.
    virtual std::string Text(int row, int column) const = 0;
    /// Appends an empty job at the end.
    virtual void Append() = 0;
    /// Sets a column of job `row`; ignored out of range.
    virtual void SetText(int row, int column, const std::string& text) = 0;
    /// Removes every job.
    virtual void Clear() = 0;
};

/// A job list held in memory, for the command-line runner and tests.
class VectorJobList final : public JobList {
public:
    VectorJobList() = default;
    explicit VectorJobList(std::vector<Job> jobs) : jobs_(std::move(jobs)) {}

    int Count() const override { return static_cast<int>(jobs_.size()); }
    std::string Text(int row, int column) const override;
    void Append() override { jobs_.emplace_back(); }
    void SetText(int row, int column, const std::string& text) override;
    void Clear() override { jobs_.clear(); }

    const std::vector<Job>& Jobs() const { return jobs_; }

private:
    std::vector<Job> jobs_;
};

} // namespace brenvale
