// A report's outputs: a table for the terminal, CSV files of the periods and the titles, JSON
// with everything, SoundExchange's census Report of Use and public radio's streaming log.
#pragma once

#include "report/report_builder.h"

#include <fstream>
#include <iosfwd>
#include <string>

namespace brenvale::report {

/// The zone the periods' times are written in: UTC with `--utc`, else the station's.
StationZone CalendarOf(const ReportResult& result, const StationZone& station);

/// A readable table of the periods and a total line, the largest titles, countries and the
/// exclusions.
void WriteTable(std::ostream& out, const ReportResult& result, const StationZone& calendar);

/// Each writer replaces `path`; false with `error` set (naming the path) when it cannot.
bool WritePeriodsCsv(const std::string& path, const ReportResult& result,
                     const StationZone& calendar, std::string& error);
bool WriteTitlesCsv(const std::string& path, const ReportResult& result, std::string& error);
bool WriteJson(const std::string& path, const ReportResult& result, const StationZone& calendar,
               std::string& error);
/// One line per titled recording: service, transmission category, featured artist, sound
/// recording title, ISRC, album, marketing label (the three left empty), actual total
/// performances; tab-delimited with a header line. `untitled` gets the performances of
/// segments without a title, which cannot be reported.
bool WriteSoundExchange(const std::string& path, const ReportResult& result,
                        const std::string& service, const std::string& category,
                        std::uint64_t& untitled, std::string& error);

/// Public radio's streaming log: one tab-delimited line per counted segment (address, date and
/// time the listener tuned in, in UTC, stream, seconds, status, player).
class StreamingLogWriter {
public:
    /// Opens `path` for writing; ok() tells whether it could.
    explicit StreamingLogWriter(const std::string& path);
    bool ok() const { return static_cast<bool>(out_); }
    void Write(const LogRow& row, const Segment& segment, bool translated);
    /// Closes the file; false with `error` set when something could not be written.
    bool Close(std::string& error);
    std::uint64_t Lines() const { return lines_; }

private:
    std::string path_;
    std::ofstream out_;
    std::uint64_t lines_ = 0;
};

} // namespace brenvale::report
