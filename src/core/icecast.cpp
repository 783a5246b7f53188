// Icecast's access and playlist logs read as SHOUTcast's rows.
#include "core/icecast.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace brenvale {

namespace {

constexpr std::uint64_t kMaxNumber = (std::uint64_t{1} << 62) - 1;

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

/// Digits only, at most kMaxNumber.
bool ParseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (const char c : text) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= kMaxNumber;
}

bool Digits(std::string_view text, std::size_t count, int& value) {
    if (text.size() < count)
        return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!IsDigit(text[i]))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return sys_days{year{static_cast<int>(y)} / month{m} / day{d}}.time_since_epoch().count();
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    using namespace std::chrono;
    const year_month_day date{sys_days{days{z}}};
    y = static_cast<int>(date.year());
    m = static_cast<unsigned>(date.month());
    d = static_cast<unsigned>(date.day());
}

unsigned DaysInMonth(int y, unsigned m) {
    using namespace std::chrono;
    return static_cast<unsigned>(year_month_day_last{year{y}, month_day_last{month{m}}}.day());
}

/// A quoted field at the start of `text`: its text with the escapes undone, and the rest of
/// `text` after the closing quote. Icecast writes a quote inside as \x22.
bool TakeQuoted(std::string_view& text, std::string& value) {
    if (text.empty() || text.front() != '"')
        return false;
    value.clear();
    std::size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            value.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        int high = 0;
        int low = 0;
        const auto hex = [](char c, int& v) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
            v = IsDigit(c) ? c - '0' : Lower(c) - 'a' + 10;
            return true;
        };
        if (next == 'x' && i + 3 < text.size() && hex(text[i + 2], high) && hex(text[i + 3], low)) {
            value.push_back(static_cast<char>(high * 16 + low));
            i += 3;
        } else if (next == '"' || next == '\\') {
            value.push_back(next);
            ++i;
        } else {
            value.push_back('\\');
        }
    }
    if (i >= text.size())
        return false;
    text.remove_prefix(i + 1);
    return true;
}

/// The word at the start of `text` up to the next blank, and the rest after that blank.
std::string_view TakeWord(std::string_view& text) {
    const std::size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    return word;
}

bool TakeBlank(std::string_view& text) {
    if (text.empty() || text.front() != ' ')
        return false;
    text.remove_prefix(1);
    return true;
}

void SplitRequest(std::string_view request, AccessLine& line) {
    const std::size_t first = request.find(' ');
    if (first == std::string_view::npos) {
        line.path.assign(request);
        return;
    }
    line.method.assign(request.substr(0, first));
    std::string_view rest = request.substr(first + 1);
    const std::size_t last = rest.rfind(' ');
    // The protocol ends the request when there is one.
    if (last != std::string_view::npos && rest.substr(last + 1).starts_with("HTTP/"))
        rest = rest.substr(0, last);
    line.path.assign(rest);
}

std::string RequestText(const AccessLine& line) {
    if (line.method == "GET" || line.method.empty())
        return line.path;
    return line.method + " " + line.path;
}

using Wide = unsigned __int128;

/// floor(bytes × part ÷ whole), exactly.
std::uint64_t Share(std::uint64_t bytes, std::uint64_t part, std::uint64_t whole) {
    return static_cast<std::uint64_t>(Wide{bytes} * part / whole);
}

} // namespace

std::optional<LogFormat> ParseLogFormat(std::string_view name) {
    if (name.empty() || SameLetters(name, "auto"))
        return LogFormat::Auto;
    if (SameLetters(name, "shoutcast") || SameLetters(name, "w3c"))
        return LogFormat::W3C;
    if (SameLetters(name, "icecast") || SameLetters(name, "icecast-access"))
        return LogFormat::IcecastAccess;
    if (SameLetters(name, "icecast-playlist"))
        return LogFormat::IcecastPlaylist;
    return std::nullopt;
}

const char* LogFormatName(LogFormat format) {
    switch (format) {
    case LogFormat::W3C:
        return "shoutcast";
    case LogFormat::IcecastAccess:
        return "icecast";
    case LogFormat::IcecastPlaylist:
        return "icecast-playlist";
    case LogFormat::Auto:
        break;
    }
    return "auto";
}

