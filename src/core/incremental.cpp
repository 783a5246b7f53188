// Incremental loading: only the lines of a job's logs that no earlier run loaded.
#include "core/incremental.h"

#include "core/content_hash.h"
#include "core/general.h"
#include "core/http_client.h"
#include "core/line_splitter.h"
#include "core/runner.h"
#include "core/version.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <unordered_map>

namespace brenvale {

namespace {

bool IsPattern(const std::string& file) {
    return file.find_first_of("*?[") != std::string::npos;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

struct FoundFile {
    std::string path;
    bool live = false;
    int family = 0;     ///< archives 0, dated 1, numbered 2, the DNAS chain 3, the file 4
    long long rank = 0; ///< order inside the family, oldest first
    std::string name;
};

bool RegularFile(const std::string& path, struct stat& status) {
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

/// The family and rank of `name` as a rotated copy of `base` (stem and extension split), or
/// false when it is none.
bool RotatedName(const std::string& name, const std::string& base, const std::string& stem,
                 const std::string& ext, FoundFile& found, long long mtime) {
    std::string_view rest = name;
    const bool gz = EndsWith(rest, ".gz");
    std::string_view plain = gz ? rest.substr(0, rest.size() - 3) : rest;
    // DNAS: name_N.ext, oldest with the highest N.
    if (!gz && plain.size() > stem.size() + 1 + ext.size() && plain.substr(0, stem.size()) == stem &&
        plain[stem.size()] == '_' && EndsWith(plain, ext)) {
        const std::string_view number =
            plain.substr(stem.size() + 1, plain.size() - stem.size() - 1 - ext.size());
        if (AllDigits(number)) {
            found.family = 3;
            found.rank = -std::stoll(std::string(number));
            return true;
        }
    }
    // logrotate: name.ext.N and name.ext.N.gz, oldest with the highest N; name.ext-DATE.
    if (plain.size() > base.size() + 1 && plain.substr(0, base.size()) == base) {
        const char separator = plain[base.size()];
        const std::string_view number = plain.substr(base.size() + 1);
        if (separator == '.' && AllDigits(number)) {
            found.family = 2;
            found.rank = -std::stoll(std::string(number));
            return true;
        }
        if (separator == '-' && AllDigits(number)) {
            found.family = 1;
            found.rank = std::stoll(std::string(number.substr(0, 18)));
            return true;
        }
    }
    // Archives: name.ext.gz, and the DNAS archive name_<date_time>_w3c.gz.
    if (gz && (plain == base || (plain.size() > stem.size() + 1 &&
                                 plain.substr(0, stem.size()) == stem && plain[stem.size()] == '_'))) {
        found.family = 0;
        found.rank = mtime;
        return true;
    }
    return false;
}

} // namespace

std::string NewFileId() {
    static std::random_device device;
    static std::mt19937_64 generator(
        (static_cast<std::uint64_t>(device()) << 32) ^ static_cast<std::uint64_t>(device()) ^
        static_cast<std::uint64_t>(std::random_device()()));
    return HashText(generator()) + HashText(generator());
}

std::vector<LogStream> FindLogStreams(const std::string& file, std::string& error) {
    std::vector<FoundFile> found;
    struct stat status {};
    if (IsPattern(file)) {
        glob_t matches{};
        if (::glob(file.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (RegularFile(path, status))
                    found.push_back({path, false, 0, static_cast<long long>(status.st_mtime), path});
            }
        }
        globfree(&matches);
        // The newest match is the one still being written.
        auto newest = std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::tie(a.rank, a.name) < std::tie(b.rank, b.name);
        });
        if (newest != found.end())
            newest->live = true;
    } else {
        const auto slash = file.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
        const auto dot = base.rfind('.');
        const std::string stem = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
        const std::string ext = stem.size() == base.size() ? "" : base.substr(dot);
        if (RegularFile(file, status))
            found.push_back({file, true, 4, 0, file});
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == base || name == "." || name == "..")
                    continue;
                const std::string path = (slash == std::string::npos ? "" : folder) + name;
                if (!RegularFile(path, status))
                    continue;
                FoundFile candidate{path, false, 0, 0, name};
                if (RotatedName(name, base, stem, ext, candidate,
                                static_cast<long long>(status.st_mtime)))
                    found.push_back(candidate);
            }
            ::closedir(dir);
        }
    }
    if (found.empty()) {
        error = IsPattern(file) ? "no file matches the pattern" : "No such file or directory";
        return {};
    }
    std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) {
        return std::tie(a.family, a.rank, a.name) < std::tie(b.family, b.rank, b.name);
    });
    std::vector<LogStream> streams;
    for (std::size_t i = 0; i < found.size(); ++i)
        streams.push_back({found[i].path, 0, found[i].live, static_cast<int>(i) * 100000});
    return streams;
}

