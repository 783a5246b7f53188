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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <queue>
#include <random>
#include <thread>
#include <unordered_map>

namespace brenvale {

namespace {

// Tries in all to read a job's positions while other loaders' commits hold the database.
constexpr int kPositionAttempts = 10;

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
    if (!gz && plain.size() > stem.size() + 1 + ext.size() &&
        plain.substr(0, stem.size()) == stem && plain[stem.size()] == '_' && EndsWith(plain, ext)) {
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
        // Icecast's own archives: name.ext.YYYYMMDD_HHMMSS.
        if (separator == '.' && number.size() == 15 && number[8] == '_' &&
            AllDigits(number.substr(0, 8)) && AllDigits(number.substr(9))) {
            found.family = 1;
            found.rank =
                std::stoll(std::string(number.substr(0, 8)) + std::string(number.substr(9)));
            return true;
        }
        if (separator == '-' && AllDigits(number)) {
            found.family = 1;
            found.rank = std::stoll(std::string(number.substr(0, 18)));
            return true;
        }
    }
    // Archives: name.ext.gz, and the DNAS archive name_<date_time>_w3c.gz.
    if (gz &&
        (plain == base || (plain.size() > stem.size() + 1 && plain.substr(0, stem.size()) == stem &&
                           plain[stem.size()] == '_'))) {
        found.family = 0;
        found.rank = mtime;
        return true;
    }
    return false;
}

} // namespace

std::string NewFileId() {
    static std::mt19937_64 generator;
    static pid_t seededIn = 0;
    // A forked process seeds its own: it would repeat its parent's next ids.
    if (seededIn != ::getpid()) {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        generator.seed(seed);
        seededIn = ::getpid();
    }
    // Ids of one process ascend (time, then a count), so a run's new position rows append to
    // the key's index instead of touching a page of it per row; the random half keeps them unique
    // across processes and machines.
    static std::uint64_t last = 0;
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    last = std::max(last + 1, static_cast<std::uint64_t>(now.count()) << 16);
    return HashText(last) + HashText(generator());
}

std::string CanonicalSource(const std::string& file) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path path(file);
    // A pattern's folder is resolved; its last part stays a pattern.
    const bool pattern = IsPattern(path.filename().string());
    const fs::path resolved =
        pattern
            ? fs::weakly_canonical(fs::absolute(path, error).parent_path(), error) / path.filename()
            : fs::weakly_canonical(fs::absolute(path, error), error);
    return error || resolved.empty() ? file : resolved.string();
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
                    found.push_back({path, false, 0,
                                     static_cast<long long>(status.st_mtim.tv_sec) * 1000000000 +
                                         status.st_mtim.tv_nsec,
                                     path});
            }
        }
        globfree(&matches);
        // The newest plain match is the one most likely still being written.
        auto newest = found.end();
        for (auto match = found.begin(); match != found.end(); ++match)
            if (!EndsWith(match->path, ".gz") &&
                (newest == found.end() ||
                 std::tie(newest->rank, newest->name) < std::tie(match->rank, match->name)))
                newest = match;
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

/// What scanning one stream found: how long it is.
struct Scan {
    LogStream stream;
    std::uint64_t length = 0;
    bool everyMember = false; ///< a gzip file left unread: nothing stored can describe it
};