LogFormat DetectLineFormat(std::string_view line) {
    // Icecast writes no directives; SHOUTcast starts its log with them.
    if (line.starts_with('#'))
        return LogFormat::W3C;
    if (ParseAccessLine(line))
        return LogFormat::IcecastAccess;
    if (ParsePlaylistLine(line))
        return LogFormat::IcecastPlaylist;
    // Ten fields, the third a date.
    std::string_view rest = line;
    std::string_view date;
    int fields = 0;
    while (!rest.empty() || fields == 0) {
        const std::string_view word = TakeWord(rest);
        if (++fields == 3)
            date = word;
        if (rest.empty())
            break;
    }
    int number = 0;
    if (fields >= 10 && date.size() == 10 && Digits(date, 4, number) && date[4] == '-' &&
        Digits(date.substr(5), 2, number) && date[7] == '-' && Digits(date.substr(8), 2, number))
        return LogFormat::W3C;
    return LogFormat::Auto;
}

std::optional<LogTime> ParseLogTime(std::string_view text) {
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // dd/Mon/yyyy:hh:mm:ss +hhmm
    if (text.size() != 26 || text[2] != '/' || text[6] != '/' || text[11] != ':' ||
        text[14] != ':' || text[17] != ':' || text[20] != ' ' ||
        (text[21] != '+' && text[21] != '-'))
        return std::nullopt;
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
    if (!Digits(text, 2, day) || !Digits(text.substr(7), 4, year) ||
        !Digits(text.substr(12), 2, hour) || !Digits(text.substr(15), 2, minute) ||
        !Digits(text.substr(18), 2, second) || !Digits(text.substr(22), 2, zoneHours) ||
        !Digits(text.substr(24), 2, zoneMinutes))
        return std::nullopt;
    unsigned month = 0;
    for (unsigned m = 0; m < 12; ++m)
        if (text.substr(3, 3) == kMonths[m])
            month = m + 1;
    if (month == 0 || day < 1 || static_cast<unsigned>(day) > DaysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 60 || zoneHours > 23 || zoneMinutes > 59)
        return std::nullopt;
    LogTime time;
    time.local = DaysFromCivil(year, month, static_cast<unsigned>(day)) * 86400 +
                 std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + std::min(second, 59);
    time.offset = (zoneHours * 3600 + zoneMinutes * 60) * (text[21] == '-' ? -1 : 1);
    return time;
}

