// What became of a run's lines, and the summaries built from it.
#include "core/run_report.h"

#include "core/general.h"
#include "core/text_encoding.h"
#include "core/version.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace brenvale {

namespace {

/// A message as one line: every run of line breaks and tabs becomes one blank.
std::string Flatten(std::string_view text) {
    std::string line;
    bool inBreak = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            inBreak = true;
            continue;
        }
        if (inBreak && !line.empty() && line.back() != ' ')
            line.push_back(' ');
        inBreak = false;
        line.push_back(c);
    }
    return line;
}

std::string Seconds(std::uint32_t milliseconds) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << milliseconds / 1000.0;
    return text.str();
}

std::uint64_t RowsPerSecond(std::uint64_t rows, std::uint32_t milliseconds) {
    return milliseconds == 0
               ? 0
               : static_cast<std::uint64_t>(static_cast<double>(rows) * 1000.0 / milliseconds);
}

/// `text` as a JSON string; bytes that are not UTF-8 are read as Windows-1252.
std::string Json(std::string_view text) {
    std::string utf8;
    if (IsValidUtf8(text))
        utf8.assign(text);
    else
        AppendCp1252AsUtf8(text, utf8);
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out.push_back(c);
            }
        }
    }
    return out + "\"";
}

std::string JsonCounts(const LineCounts& counts) {
    std::ostringstream out;
    out << "{\"linesRead\": " << counts.Read() << ", \"rowsInserted\": " << counts.Rows()
        << ", \"linesSkipped\": " << counts.Skipped() << ", \"commentOrEmpty\": " << counts.ignored
        << ", \"short\": " << counts.shortLines << ", \"refused\": " << counts.refused
        << ", \"tooLong\": " << counts.longLines << ", \"incomplete\": " << counts.incomplete
        << ", \"inDoubt\": " << counts.inDoubt << ", \"alreadyLoaded\": " << counts.alreadyLoaded;
    if (counts.noValue > 0)
        out << ", \"noValue\": " << counts.noValue;
    out << "}";
    return out.str();
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : ", ") + Json(items[i]);
    return out + "]";
}

} // namespace

void LineCounts::Add(const LineCounts& other) {
    inserted += other.inserted;
    ignored += other.ignored;
    shortLines += other.shortLines;
    refused += other.refused;
    longLines += other.longLines;
    incomplete += other.incomplete;
    inDoubt += other.inDoubt;
    alreadyLoaded += other.alreadyLoaded;
    noValue += other.noValue;
    extraRows += other.extraRows;
}

std::string CountsText(const LineCounts& counts) {
    std::ostringstream text;
    text << "lines read: " << counts.Read() << "; rows inserted: " << counts.Rows();
    if (counts.noValue > 0)
        text << " (no value " << counts.noValue << ")";
    text << "; lines skipped: " << counts.Skipped() << " (comment/empty " << counts.ignored
         << ", short " << counts.shortLines << ", refused by the database " << counts.refused
         << ", too long " << counts.longLines;
    // Kinds that most runs never meet are named only when they occur.
    if (counts.incomplete > 0)
        text << ", incomplete " << counts.incomplete;
    if (counts.inDoubt > 0)
        text << ", in doubt " << counts.inDoubt;
    text << ")";
    if (counts.alreadyLoaded > 0)
        text << "; already loaded: " << counts.alreadyLoaded;
    return text.str();
}

std::string EscapeRejectField(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            text += "\\\\";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\r':
            text += "\\r";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                text += "\\x";
                text.push_back(kHex[byte >> 4]);
                text.push_back(kHex[byte & 0x0F]);
            } else {
                text.push_back(c);
            }
        }
    }
    return text;
}

