// One row of a log table read as a listener's segment.
#include "report/segment.h"

#include "core/general.h"
#include "core/text_encoding.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace brenvale::report {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool ParseWhole(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 12)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

/// A number as a typed column gives it back: digits, or digits and a zero fraction ("65.0").
bool ParseSeconds(std::string_view text, std::int64_t& value) {
    const std::size_t dot = text.find('.');
    if (dot != std::string_view::npos) {
        if (text.find_first_not_of('0', dot + 1) != std::string_view::npos)
            return false;
        text = text.substr(0, dot);
    }
    return ParseWhole(text, value);
}

// Relays and servers that pull a stream, crawlers and uptime monitors: none of them is a person
// listening.
const char* const kBuiltInAgents[] = {
    "shoutcast",
    "icecast",
    "relay",
    "bot",
    "crawler",
    "spider",
    "slurp",
    "uptimerobot",
    "pingdom",
    "statuscake",
    "site24x7",
    "monitor",
    "check_http",
    "nagios",
    "zabbix",
    "curl/",
    "wget/",
    "python-requests",
    "go-http-client",
    "libwww-perl",
    "apache-httpclient",
};

} // namespace

const char* ExclusionName(Exclusion reason) {
    switch (reason) {
    case Exclusion::Unreadable:
        return "unreadable";
    case Exclusion::NotListening:
        return "not_listening";
    case Exclusion::Agent:
        return "agent";
    case Exclusion::Short:
        return "short";
    case Exclusion::Country:
        return "country";
    }
    return "unreadable";
}

AgentFilter::AgentFilter() {
    for (const char* pattern : kBuiltInAgents)
        patterns_.emplace_back(pattern);
}

bool AgentFilter::AddFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "The agent pattern file '" + path + "' cannot be read.";
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        Add(line.substr(first));
    }
    if (in.bad()) {
        error = "The agent pattern file '" + path + "' could not be read to its end.";
        return false;
    }
    return true;
}

void AgentFilter::Add(const std::string& pattern) {
    if (!pattern.empty())
        patterns_.push_back(Lower(pattern));
}

bool AgentFilter::Matches(std::string_view agent) const {
    const std::string lower = Lower(agent);
    for (const std::string& pattern : patterns_) {
        if (pattern.find_first_of("*?") != std::string::npos) {
            if (::fnmatch(pattern.c_str(), lower.c_str(), 0) == 0)
                return true;
        } else if (lower.find(pattern) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string DecodeValue(std::string_view text) {
    if (text.find('%') == std::string_view::npos && IsValidUtf8(text))
        return std::string(text);
    std::string buffer;
    const std::string bytes = TranslateHexCodes(std::string(text));
    return std::string(ToDatabaseText(bytes, buffer));
}

std::string_view StreamOf(std::string_view uri) {
    return uri.substr(0, uri.find('?'));
}

std::string_view RawTitleOf(std::string_view uri, bool translated) {
    const std::size_t query = uri.find('?');
    if (query == std::string_view::npos)
        return {};
    std::size_t at = query + 1;
    while (at < uri.size() && uri.compare(at, 6, "title=") != 0) {
        at = uri.find('&', at);
        if (at == std::string_view::npos)
            return {};
        ++at;
    }
    if (at >= uri.size())
        return {};
    const std::size_t from = at + 6;
    for (std::size_t amp = uri.find('&', from); amp != std::string_view::npos;
         amp = uri.find('&', amp + 1)) {
        if (!translated)
            return uri.substr(from, amp - from);
        std::size_t name = amp + 1;
        while (name < uri.size() && (std::isalnum(static_cast<unsigned char>(uri[name])) ||
                                     uri[name] == '_' || uri[name] == '-'))
            ++name;
        if (name > amp + 1 && name < uri.size() && uri[name] == '=')
            return uri.substr(from, amp - from);
    }
    return uri.substr(from);
}

ArtistTitle SplitArtistTitle(std::string_view title) {
    const std::size_t dash = title.find(" - ");
    if (dash == std::string_view::npos)
        return {"", std::string(title)};
    return {std::string(title.substr(0, dash)), std::string(title.substr(dash + 3))};
}

Segment ReadSegment(const LogRow& row, const StationZone& zone) {
    Segment segment;
    if (!row.time.present || !row.duration.present)
        return segment;
    const std::optional<LocalTime> end = ParseLocalTime(row.time.text);
    std::int64_t duration = 0;
    if (!end || !ParseSeconds(row.duration.text, duration))
        return segment;
    segment.readable = true;
    segment.localEnd = *end;
    segment.duration = duration;
    segment.end = zone.ToInstant(*end);
    segment.start = segment.end - duration;

    std::int64_t status = 0;
    const std::string_view uri = row.uri.present ? row.uri.text : std::string_view();
    segment.listening = row.status.present && ParseSeconds(row.status.text, status) &&
                        status == 200 && !uri.empty() && uri.front() == '/' &&
                        uri.compare(0, 7, "/admin/") != 0 && uri != "/admin";
    return segment;
}

} // namespace brenvale::report