namespace {

/// What scanning one stream found: how long it is and which positions it continues.
struct Scan {
    LogStream stream;
    std::uint64_t length = 0;
    std::vector<std::size_t> matches;
};

/// Hashes a stream's bytes and checks, at each position's lengths, whether they are the bytes
/// the position covered. Positions are looked up by identity length and hash, so a stream costs
/// as many checks as there are identity lengths up to its own, not one per position.
class Scanner {
public:
    explicit Scanner(const std::vector<SourcePosition>& positions) : positions_(positions) {
        for (std::size_t i = 0; i < positions_.size(); ++i)
            if (positions_[i].identityLength > 0 && positions_[i].offset > 0)
                byIdentity_[positions_[i].identityLength][positions_[i].identityHash].push_back(i);
    }

    void Start(const LogStream& stream) {
        scans_.push_back({stream, 0, {}});
        hash_ = kHashStart;
        nextIdentity_ = byIdentity_.begin();
        prefixChecks_.clear();
    }

    /// False once nothing more needs to be read for this stream.
    bool Feed(std::string_view bytes) {
        Scan& scan = scans_.back();
        while (!bytes.empty()) {
            std::uint64_t stop = scan.length + bytes.size();
            if (nextIdentity_ != byIdentity_.end())
                stop = std::min(stop, nextIdentity_->first);
            if (!prefixChecks_.empty())
                stop = std::min(stop, prefixChecks_.begin()->first);
            const auto take = static_cast<std::size_t>(stop - scan.length);
            hash_ = HashBytes(bytes.substr(0, take), hash_);
            scan.length += take;
            bytes.remove_prefix(take);
            if (nextIdentity_ != byIdentity_.end() && nextIdentity_->first == scan.length)
                CheckIdentities(scan);
            for (auto check = prefixChecks_.begin();
                 check != prefixChecks_.end() && check->first == scan.length;
                 check = prefixChecks_.erase(check))
                if (hash_ == positions_[check->second].prefixHash)
                    scan.matches.push_back(check->second);
        }
        return nextIdentity_ != byIdentity_.end() || !prefixChecks_.empty();
    }

    std::vector<Scan>& Scans() { return scans_; }

private:
    /// The stream's first bytes are as long as some positions' identities: those whose identity
    /// they are go on to their prefix check.
    void CheckIdentities(Scan& scan) {
        const auto& byHash = nextIdentity_->second;
        ++nextIdentity_;
        const auto found = byHash.find(hash_);
        if (found == byHash.end())
            return;
        for (const std::size_t p : found->second) {
            if (positions_[p].offset > scan.length)
                prefixChecks_.emplace(positions_[p].offset, p);
            else if (hash_ == positions_[p].prefixHash)
                scan.matches.push_back(p);
        }
    }

    const std::vector<SourcePosition>& positions_;
    /// identity length -> identity hash -> positions
    std::map<std::uint64_t, std::unordered_map<std::uint64_t, std::vector<std::size_t>>>
        byIdentity_;
    std::map<std::uint64_t,
             std::unordered_map<std::uint64_t, std::vector<std::size_t>>>::const_iterator
        nextIdentity_;
    std::multimap<std::uint64_t, std::size_t> prefixChecks_; ///< offset -> position
    std::vector<Scan> scans_;
    std::uint64_t hash_ = kHashStart;
};

} // namespace

