// Data source administration over unixODBC's installer library: drivers, DSNs and their
// attributes, written where every other ODBC program reads them.
#pragma once

#include "core/database.h"
#include "data/odbc.h"

#include <string>
#include <utility>
#include <vector>

namespace brenvale::odbc {

/// An installed driver as odbcinst.ini names it.
struct DriverInfo {
    std::string name;
    std::string description;
    std::string library; ///< the "Driver" entry: the driver's shared library
};

/// A data source as the driver manager lists it.
struct DsnInfo {
    std::string name;
    std::string driver;
    DsnScope scope = DsnScope::User;
};

/// Keyword and value pairs of a data source, in file order, "Driver" not among them.
using Attributes = std::vector<std::pair<std::string, std::string>>;

/// A data source as it is written: its name, its driver's name and its other attributes.
struct DsnDefinition {
    std::string name;
    std::string driver;
    Attributes attributes;
};

/// The longest data source name ODBC allows.
inline constexpr int kMaxDsnLength = 32;

/// The drivers with an easier form in the administrator.
enum class DriverKind { Other, SQLite, PostgreSQL };

/// Installed drivers in the driver manager's order; empty when none or no environment.
std::vector<DriverInfo> ListDrivers();

/// User data sources, then system ones, each in the driver manager's order.
std::vector<DsnInfo> ListDsns();

/// Reads the data source `name` of `scope`; fails when there is none.
DbResult ReadDsn(DsnScope scope, const std::string& name, DsnDefinition& definition);

/// Checks a definition before it is written: a valid name, a driver, keywords that the ini file
/// can hold. The failure's message says what is wrong.
DbResult CheckDefinition(const DsnDefinition& definition);

/// Writes `definition` as a user data source. `replaces` is the name being edited (empty when
/// adding); the name must not belong to another user data source. On failure the installer's
/// error text, and the earlier entry is put back as it was.
DbResult WriteUserDsn(const DsnDefinition& definition, const std::string& replaces);

/// Removes the user data source `name`.
DbResult RemoveUserDsn(const std::string& name);

/// Connects to the data source `name` and disconnects; on failure the driver's diagnostic.
DbResult TestDsn(const std::string& name);

/// The file user data sources are written to: ODBCINI, or .odbc.ini in the home folder.
std::string UserIniPath();

/// Which easy form fits the driver, from its name and library.
DriverKind KindOfDriver(const std::string& name, const std::string& library);

/// Looks up `keyword` case-insensitively, as the driver manager does.
const std::string* FindAttribute(const Attributes& attributes, const std::string& keyword);

} // namespace brenvale::odbc