std::string FormatLocalTime(std::int64_t local) {
    const std::int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    const std::int64_t seconds = local - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld",
                  static_cast<long long>(year), month, day, static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

bool AccessLine::Listening() const {
    const std::string_view mount = Mount();
    return method == "GET" && status == "200" && mount.starts_with('/') &&
           !mount.starts_with("/admin/") && mount != "/admin";
}

std::optional<AccessLine> ParseAccessLine(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    AccessLine line;
    line.address.assign(TakeWord(text));
    const std::string_view ident = TakeWord(text);
    const std::string_view user = TakeWord(text);
    if (line.address.empty() || ident.empty() || user.empty() || !text.starts_with('[') ||
        text.size() < 28 || text[27] != ']')
        return std::nullopt;
    const std::optional<LogTime> end = ParseLogTime(text.substr(1, 26));
    if (!end)
        return std::nullopt;
    line.end = *end;
    text.remove_prefix(28);
    std::string request, referer;
    if (!TakeBlank(text) || !TakeQuoted(text, request) || !TakeBlank(text))
        return std::nullopt;
    SplitRequest(request, line);
    line.status.assign(TakeWord(text));
    std::uint64_t status = 0;
    if (line.status.size() != 3 || !ParseNumber(line.status, status) ||
        !ParseNumber(TakeWord(text), line.bytes))
        return std::nullopt;
    if (!TakeQuoted(text, referer) || !TakeBlank(text) || !TakeQuoted(text, line.agent) ||
        !TakeBlank(text) || !ParseNumber(text, line.seconds))
        return std::nullopt;
    if (line.agent.empty())
        line.agent = "-";
    return line;
}

std::optional<PlaylistLine> ParsePlaylistLine(std::string_view text) {
    const std::size_t first = text.find('|');
    if (first == std::string_view::npos)
        return std::nullopt;
    const std::size_t second = text.find('|', first + 1);
    const std::size_t third =
        second == std::string_view::npos ? second : text.find('|', second + 1);
    if (third == std::string_view::npos)
        return std::nullopt;
    const std::optional<LogTime> time = ParseLogTime(text.substr(0, first));
    const std::string_view mount = text.substr(first + 1, second - first - 1);
    if (!time || !mount.starts_with('/'))
        return std::nullopt;
    return PlaylistLine{*time, std::string(mount), std::string(text.substr(third + 1))};
}

void TitleTimeline::Add(const PlaylistLine& line) {
    const std::int64_t at = line.time.Instant();
    Mount& mount = mounts_[line.mount];
    if (!mount.changes.empty() && at < mount.changes.back().at)
        mount.sorted = false;
    mount.changes.push_back({at, line.title});
    reach_ = reach_ ? std::max(*reach_, at) : at;
}

const std::vector<TitleTimeline::Change>& TitleTimeline::Changes(std::string_view name) const {
    static const std::vector<Change> kNone;
    const auto found = mounts_.find(name);
    if (found == mounts_.end())
        return kNone;
    Mount& mount = found->second;
    if (!mount.sorted) {
        std::stable_sort(mount.changes.begin(), mount.changes.end(),
                         [](const Change& a, const Change& b) { return a.at < b.at; });
        mount.sorted = true;
    }
    // The last title of a second is the one in force; the same title again is no change.
    std::vector<Change>& changes = mount.changes;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (i + 1 < changes.size() && changes[i + 1].at == changes[i].at)
            continue;
        if (kept > 0 && changes[kept - 1].title == changes[i].title)
            continue;
        if (kept != i)
            changes[kept] = std::move(changes[i]);
        ++kept;
    }
    changes.resize(kept);
    return changes;
}

std::string EscapeTitle(std::string_view title) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(title.size());
    for (const char c : title) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        }
    }
    return out;
}

std::uint64_t AverageBitRate(std::uint64_t bytes, std::uint64_t seconds) {
    if (seconds == 0)
        return 0;
    return static_cast<std::uint64_t>((Wide{bytes} * 16 + seconds) / (Wide{seconds} * 2));
}

void AccessRows(const AccessLine& line, const TitleTimeline* titles, std::vector<RowTexts>& rows) {
    const std::string request = RequestText(line);
    const auto add = [&](std::int64_t endLocal, const std::string& uri, std::uint64_t bytes,
                         std::uint64_t seconds) {
        rows.push_back({line.address, line.address, FormatLocalTime(endLocal), uri, line.status,
                        line.agent, std::to_string(bytes), std::to_string(seconds),
                        std::to_string(AverageBitRate(bytes, seconds))});
    };
    const std::vector<TitleTimeline::Change>* changes =
        titles && line.Listening() ? &titles->Changes(line.Mount()) : nullptr;
    if (!changes || changes->empty()) {
        add(line.end.local, request, line.bytes, line.seconds);
        return;
    }
    const std::int64_t end = line.end.Instant();
    const std::int64_t start = end - static_cast<std::int64_t>(line.seconds);
    // The first change after the start; the one before it is in force at the start.
    auto next =
        std::upper_bound(changes->begin(), changes->end(), start,
                         [](std::int64_t at, const auto& change) { return at < change.at; });
    const std::string mount = std::string(line.Mount()) + "?title=";
    const TitleTimeline::Change* current = next == changes->begin() ? nullptr : &*(next - 1);
    std::int64_t from = start;
    std::uint64_t bytesBefore = 0;
    for (;;) {
        const bool last = next == changes->end() || next->at >= end;
        const std::int64_t to = last ? end : next->at;
        const auto elapsed = static_cast<std::uint64_t>(to - start);
        const std::uint64_t bytesTo = last ? line.bytes : Share(line.bytes, elapsed, line.seconds);
        add(to + line.end.offset, current ? mount + EscapeTitle(current->title) : request,
            bytesTo - bytesBefore, static_cast<std::uint64_t>(to - from));
        if (last)
            return;
        current = &*next++;
        from = to;
        bytesBefore = bytesTo;
    }
}

} // namespace brenvale
