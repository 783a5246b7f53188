// Countries of listeners' addresses: Debian's IP location database through libloc, or a
// MaxMind-format file through libmaxminddb.
#pragma once

#include "report/report_builder.h"

#include <memory>
#include <string>

namespace brenvale::report {

/// Where Debian's libloc-database keeps its database.
inline constexpr const char* kDefaultLocationDatabase = "/var/lib/location/database.db";

/// Opens `path` (a libloc database); null with `error` set when it cannot be opened.
std::unique_ptr<CountryLookup> OpenLocationDatabase(const std::string& path, std::string& error);
/// Opens `path` (a MaxMind DB such as GeoLite2-Country.mmdb); null with `error` set when it
/// cannot be opened.
std::unique_ptr<CountryLookup> OpenMaxMindDatabase(const std::string& path, std::string& error);

} // namespace brenvale::report
