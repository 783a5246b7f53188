// A report's outputs.
#include "report/report_writers.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace brenvale::report {

namespace {

std::string Quoted(std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(value);
    std::string text = "\"";
    for (const char c : value) {
        if (c == '"')
            text.push_back('"');
        text.push_back(c);
    }
    return text + "\"";
}

/// A value for a tab-delimited line: tabs and line breaks become blanks.
std::string Field(std::string_view value) {
    std::string text(value);
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    return text;
}

double HoursValue(std::int64_t seconds) {
    return std::round(static_cast<double>(seconds) / 3.6) / 1000.0;
}

std::string DateText(const CivilDate& date) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", date.year, date.month, date.day);
    return text;
}

/// Writes `text` to `path` whole; false with `error` naming the path otherwise.
bool WriteWhole(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out << text;
    if (out)
        out.close();
    if (!out) {
        error = "The file '" + path + "' could not be written: " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

nlohmann::json PeriodJson(const PeriodFigures& figures, const StationZone& calendar) {
    return {{"period_start", Iso8601(figures.period.start, calendar)},
            {"period_end", Iso8601(figures.period.end, calendar)},
            {"segments", figures.segments},
            {"listeners", figures.listeners},
            {"listening_hours", HoursValue(figures.seconds)},
            {"peak_listeners", figures.peak}};
}

std::string TitleName(const TitleFigures& title) {
    if (title.artist.empty() && title.title.empty())
        return "(no title)";
    return title.artist.empty() ? title.title : title.artist + " - " + title.title;
}

} // namespace

StationZone CalendarOf(const ReportResult& result, const StationZone& station) {
    return result.utc ? StationZone() : station;
}

void WriteTable(std::ostream& out, const ReportResult& result, const StationZone& calendar) {
    out << "Report " << DateText(result.from) << " to " << DateText(result.to) << " (exclusive) by "
        << PeriodUnitName(result.unit) << ", station time zone " << result.zone
        << (result.utc ? ", periods in UTC" : "") << "\n";
    if (result.minSeconds > 0)
        out << "Segments of at least " << result.minSeconds << " seconds.\n";
    if (!result.country.empty())
        out << "Listeners in " << result.country << " only.\n";
    out << '\n'
        << std::left << std::setw(27) << "period start" << std::right << std::setw(10) << "segments"
        << std::setw(11) << "listeners" << std::setw(16) << "listening hours" << std::setw(7)
        << "peak" << '\n';
    const auto line = [&](const std::string& label, const PeriodFigures& figures) {
        out << std::left << std::setw(27) << label << std::right << std::setw(10)
            << figures.segments << std::setw(11) << figures.listeners << std::setw(16)
            << Hours(figures.seconds) << std::setw(7) << figures.peak << '\n';
    };
    for (const PeriodFigures& figures : result.periods)
        line(Iso8601(figures.period.start, calendar), figures);
    line("total", result.total);

    out << "\nTitles (" << result.titles.size() << "), most performances first:\n";
    std::size_t shown = 0;
    for (const TitleFigures& title : result.titles) {
        if (++shown > 20) {
            out << "  ... " << result.titles.size() - 20 << " more\n";
            break;
        }
        out << std::right << std::setw(8) << title.performances << std::setw(12)
            << Hours(title.seconds) << " h  " << TitleName(title) << '\n';
    }
    if (!result.countries.empty()) {
        out << "\nCountries:\n";
        for (const CountryFigures& country : result.countries)
            out << "  " << std::left << std::setw(8)
                << (country.code.empty() ? "unknown" : country.code) << std::right << std::setw(10)
                << country.segments << " segments" << std::setw(14) << Hours(country.seconds)
                << " h\n";
    }
    out << "\nLeft out (of " << result.rowsRead << " rows read):";
    for (std::size_t i = 0; i < kExclusionCount; ++i)
        out << ' ' << ExclusionName(static_cast<Exclusion>(i)) << ' ' << result.excluded[i]
            << (i + 1 < kExclusionCount ? "," : "\n");
    if (result.outOfOrder > 0)
        out << "Warning: " << result.outOfOrder
            << " rows came out of time order; the peaks may be too low.\n";
}

bool WritePeriodsCsv(const std::string& path, const ReportResult& result,
                     const StationZone& calendar, std::string& error) {
    std::string text =
        "period_start,period_end,segments,listeners,listening_hours,peak_listeners\n";
    for (const PeriodFigures& figures : result.periods)
        text += Iso8601(figures.period.start, calendar) + "," +
                Iso8601(figures.period.end, calendar) + "," + std::to_string(figures.segments) +
                "," + std::to_string(figures.listeners) + "," + Hours(figures.seconds) + "," +
                std::to_string(figures.peak) + "\n";
    return WriteWhole(path, text, error);
}

bool WriteTitlesCsv(const std::string& path, const ReportResult& result, std::string& error) {
    std::string text = "artist,title,performances,listening_hours\n";
    for (const TitleFigures& title : result.titles)
        text += Quoted(title.artist) + "," + Quoted(title.title) + "," +
                std::to_string(title.performances) + "," + Hours(title.seconds) + "\n";
    return WriteWhole(path, text, error);
}

bool WriteJson(const std::string& path, const ReportResult& result, const StationZone& calendar,
               std::string& error) {
    nlohmann::json json;
    json["time_zone"] = result.zone;
    json["periods_in_utc"] = result.utc;
    json["by"] = PeriodUnitName(result.unit);
    json["from"] = DateText(result.from);
    json["to"] = DateText(result.to);
    json["min_seconds"] = result.minSeconds;
    json["country"] = result.country.empty() ? nlohmann::json() : nlohmann::json(result.country);
    json["periods"] = nlohmann::json::array();
    for (const PeriodFigures& figures : result.periods)
        json["periods"].push_back(PeriodJson(figures, calendar));
    json["total"] = PeriodJson(result.total, calendar);
    json["titles"] = nlohmann::json::array();
    for (const TitleFigures& title : result.titles)
        json["titles"].push_back({{"artist", title.artist},
                                  {"title", title.title},
                                  {"performances", title.performances},
                                  {"listening_hours", HoursValue(title.seconds)}});
    json["countries"] = nlohmann::json::array();
    for (const CountryFigures& country : result.countries)
        json["countries"].push_back(
            {{"country", country.code.empty() ? nlohmann::json() : nlohmann::json(country.code)},
             {"segments", country.segments},
             {"listening_hours", HoursValue(country.seconds)}});
    nlohmann::json& excluded = json["exclusions"];
    excluded = nlohmann::json::object();
    for (std::size_t i = 0; i < kExclusionCount; ++i)
        excluded[ExclusionName(static_cast<Exclusion>(i))] = result.excluded[i];
    json["rows_read"] = result.rowsRead;
    json["rows_out_of_order"] = result.outOfOrder;
    // Titles are UTF-8 as the loader stores them; anything else is replaced, not refused.
    return WriteWhole(
        path, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", error);
}

bool WriteSoundExchange(const std::string& path, const ReportResult& result,
                        const std::string& service, const std::string& category,
                        std::uint64_t& untitled, std::string& error) {
    untitled = 0;
    std::string text = "NAME_OF_SERVICE\tTRANSMISSION_CATEGORY\tFEATURED_ARTIST\t"
                       "SOUND_RECORDING_TITLE\tISRC\tALBUM_TITLE\tMARKETING_LABEL\t"
                       "ACTUAL_TOTAL_PERFORMANCES\r\n";
    for (const TitleFigures& title : result.titles) {
        if (title.title.empty()) {
            untitled += title.performances;
            continue;
        }
        text += Field(service) + "\t" + Field(category) + "\t" + Field(title.artist) + "\t" +
                Field(title.title) + "\t\t\t\t" + std::to_string(title.performances) + "\r\n";
    }
    return WriteWhole(path, text, error);
}

StreamingLogWriter::StreamingLogWriter(const std::string& path)
    : path_(path), out_(path, std::ios::binary | std::ios::trunc) {}

void StreamingLogWriter::Write(const LogRow& row, const Segment& segment, bool translated) {
    const std::string start = FormatLocalTime(segment.start);
    std::string stream(StreamOf(row.uri.text));
    if (!translated)
        stream = DecodeValue(stream);
    // The layout wants a stream name without blanks.
    for (char& c : stream)
        if (c == ' ' || c == '\t')
            c = '_';
    const std::string agent =
        row.agent.present ? (translated ? std::string(row.agent.text) : DecodeValue(row.agent.text))
                          : std::string();
    out_ << Field(row.address.text) << '\t' << start.substr(0, 10) << '\t' << start.substr(11)
         << '\t' << stream << '\t' << segment.duration << '\t' << Field(row.status.text) << '\t'
         << Field(agent) << "\r\n";
    ++lines_;
}

bool StreamingLogWriter::Close(std::string& error) {
    if (out_)
        out_.close();
    if (!out_) {
        error = "The file '" + path_ + "' could not be written: " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

} // namespace brenvale::report