/// Hashes each stream's bytes once and checks, at the lengths the positions name, whether they
/// are the bytes a position covered: first its identity (looked up by length and hash), then its
/// whole prefix. Linear in the bytes read and the matches found.
class Scanner {
public:
    explicit Scanner(const std::vector<SourcePosition>& positions)
        : positions_(positions), streamsOf_(positions.size()), cutShortBy_(positions.size(), -1) {
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const SourcePosition& position = positions[i];
            if (position.identityLength == 0 || position.offset == 0)
                continue;
            byIdentity_[{position.identityLength, position.identityHash}].push_back(i);
            identityLengths_.push_back(position.identityLength);
        }
        std::sort(identityLengths_.begin(), identityLengths_.end());
        identityLengths_.erase(std::unique(identityLengths_.begin(), identityLengths_.end()),
                               identityLengths_.end());
    }

    void Start(const LogStream& stream) {
        End();
        scans_.push_back({stream, 0});
        hash_ = kHashStart;
        nextIdentity_ = 0;
        prefixChecks_ = {};
    }

    /// False once nothing more needs to be read for this stream.
    bool Feed(std::string_view bytes) {
        Scan& scan = scans_.back();
        while (!bytes.empty()) {
            const std::uint64_t next = NextCheck();
            std::size_t take = bytes.size();
            if (next != kNone)
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, next - scan.length));
            hash_ = HashBytes(bytes.substr(0, take), hash_);
            scan.length += take;
            bytes.remove_prefix(take);
            if (next == scan.length)
                Check(scan.length);
        }
        return NextCheck() != kNone;
    }

    /// The stream in hand has ended: positions whose identity it begins with but that reach
    /// past its end are noted.
    void End() {
        for (; !prefixChecks_.empty(); prefixChecks_.pop())
            if (cutShortBy_[prefixChecks_.top().second] < 0)
                cutShortBy_[prefixChecks_.top().second] = static_cast<int>(scans_.size()) - 1;
    }

    /// No position to look for: reading only finds the streams.
    bool LooksForNothing() const { return identityLengths_.empty(); }
    std::vector<Scan>& Scans() { return scans_; }
    /// The streams position `p` continues, in the order they were scanned.
    const std::vector<std::size_t>& StreamsOf(std::size_t p) const { return streamsOf_[p]; }
    /// A stream that begins like position `p` but ends before it, or -1.
    int CutShortBy(std::size_t p) const { return cutShortBy_[p]; }

private:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    using Pending = std::pair<std::uint64_t, std::size_t>; // offset, position

    std::uint64_t NextCheck() const {
        std::uint64_t next =
            nextIdentity_ < identityLengths_.size() ? identityLengths_[nextIdentity_] : kNone;
        if (!prefixChecks_.empty())
            next = std::min(next, prefixChecks_.top().first);
        return next;
    }

    void Check(std::uint64_t length) {
        const std::size_t scan = scans_.size() - 1;
        if (nextIdentity_ < identityLengths_.size() && identityLengths_[nextIdentity_] == length) {
            ++nextIdentity_;
            if (const auto found = byIdentity_.find({length, hash_}); found != byIdentity_.end())
                for (const std::size_t p : found->second)
                    prefixChecks_.push({positions_[p].offset, p});
        }
        for (; !prefixChecks_.empty() && prefixChecks_.top().first == length; prefixChecks_.pop())
            if (hash_ == positions_[prefixChecks_.top().second].prefixHash)
                streamsOf_[prefixChecks_.top().second].push_back(scan);
    }

    struct KeyHash {
        std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& key) const {
            return std::hash<std::uint64_t>()(key.first * 0x9E3779B97F4A7C15ull ^ key.second);
        }
    };

    const std::vector<SourcePosition>& positions_;
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::size_t>, KeyHash>
        byIdentity_;
    std::vector<std::uint64_t> identityLengths_;
    std::vector<std::vector<std::size_t>> streamsOf_;
    std::vector<int> cutShortBy_;
    std::vector<Scan> scans_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> prefixChecks_;
    std::size_t nextIdentity_ = 0;
    std::uint64_t hash_ = kHashStart;
};

/// Reads every stream of `streams` once into `scanner`; false with `error` set when one cannot
/// be read.
bool ScanStreams(const std::vector<LogStream>& streams, Scanner& scanner,
                 const std::function<bool()>& keepGoing, std::string& error) {
    for (const LogStream& file : streams) {
        bool gzip = false;
        {
            std::ifstream peek(file.path, std::ios::binary);
            char magic[2] = {};
            gzip = peek.read(magic, 2) && LooksGzip(std::string_view(magic, 2));
        }
        if (gzip && scanner.LooksForNothing()) {
            // Its members are found as they are loaded; reading it twice would double the work.
            scanner.Start(file);
            scanner.Scans().back().everyMember = true;
            scanner.Scans().back().length = 1;
            scanner.End();
            continue;
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
            return !keepGoing || keepGoing();
        };
        // A plain file is read only as far as a position needs; a gzip file to its end, for its
        // members.
        callbacks.onBytes = [&](std::string_view bytes) {
            return (scanner.Feed(bytes) || gzip) && (!keepGoing || keepGoing());
        };
        const LocalReadResult read = ReadLocalLog(file.path, 0, 0, callbacks);
        if (keepGoing && !keepGoing())
            return false;
        if (!read.ok && !read.damaged) {
            error = file.path + ": " + read.error;
            return false;
        }
        // The members before the damage were checked whole and are planned; the damaged one
        // handed on nothing, so it is left out as empty, and so is the rest of the file.
        if (!read.ok && error.empty())
            error = file.path + ": " + read.error;
        // A plain file need not be read to its end: its length is the file's.
        if (!read.gzip && !scanner.Scans().empty() &&
            scanner.Scans().back().stream.path == file.path) {
            struct stat status {};
            if (::stat(file.path.c_str(), &status) == 0)
                scanner.Scans().back().length = static_cast<std::uint64_t>(status.st_size);
        }
        scanner.End();
    }
    return true;
}