std::vector<PlannedStream> PlanIncremental(const std::vector<LogStream>& streams,
                                           const std::vector<SourcePosition>& positions,
                                           std::string& error) {
    Scanner scanner(positions);
    for (const LogStream& file : streams) {
        bool gzip = false;
        {
            std::ifstream peek(file.path, std::ios::binary);
            char magic[2] = {};
            gzip = peek.read(magic, 2) && LooksGzip(std::string_view(magic, 2));
        }
        LocalReadCallbacks callbacks;
        callbacks.onStream = [&](int index, std::uint64_t fileOffset) {
            LogStream stream = file;
            stream.member = index;
            stream.fileOffset = fileOffset;
            stream.age = file.age + index;
            // A gzip member is complete; only a plain file may still grow.
            stream.live = file.live && index == 0;
            scanner.Start(stream);
            return true;
        };
        // A plain file is read only as far as a position needs; a gzip file to its end, for its
        // members.
        callbacks.onBytes = [&](std::string_view bytes) { return scanner.Feed(bytes) || gzip; };
        const LocalReadResult read = ReadLocalLog(file.path, 0, 0, callbacks);
        if (!read.ok && !read.damaged) {
            error = file.path + ": " + read.error;
            return {};
        }
        // The members before the damage were checked whole and are planned; the damaged one
        // handed on nothing, so it is left out as empty, and so is the rest of the file.
        if (!read.ok && error.empty())
            error = file.path + ": " + read.error;
        // A plain file need not be read to its end: its length is the file's.
        if (!read.gzip && !scanner.Scans().empty() && scanner.Scans().back().stream.path == file.path) {
            struct stat status {};
            if (::stat(file.path.c_str(), &status) == 0)
                scanner.Scans().back().length = static_cast<std::uint64_t>(status.st_size);
        }
    }

    std::vector<Scan>& scans = scanner.Scans();
    std::vector<int> assigned(scans.size(), -1);
    std::vector<std::size_t> order(positions.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // The longest positions first: a short one (a header alone, say) must not take the stream of
    // a longer one.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(positions[b].offset, positions[a].fileId) <
               std::tie(positions[a].offset, positions[b].fileId);
    });
    std::vector<std::vector<std::size_t>> matchedBy(positions.size());
    for (std::size_t s = 0; s < scans.size(); ++s)
        for (const std::size_t p : scans[s].matches)
            matchedBy[p].push_back(s);
    for (const std::size_t p : order) {
        int best = -1;
        for (const std::size_t s : matchedBy[p]) {
            if (assigned[s] >= 0)
                continue;
            if (best < 0 || scans[s].stream.age < scans[static_cast<std::size_t>(best)].stream.age)
                best = static_cast<int>(s);
        }
        if (best >= 0)
            assigned[static_cast<std::size_t>(best)] = static_cast<int>(p);
    }

    std::vector<PlannedStream> plan;
    for (std::size_t s = 0; s < scans.size(); ++s) {
        if (scans[s].length == 0)
            continue;
        PlannedStream planned;
        planned.stream = scans[s].stream;
        if (assigned[s] >= 0) {
            planned.position = positions[static_cast<std::size_t>(assigned[s])];
            planned.isNew = false;
        } else {
            planned.position.fileId = NewFileId();
            planned.position.identityHash = kHashStart;
            planned.position.prefixHash = kHashStart;
        }
        planned.position.fileName = planned.stream.Name();
        plan.push_back(std::move(planned));
    }
    std::stable_sort(plan.begin(), plan.end(), [](const PlannedStream& a, const PlannedStream& b) {
        return a.stream.age < b.stream.age;
    });
    return plan;
}