std::string UnescapeRejectField(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\' || next == 't' || next == 'n' || next == 'r') {
            bytes.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\\');
            ++i;
        } else if (const double value =
                       next == 'x' && i + 3 < text.size() ? HexToDec(text.substr(i + 2, 2)) : -1;
                   value >= 0) {
            bytes.push_back(static_cast<char>(static_cast<int>(value)));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool RunReport::OpenRejects(const std::string& path, std::string& error) {
    rejectsPath_ = path;
    rejects_.open(path, std::ios::binary | std::ios::trunc);
    if (!rejects_.is_open()) {
        error =
            "The rejects file '" + path + "' could not be created: " + std::strerror(errno) + ".";
        return false;
    }
    rejects_ << kRejectsHeader << '\n';
    return true;
}

bool RunReport::CloseRejects(std::string& error) {
    if (!rejects_.is_open())
        return true;
    rejects_.close();
    if (rejects_.fail()) {
        error = "The rejects file '" + rejectsPath_ + "' could not be written completely.";
        return false;
    }
    return true;
}

void RunReport::WriteReject(const LineMark& mark, std::string_view reason, const DbResult& error,
                            std::string_view raw) {
    if (!rejects_.is_open() || jobs_.empty())
        return;
    const auto named = streamNames_.find(mark.stream);
    const std::string& stream = named == streamNames_.end() ? stream_ : named->second;
    rejects_ << EscapeRejectField(stream) << '\t' << EscapeRejectField(Current().job.DBTable)
             << '\t' << mark.line << '\t' << reason << '\t' << EscapeRejectField(error.sqlState)
             << '\t' << EscapeRejectField(error.message) << '\t' << EscapeRejectField(raw) << '\n';
    ++rejectsWritten_;
}

JobReport& RunReport::Current() {
    if (jobs_.empty())
        jobs_.emplace_back();
    return jobs_.back();
}

const LineCounts& RunReport::JobCounts() const {
    static const LineCounts kNone;
    return jobs_.empty() ? kNone : jobs_.back().counts;
}

void RunReport::OnJobStart(int position, int count, const Job& job) {
    if (!startedClock_) {
        started_ = clock_.Ticks();
        startedClock_ = true;
    }
    jobStarted_ = clock_.Ticks();
    jobCount_ = count;
    JobReport report;
    report.position = position;
    report.job = job;
    jobs_.push_back(std::move(report));
    stream_ = job.File;
    streamNames_.clear();
}

void RunReport::OnExtraRows(std::uint64_t rows) {
    Current().counts.extraRows += rows;
    total_.extraRows += rows;
}

void RunReport::OnStream(const std::string& name, int stream, std::uint64_t alreadyLoaded,
                         bool rotated) {
    JobReport& job = Current();
    job.counts.alreadyLoaded += alreadyLoaded;
    total_.alreadyLoaded += alreadyLoaded;
    if (rotated) {
        job.finished.push_back(name);
        return;
    }
    stream_ = name;
    streamNames_[stream] = name;
}

void RunReport::OnLine(LineOutcome outcome, std::string_view rawLine, const LineMark& mark,
                       const DbResult& error) {
    const std::uint64_t lineNumber = mark.line;
    JobReport& job = Current();
    LineCounts& counts = job.counts;
    LineCounts& total = total_;
    switch (outcome) {
    case LineOutcome::Inserted:
        ++counts.inserted;
        ++total.inserted;
        if (error.noValue) {
            ++counts.noValue;
            ++total.noValue;
        }
        break;
    case LineOutcome::Ignored:
        ++counts.ignored;
        ++total.ignored;
        break;
    case LineOutcome::Short:
        ++counts.shortLines;
        ++total.shortLines;
        WriteReject(mark, "short", DbResult::Success(), rawLine);
        break;
    case LineOutcome::Refused:
        ++counts.refused;
        ++total.refused;
        WriteReject(mark, "refused", error, rawLine);
        if (job.diagnostics.size() < kDiagnosticsShown)
            job.diagnostics.push_back("line " + std::to_string(lineNumber) + ": " + error.sqlState +
                                      ": " + Flatten(error.message));
        break;
    case LineOutcome::TooLong:
        ++counts.longLines;
        ++total.longLines;
        WriteReject(mark, "too-long",
                    DbResult::Failure("", "The line is longer than " +
                                              std::to_string(LineSplitter::kDefaultMaxLine) +
                                              " bytes; its bytes were not kept."),
                    "");
        break;
    case LineOutcome::Incomplete:
        ++counts.incomplete;
        ++total.incomplete;
        if (!incremental_)
            WriteReject(mark, "incomplete",
                        DbResult::Failure("", "The last line had no line end and the log was "
                                              "still being written; it was not loaded."),
                        rawLine);
        break;
    case LineOutcome::InDoubt:
        ++counts.inDoubt;
        ++total.inDoubt;
        WriteReject(mark, "in-doubt", error, rawLine);
        break;
    case LineOutcome::Pending:
        return;
    }
    job.lastLine = std::max(job.lastLine, lineNumber);
}

void RunReport::OnNotice(const std::string& text) {
    for (const std::string& said : notices_)
        if (said == text)
            return;
    notices_.push_back(text);
}

void RunReport::OnReconnected(std::uint64_t line, int attempts) {
    OnNotice("The database connection was lost during '" + stream_ + "' and made again after " +
             std::to_string(attempts) + (attempts == 1 ? " try" : " tries") +
             "; loading went on after line " + std::to_string(line) + ".");
}

void RunReport::OnJobEnd(int /*position*/, const Job& /*job*/, const std::string& failure) {
    JobReport& job = Current();
    job.failure = failure;
    job.milliseconds = static_cast<std::uint32_t>(clock_.Ticks() - jobStarted_);
}

void RunReport::OnTableEmptied(const std::string& table, std::uint64_t rows) {
    // Two jobs on one table empty it twice; the second time it held nothing worth a line.
    if (rows == 0 && std::any_of(emptied_.begin(), emptied_.end(),
                                 [&](const EmptiedTable& e) { return e.table == table; }))
        return;
    emptied_.push_back({table, rows});
}

void RunReport::PauseClock() {
    if (pauses_++ == 0)
        pausedAt_ = clock_.Ticks();
}

void RunReport::ResumeClock() {
    if (pauses_ == 0 || --pauses_ > 0)
        return;
    // Both starts move on by the pause, so every time measured from them leaves it out.
    const std::uint32_t paused = clock_.Ticks() - pausedAt_;
    started_ += paused;
    jobStarted_ += paused;
}

void RunReport::MarkInterrupted() {
    if (!jobs_.empty())
        jobs_.back().interrupted = true;
}

void RunReport::Finish() {
    finishedMs_ = startedClock_ ? static_cast<std::uint32_t>(clock_.Ticks() - started_) : 0;
}

std::string RunReport::JobText(const JobReport& job) const {
    std::ostringstream out;
    out << "job " << job.position << " of " << jobCount_ << ": " << job.job.File << " -> "
        << job.job.DBTable << '\n';
    out << "  " << CountsText(job.counts) << '\n';
    for (const std::string& name : job.finished)
        out << "  finished the rotated file " << name << '\n';
    if (!job.diagnostics.empty()) {
        out << "  database diagnostics (first " << job.diagnostics.size() << " of "
            << job.counts.refused << "):\n";
        for (const std::string& line : job.diagnostics)
            out << "    " << line << '\n';
    }
    if (!job.failure.empty())
        out << "  failed: " << job.failure << '\n';
    if (job.interrupted)
        out << "  interrupted after line " << job.lastLine << '\n';
    return out.str();
}

std::string RunReport::RunText() const {
    std::ostringstream out;
    out << "run: " << jobs_.size() << " of " << jobCount_ << " jobs; " << CountsText(total_) << "; "
        << Seconds(finishedMs_) << " s";
    if (finishedMs_ > 0)
        out << ", " << RowsPerSecond(total_.Rows(), finishedMs_) << " rows/s";
    out << '\n';
    return out.str();
}

std::string RunReport::EmptiedText() const {
    std::string text;
    for (const EmptiedTable& emptied : emptied_)
        text += "emptied before loading: " + emptied.table + " (" + std::to_string(emptied.rows) +
                (emptied.rows == 1 ? " row)\n" : " rows)\n");
    return text;
}

std::string RunReport::SummaryText() const {
    std::string text = EmptiedText();
    for (const JobReport& job : jobs_)
        text += JobText(job);
    for (const std::string& notice : notices_)
        text += "note: " + notice + "\n";
    if (!jobs_.empty())
        text += RunText();
    if (rejectsWritten_ > 0)
        text += "lines that inserted nothing: " + rejectsPath_ + "\n";
    return text;
}

std::string RunReport::JsonText(int exitCode, const std::string& result) const {
    std::ostringstream out;
    out << "{\n  \"program\": \"brenvale-run\",\n  \"version\": " << Json(VersionText())
        << ",\n  \"exitCode\": " << exitCode << ",\n  \"result\": " << Json(result)
        << ",\n  \"seconds\": " << Seconds(finishedMs_)
        << ",\n  \"rowsPerSecond\": " << RowsPerSecond(total_.Rows(), finishedMs_)
        << ",\n  \"total\": " << JsonCounts(total_) << ",\n  \"jobs\": [";
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        const JobReport& job = jobs_[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"position\": " << job.position
            << ", \"file\": " << Json(job.job.File) << ", \"table\": " << Json(job.job.DBTable)
            << ", \"seconds\": " << Seconds(job.milliseconds)
            << ", \"rowsPerSecond\": " << RowsPerSecond(job.counts.Rows(), job.milliseconds)
            << ", \"counts\": " << JsonCounts(job.counts)
            << ", \"diagnostics\": " << JsonList(job.diagnostics)
            << ", \"finishedRotated\": " << JsonList(job.finished)
            << ", \"failure\": " << (job.failure.empty() ? "null" : Json(job.failure))
            << ", \"interrupted\": " << (job.interrupted ? "true" : "false") << "}";
    }
    out << (jobs_.empty() ? "]" : "\n  ]") << ",\n  \"emptied\": [";
    for (std::size_t i = 0; i < emptied_.size(); ++i)
        out << (i == 0 ? "" : ", ") << "{\"table\": " << Json(emptied_[i].table)
            << ", \"rows\": " << emptied_[i].rows << "}";
    out << "],\n  \"notices\": " << JsonList(notices_) << ",\n  \"rejects\": "
        << (rejectsPath_.empty() ? std::string("null")
                                 : "{\"path\": " + Json(rejectsPath_) +
                                       ", \"lines\": " + std::to_string(rejectsWritten_) + "}")
        << "\n}\n";
    return out.str();
}

} // namespace brenvale