/// Gives each of `positions` (the source's own, the first of the scanner's) the oldest stream
/// it continues that no longer position took: `assigned[stream]` is the position's index. False
/// with `error` set when a position that no stream continues reaches past the end of a stream
/// that begins like it.
bool AssignOwnPositions(Scanner& scanner, const std::vector<SourcePosition>& positions,
                        std::vector<int>& assigned, std::string& error) {
    const std::vector<Scan>& scans = scanner.Scans();
    std::vector<std::size_t> order(positions.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // The longest positions first: a short one (a header alone, say) must not take the stream of
    // a longer one.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(positions[b].offset, positions[a].fileId) <
               std::tie(positions[a].offset, positions[b].fileId);
    });
    for (const std::size_t p : order) {
        int best = -1;
        for (const std::size_t s : scanner.StreamsOf(p)) {
            if (assigned[s] >= 0)
                continue;
            if (best < 0 || scans[s].stream.age < scans[static_cast<std::size_t>(best)].stream.age)
                best = static_cast<int>(s);
        }
        if (best >= 0) {
            assigned[static_cast<std::size_t>(best)] = static_cast<int>(p);
        } else if (const int cut = scanner.CutShortBy(p); cut >= 0) {
            // Loading it as new would store its lines a second time.
            const SourcePosition& position = positions[p];
            const Scan& scan = scans[static_cast<std::size_t>(cut)];
            error = "the stored position of '" + scan.stream.Name() + "' (line " +
                    std::to_string(position.line) + ", byte " + std::to_string(position.offset) +
                    ") lies past the end of the file (" + std::to_string(scan.length) +
                    " bytes): the position is damaged or the file was cut short, so nothing of "
                    "it was loaded";
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<PlannedStream> PlanIncremental(const std::vector<LogStream>& streams,
                                           const std::vector<SourcePosition>& positions,
                                           std::string& error,
                                           const std::function<bool()>& keepGoing,
                                           const std::vector<SourcePosition>& others) {
    std::vector<SourcePosition> all = positions;
    all.insert(all.end(), others.begin(), others.end());
    Scanner scanner(all);
    if (!ScanStreams(streams, scanner, keepGoing, error))
        return {};
    std::vector<Scan>& scans = scanner.Scans();
    std::vector<int> assigned(scans.size(), -1);
    if (!AssignOwnPositions(scanner, positions, assigned, error))
        return {};

    // Content another source (the same log named another way) loaded further is not loaded
    // twice: the stream goes on from there.
    std::vector<int> further(scans.size(), -1);
    for (std::size_t p = positions.size(); p < all.size(); ++p)
        for (const std::size_t s : scanner.StreamsOf(p)) {
            const std::uint64_t reached =
                further[s] >= 0    ? all[static_cast<std::size_t>(further[s])].offset
                : assigned[s] >= 0 ? positions[static_cast<std::size_t>(assigned[s])].offset
                                   : 0;
            if (all[p].offset > reached)
                further[s] = static_cast<int>(p);
        }

    std::vector<PlannedStream> plan;
    for (std::size_t s = 0; s < scans.size(); ++s) {
        if (scans[s].length == 0)
            continue;
        PlannedStream planned;
        planned.stream = scans[s].stream;
        planned.length = scans[s].length;
        planned.everyMember = scans[s].everyMember;
        if (assigned[s] >= 0) {
            planned.position = positions[static_cast<std::size_t>(assigned[s])];
            planned.isNew = false;
        } else {
            planned.position.fileId = NewFileId();
        }
        if (further[s] >= 0) {
            const SourcePosition& other = all[static_cast<std::size_t>(further[s])];
            planned.position.offset = other.offset;
            planned.position.line = other.line;
            planned.position.prefixHash = other.prefixHash;
            planned.position.identityHash = other.identityHash;
            planned.position.identityLength = other.identityLength;
        }
        planned.position.fileName = planned.stream.Name();
        plan.push_back(std::move(planned));
    }
    std::stable_sort(plan.begin(), plan.end(), [](const PlannedStream& a, const PlannedStream& b) {
        return a.stream.age < b.stream.age;
    });
    return plan;
}

bool JobRunner::ReadPositions(const Job& job, const std::string& source,
                              std::vector<SourcePosition>& positions,
                              std::vector<SourcePosition>& others, SourceClaim& claim,
                              std::string& failure) {
    for (int attempt = 1;; ++attempt) {
        DbResult read;
        TableWriter* writer = loader_.Writer(job.DBTable, read);
        if (writer) {
            read = writer->LoadPositions(source, positions, claim);
            if (read && !IsDownload(job.File))
                read = writer->LoadOtherPositions(source, others);
            if (read)
                return true;
        }
        // Another loader's commit holds the database (SQLite's one writer): wait for it.
        if (read.failure == DbFailure::Busy && attempt < kPositionAttempts) {
            if (retryWait_)
                retryWait_(attempt);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
            continue;
        }
        // The node went away before the job began: another one serves.
        if (read.failure == DbFailure::ConnectionLost && attempt < kPositionAttempts &&
            ConnectAgain() > 0)
            continue;
        failure = (writer ? "the positions of incremental loading could not be read: "
                          : "the table's writer could not be opened: ") +
                  read.message;
        if (read.Fatal())
            databaseFailure_ = read;
        return false;
    }
}

bool JobRunner::LoadIncremental(const Job& job, std::string& failure) {
    // One log is one source however a job spells it, so runs of either spelling meet.
    const std::string source = IsDownload(job.File) ? job.File : CanonicalSource(job.File);
    std::vector<SourcePosition> positions, others;
    SourceClaim claim;
    if (!ReadPositions(job, source, positions, others, claim, failure))
        return false;
    loader_.KeepPositions(source, claim);
    const bool loaded = IsDownload(job.File)
                            ? LoadDownloadIncremental(job, positions, failure)
                            : LoadFilesIncremental(job, positions, others, failure);
    // What is in hand is committed with its position before the loader forgets it.
    if (loaded && !loader_.Flush() && !Recover()) {
        failure = failure.empty() ? databaseFailure_.message : failure;
        return false;
    }
    loader_.StopKeepingPositions();
    return loaded;
}

bool JobRunner::LoadFilesIncremental(const Job& job, const std::vector<SourcePosition>& positions,
                                     const std::vector<SourcePosition>& others,
                                     std::string& failure) {
    const std::vector<LogStream> streams = FindLogStreams(job.File, failure);
    if (streams.empty())
        return false;
    // A long planning sees a cancel as loading does.
    const std::vector<PlannedStream> plan = PlanIncremental(
        streams, positions, failure, [this] { return KeepResponsive(); }, others);
    if (plan.empty())
        return failure.empty();
    std::string damage = failure; // a damaged archive fails the job once the rest is in
    // The streams of one file (the members of a gzip archive) are read in one pass.
    for (std::size_t first = 0; first < plan.size() && !host_.state.bCancel && !heldBack_;) {
        std::size_t end = first + 1;
        while (end < plan.size() && plan[end].stream.path == plan[first].stream.path)
            ++end;
        if (!LoadPlannedFile(job, std::span(plan).subspan(first, end - first), failure, damage))
            return false;
        first = end;
    }
    failure = damage;
    return damage.empty();
}

namespace {

/// Member `member` of a gzip file planned unread, met at `fileOffset`: new content.
PlannedStream NewMember(const PlannedStream& file, int member, std::uint64_t fileOffset) {
    PlannedStream planned = file;
    planned.stream.member = member;
    planned.stream.fileOffset = fileOffset;
    planned.stream.age = file.stream.age + member;
    planned.stream.live = false; // a gzip member is complete
    planned.position = {};
    planned.position.fileId = NewFileId();
    planned.position.fileName = planned.stream.Name();
    return planned;
}

} // namespace

bool JobRunner::LoadPlannedFile(const Job& job, std::span<const PlannedStream> members,
                                std::string& failure, std::string& damage) {
    std::map<int, const PlannedStream*> toLoad;
    for (const PlannedStream& planned : members) {
        const SourcePosition& p = planned.position;
        if (!planned.stream.live && !planned.isNew && p.offset >= planned.length) {
            // Loaded to its end before: not read again.
            if (observer_)
                observer_->OnStream(planned.stream.Name(), planned.stream.member, p.line, false);
            continue;
        }
        toLoad[planned.stream.member] = &planned;
    }
    if (toLoad.empty())
        return true;
    const PlannedStream& first = *toLoad.begin()->second;
    std::map<int, PlannedStream> met; // the members of a file planned unread, as they come
    int resumed = -1;
    LocalStreams read;
    read.from = {toLoad.begin()->first, MarkOf(first.position), first.stream.fileOffset};
    read.last = first.everyMember ? -1 : toLoad.rbegin()->first;
    // A line without its line feed is never stored: its stream may still grow (a pattern's
    // newest match cannot be told from the live file for sure), and a later run loads it whole.
    read.holdBack = true;
    read.mayGrow = first.stream.live;
    read.begin = [&](int member, std::uint64_t fileOffset) -> std::optional<LineMark> {
        if (first.everyMember && !toLoad.contains(member))
            toLoad[member] =
                &met.emplace(member, NewMember(first, member, fileOffset)).first->second;
        const auto found = toLoad.find(member);
        if (found == toLoad.end())
            return std::nullopt;
        if (member == resumed)
            return loader_.Committed();
        BeginPlannedStream(*found->second);
        LineMark start = MarkOf(found->second->position);
        start.stream = member;
        return start;
    };
    if (first.everyMember)
        read.damaged = [&](const std::string& error) {
            if (damage.empty())
                damage = error;
        };
    read.ended = [&](int member) {
        const PlannedStream& planned = *toLoad.at(member);
        if (!planned.stream.live && loader_.LastLine().line > planned.position.line && observer_)
            observer_->OnStream(planned.stream.Name(), member, 0, true);
    };
    for (;;) {
        const bool loaded = ReadLocal(first.stream.path, job.DBTable, read, failure);
        // The members share batches; the next file's positions start with none in hand.
        if (!loader_.Stopped() && loader_.Flush())
            return loaded;
        if (!Recover()) {
            failure = RecoveryFailure();
            return false;
        }
        // On from the last committed line, in its member, with its kept position.
        const LineMark& committed = loader_.Committed();
        if (const auto found = toLoad.find(committed.stream); found != toLoad.end()) {
            resumed = committed.stream;
            read.from = {resumed, committed, found->second->stream.fileOffset};
        }
    }
}

void JobRunner::BeginPlannedStream(const PlannedStream& planned) {
    const SourcePosition& p = planned.position;
    loader_.StartPosition(p, planned.isNew, planned.stream.member);
    streamName_ = planned.stream.Name();
    if (observer_)
        observer_->OnStream(streamName_, planned.stream.member, p.line, false);
    // Which file is in hand, and how much of it earlier runs loaded.
    if (p.line > 0)
        host_.status.SetStatus(std::string(planned.stream.live ? "Status:  Parsing file '"
                                                               : "Status:  Finishing file '") +
                               GetFileName(streamName_) + "' after line " + std::to_string(p.line));
    else
        host_.status.SetStatus("Status:  Parsing file '" + GetFileName(streamName_) + "'");
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
        loader_.StartPosition(current, isNew);
        if (observer_)
            observer_->OnStream(job.File, 0, current.line, false);
        LineMark from = MarkOf(current);
        DownloadOptions options;
        options.useRange = current.validator != kGzipDocument;
        options.validator = current.validator;
        options.holdBack = true;
        options.keepValidator = true;
        DownloadEnd end = DownloadEnd::Done;
        for (;;) {
            end = ReadURL(job.File, job.DBTable, from, options, failure);
            if (!loader_.Stopped())
                break;
            if (!Recover()) {
                failure = RecoveryFailure();
                return false;
            }
            from = loader_.Committed();
        }
        if (end == DownloadEnd::Failed) {
            // The whole lines that came before the failure go in with their position.
            const std::string why = failure;
            failure = !loader_.Flush() && !Recover() ? RecoveryFailure() : why;
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
    return true;
}

} // namespace brenvale