bool JobRunner::LoadIncremental(const Job& job, std::string& failure) {
    DbResult error;
    TableWriter* writer = loader_.Writer(job.DBTable, error);
    if (!writer) {
        failure = "the table's writer could not be opened: " + error.message;
        return false;
    }
    std::vector<SourcePosition> positions;
    if (const DbResult read = writer->LoadPositions(job.File, positions); !read) {
        failure = "the positions of incremental loading could not be read: " + read.message;
        if (read.Fatal())
            databaseFailure_ = read;
        return false;
    }
    if (IsDownload(job.File))
        return LoadDownloadIncremental(job, positions, failure);

    const std::vector<LogStream> streams = FindLogStreams(job.File, failure);
    if (streams.empty())
        return false;
    std::vector<PlannedStream> plan = PlanIncremental(streams, positions, failure);
    if (plan.empty())
        return failure.empty();
    const std::string damage = failure; // a damaged archive fails the job once the rest is in
    for (PlannedStream& planned : plan) {
        const SourcePosition& p = planned.position;
        const LineMark start{p.line, p.offset, p.prefixHash, p.identityHash, p.identityLength};
        loader_.KeepPositions(job.File, &planned.position, planned.isNew);
        streamName_ = planned.stream.Name();
        if (observer_)
            observer_->OnStream(streamName_, p.line, false);
        // Which file is in hand, and how much of it earlier runs loaded.
        if (p.line > 0)
            host_.status.SetStatus(std::string(planned.stream.live ? "Status:  Parsing file '"
                                                                   : "Status:  Finishing file '") +
                                   GetFileName(streamName_) + "' after line " +
                                   std::to_string(p.line));
        else
            host_.status.SetStatus("Status:  Parsing file '" + GetFileName(streamName_) + "'");
        StreamStart from{planned.stream.member, start, planned.stream.fileOffset};
        for (;;) {
            const bool read = ReadLocal(planned.stream.path, job.DBTable, from,
                                        planned.stream.live, true, failure);
            if (!loader_.Stopped()) {
                if (!read)
                    return false;
                break;
            }
            if (!Recover()) {
                failure = databaseFailure_.message;
                return false;
            }
            from = {planned.stream.member, loader_.Committed(), planned.stream.fileOffset};
        }
        if (!loader_.Flush() && !Recover()) {
            failure = databaseFailure_.message;
            return false;
        }
        if (!planned.stream.live && loader_.Committed().line > start.line && observer_)
            observer_->OnStream(streamName_, 0, true);
        if (host_.state.bCancel)
            break;
    }
    loader_.KeepPositions(job.File, nullptr, false);
    failure = damage;
    return damage.empty();
}

} // namespace brenvale

namespace brenvale {

bool JobRunner::LoadDownloadIncremental(const Job& job,
                                        const std::vector<SourcePosition>& positions,
                                        std::string& failure) {
    // The document's position is the one furthest on (earlier documents behind the address
    // keep theirs, in case they come back).
    SourcePosition current;
    bool isNew = true;
    for (const SourcePosition& position : positions)
        if (isNew || position.offset > current.offset) {
            current = position;
            isNew = false;
        }
    if (isNew)
        current.fileId = NewFileId();
    current.fileName = job.File;
    for (;;) {
        loader_.KeepPositions(job.File, &current, isNew);
        if (observer_)
            observer_->OnStream(job.File, current.line, false);
        LineMark from{current.line, current.offset, current.prefixHash, current.identityHash,
                      current.identityLength};
        DownloadOptions options;
        options.useRange = current.validator != kGzipDocument;
        options.validator = current.validator;
        options.holdBack = true;
        options.position = &current;
        DownloadEnd end = DownloadEnd::Done;
        for (;;) {
            end = ReadURL(job.File, job.DBTable, from, options, failure);
            if (!loader_.Stopped())
                break;
            if (!Recover()) {
                failure = databaseFailure_.message;
                return false;
            }
            from = loader_.Committed();
        }
        if (end == DownloadEnd::Failed) {
            // The whole lines that came before the failure go in with their position, which
            // lives only as long as this call.
            const std::string why = failure;
            if (!loader_.Flush() && !Recover())
                failure = databaseFailure_.message;
            else
                failure = why;
            loader_.KeepPositions(job.File, nullptr, false);
            return false;
        }
        if (end == DownloadEnd::Changed && !isNew) {
            // Another document behind the same address: loaded from its start as a new one.
            if (observer_)
                observer_->OnNotice("The document at '" + job.File +
                                    "' is not the one loaded before (it does not begin with the " +
                                    std::to_string(current.offset) +
                                    " bytes loaded then); it is loaded from its start.");
            // The earlier document's position stays as it was stored.
            loader_.KeepPositions(job.File, nullptr, false);
            current = SourcePosition();
            current.fileId = NewFileId();
            current.fileName = job.File;
            isNew = true;
            continue;
        }
        if (end == DownloadEnd::Changed) {
            failure = "the document changed while it was loaded";
            return false;
        }
        break;
    }
    if (!loader_.Flush() && !Recover()) {
        failure = databaseFailure_.message;
        return false;
    }
    loader_.KeepPositions(job.File, nullptr, false);
    return true;
}

} // namespace brenvale
