// Data source administration over unixODBC's installer library: drivers, DSNs and their
// attributes, written where every other ODBC program reads them.
#include "data/odbc_setup.h"

#include "data/odbc.h"

#include <fcntl.h>
#include <odbcinst.h>
#include <pwd.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace brenvale::odbc {

namespace {

constexpr const char* kOdbcIni = "odbc.ini";
// unixODBC reads ini lines into fixed buffers of about a thousand characters.
constexpr std::size_t kMaxKeyword = 100;
constexpr std::size_t kMaxValue = 800;

bool Succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

/// Switches the installer to one scope of data sources and back again.
class ConfigModeGuard {
public:
    explicit ConfigModeGuard(UWORD mode) {
        if (!SQLGetConfigMode(&previous_))
            previous_ = ODBC_BOTH_DSN;
        SQLSetConfigMode(mode);
    }
    ~ConfigModeGuard() { SQLSetConfigMode(previous_); }
    ConfigModeGuard(const ConfigModeGuard&) = delete;
    ConfigModeGuard& operator=(const ConfigModeGuard&) = delete;

private:
    UWORD previous_ = ODBC_BOTH_DSN;
};

UWORD ModeOf(DsnScope scope) {
    return scope == DsnScope::User ? ODBC_USER_DSN : ODBC_SYSTEM_DSN;
}

/// The installer's error texts of the last call, joined; `what` when it has none.
DbResult InstallerFailure(const std::string& what) {
    std::string text;
    for (WORD record = 1; record <= 8; ++record) {
        DWORD code = 0;
        std::array<char, 1024> message{};
        WORD length = 0;
        if (SQLInstallerError(record, &code, message.data(), static_cast<WORD>(message.size()),
                              &length) != SQL_SUCCESS)
            break;
        if (!text.empty())
            text += "\n";
        text += message.data();
    }
    return DbResult::Failure("HY000", text.empty() ? what : what + ": " + text);
}

/// Splits a list of NUL-terminated texts ended by an empty one.
std::vector<std::string> SplitList(const char* data, std::size_t size) {
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at < size && data[at] != '\0') {
        const std::size_t length = strnlen(data + at, size - at);
        items.emplace_back(data + at, length);
        at += length + 1;
    }
    return items;
}

/// SQLGetPrivateProfileString on odbc.ini in the current mode, growing the buffer as needed.
std::vector<char> Profile(const char* section, const char* entry) {
    for (std::size_t size = std::size_t{16} * 1024;; size *= 4) {
        std::vector<char> buffer(size, '\0');
        const int length = SQLGetPrivateProfileString(section, entry, "", buffer.data(),
                                                      static_cast<int>(size), kOdbcIni);
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < size - 2 || size >= std::size_t{16} * 1024 * 1024) {
            buffer.resize(static_cast<std::size_t>(length) + 2, '\0');
            return buffer;
        }
    }
}

bool SectionExists(const std::string& name) {
    const std::vector<char> sections = Profile(nullptr, nullptr);
    for (const std::string& section : SplitList(sections.data(), sections.size()))
        if (SameName(section, name))
            return true;
    return false;
}

DbResult WriteDefinition(const DsnDefinition& definition) {
    if (!SQLWriteDSNToIni(definition.name.c_str(), definition.driver.c_str()))
        return InstallerFailure("The data source '" + definition.name +
                                "' could not be written to " + UserIniPath());
    for (const auto& [keyword, value] : definition.attributes)
        if (!SQLWritePrivateProfileString(definition.name.c_str(), keyword.c_str(), value.c_str(),
                                          kOdbcIni))
            return InstallerFailure("The attribute '" + keyword + "' of '" + definition.name +
                                    "' could not be written to " + UserIniPath());
    return DbResult::Success();
}

bool IsSecret(const std::string& keyword) {
    const std::string lower = Lower(keyword);
    return lower == "password" || lower == "pwd";
}

bool HoldsSecret(const Attributes& attributes) {
    return std::any_of(attributes.begin(), attributes.end(), [](const auto& pair) {
        return IsSecret(pair.first) && !pair.second.empty();
    });
}

bool AnyUserSourceHoldsSecret() {
    const std::vector<char> sections = Profile(nullptr, nullptr);
    for (const std::string& section : SplitList(sections.data(), sections.size())) {
        DsnDefinition definition;
        if (section != "ODBC" && ReadDsn(DsnScope::User, section, definition) &&
            HoldsSecret(definition.attributes))
            return true;
    }
    return false;
}

/// Makes the user file readable by its owner only, creating it empty first when missing so
/// that a password never lies in a file other users may read, not even for a moment.
DbResult MakePrivate(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        const std::string reason = std::error_code(errno, std::generic_category()).message();
        if (fd >= 0)
            ::close(fd);
        return DbResult::Failure("HY000", "The file " + path +
                                              " holds a password but could not be made readable "
                                              "by its owner only: " +
                                              reason + ".");
    }
    ::close(fd);
    return DbResult::Success();
}

bool HasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

} // namespace

std::vector<DriverInfo> ListDrivers() {
    std::vector<DriverInfo> drivers;
    Environment environment;
    if (!environment.ok())
        return drivers;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        std::array<SQLCHAR, 1024> name{};
        std::array<SQLCHAR, 4096> attributes{};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT attributesLength = 0;
        if (!Succeeded(SQLDrivers(environment.get(), direction, name.data(),
                                  static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                  attributes.data(), static_cast<SQLSMALLINT>(attributes.size()),
                                  &attributesLength)))
            break;
        DriverInfo driver{reinterpret_cast<const char*>(name.data()), {}, {}};
        for (const std::string& pair :
             SplitList(reinterpret_cast<const char*>(attributes.data()), attributes.size())) {
            const std::size_t equals = pair.find('=');
            if (equals == std::string::npos)
                continue;
            const std::string keyword = Lower(pair.substr(0, equals));
            if (keyword == "description")
                driver.description = pair.substr(equals + 1);
            else if (keyword == "driver")
                driver.library = pair.substr(equals + 1);
        }
        drivers.push_back(std::move(driver));
    }
    return drivers;
}

std::vector<DsnInfo> ListDsns() {
    std::vector<DsnInfo> sources;
    for (const DsnScope scope : {DsnScope::User, DsnScope::System})
        for (DataSource& source : ListDataSources(scope))
            sources.push_back({std::move(source.name), std::move(source.description), scope});
    return sources;
}

DbResult ReadDsn(DsnScope scope, const std::string& name, DsnDefinition& definition) {
    definition = {};
    const ConfigModeGuard mode(ModeOf(scope));
    if (name.empty() || !SectionExists(name))
        return DbResult::Failure(
            "IM002", "There is no " + std::string(scope == DsnScope::User ? "user" : "system") +
                         " data source named '" + name + "'.");
    definition.name = name;
    const std::vector<char> keywords = Profile(name.c_str(), nullptr);
    for (const std::string& keyword : SplitList(keywords.data(), keywords.size())) {
        const std::vector<char> value = Profile(name.c_str(), keyword.c_str());
        std::string text(value.data());
        if (SameName(keyword, "Driver"))
            definition.driver = std::move(text);
        else
            definition.attributes.emplace_back(keyword, std::move(text));
    }
    return DbResult::Success();
}

DbResult CheckDefinition(const DsnDefinition& definition) {
    const std::string& name = definition.name;
    if (name.empty())
        return DbResult::Failure("HY000", "Enter a name for the data source.");
    if (name.front() == ' ' || name.back() == ' ')
        return DbResult::Failure("HY000", "A data source name cannot begin or end with a blank.");
    if (name.size() > static_cast<std::size_t>(kMaxDsnLength) || HasAny(name, "\r\n") ||
        !SQLValidDSN(name.c_str()))
        return DbResult::Failure("HY000",
                                 "'" + name + "' cannot be a data source name: use at most " +
                                     std::to_string(kMaxDsnLength) +
                                     " characters and none of [ ] { } ( ) , ; ? * = ! @ \\");
    if (definition.driver.empty())
        return DbResult::Failure("HY000", "Choose the driver of the data source.");
    if (HasAny(definition.driver, "\r\n"))
        return DbResult::Failure("HY000", "A driver name cannot contain a line break.");
    std::vector<std::string> seen;
    for (const auto& attribute : definition.attributes) {
        // Plain names: a lambda below may not capture a structured binding (clang 14).
        const std::string& keyword = attribute.first;
        const std::string& value = attribute.second;
        if (keyword.empty())
            return DbResult::Failure("HY000", "Every attribute needs a keyword.");
        if (HasAny(keyword, "=[]\r\n") || keyword.front() == ';' || keyword.front() == '#' ||
            keyword.front() == ' ' || keyword.back() == ' ')
            return DbResult::Failure(
                "HY000", "The keyword '" + keyword +
                             "' cannot contain '=', '[', ']' or a line break, begin with ';' or "
                             "'#', or begin or end with a blank.");
        if (keyword.size() > kMaxKeyword)
            return DbResult::Failure("HY000", "The keyword '" + keyword + "' is longer than " +
                                                  std::to_string(kMaxKeyword) + " characters.");
        if (SameName(keyword, "Driver"))
            return DbResult::Failure("HY000", "The driver is chosen in its own field; remove the "
                                              "'" +
                                                  keyword + "' attribute.");
        if (std::any_of(seen.begin(), seen.end(),
                        [&](const std::string& other) { return SameName(other, keyword); }))
            return DbResult::Failure("HY000", "The keyword '" + keyword + "' is given twice.");
        seen.push_back(keyword);
        if (HasAny(value, "\r\n"))
            return DbResult::Failure("HY000",
                                     "The value of '" + keyword + "' cannot contain a line break.");
        if (value.size() > kMaxValue)
            return DbResult::Failure("HY000", "The value of '" + keyword + "' is longer than " +
                                                  std::to_string(kMaxValue) + " characters.");
    }
    return DbResult::Success();
}

DbResult WriteUserDsn(const DsnDefinition& definition, const std::string& replaces) {
    if (DbResult check = CheckDefinition(definition); !check)
        return check;
    const ConfigModeGuard mode(ODBC_USER_DSN);
    const bool newName = replaces.empty() || !SameName(replaces, definition.name);
    if (newName && SectionExists(definition.name))
        return DbResult::Failure("HY000", "A user data source named '" + definition.name +
                                              "' exists already.");
    if (HoldsSecret(definition.attributes))
        if (DbResult made = MakePrivate(UserIniPath()); !made)
            return made;
    DsnDefinition previous;
    const bool editing = !replaces.empty() && SectionExists(replaces);
    if (editing)
        (void)ReadDsn(DsnScope::User, replaces, previous);
    DbResult written = WriteDefinition(definition);
    if (!written) {
        // Put the file back as it was as far as the installer lets us.
        if (newName)
            (void)SQLRemoveDSNFromIni(definition.name.c_str());
        if (editing)
            (void)WriteDefinition(previous);
        return written;
    }
    if (editing && newName && !SQLRemoveDSNFromIni(replaces.c_str()))
        return InstallerFailure("The data source was written as '" + definition.name +
                                "', but the old entry '" + replaces + "' could not be removed");
    // The installer may have written a new file; any password in it keeps it private.
    if (AnyUserSourceHoldsSecret())
        return MakePrivate(UserIniPath());
    return DbResult::Success();
}

DbResult RemoveUserDsn(const std::string& name) {
    const ConfigModeGuard mode(ODBC_USER_DSN);
    if (name.empty() || !SectionExists(name))
        return DbResult::Failure("IM002", "There is no user data source named '" + name + "'.");
    if (!SQLRemoveDSNFromIni(name.c_str()))
        return InstallerFailure("The data source '" + name + "' could not be removed from " +
                                UserIniPath());
    return DbResult::Success();
}

DbResult TestDsn(const std::string& name) {
    Environment environment;
    if (!environment.ok())
        return DbResult::Failure("HY000", "The ODBC driver manager gave no environment.");
    Connection connection(environment);
    DbResult result = connection.Open(name);
    connection.Close();
    return result;
}

std::string UserIniPath() {
    if (const char* path = std::getenv("ODBCINI"); path && *path)
        return path;
    // The driver manager takes the home folder from the password database, not from HOME.
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
        return std::string(user->pw_dir) + "/.odbc.ini";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.odbc.ini";
}

DriverKind KindOfDriver(const std::string& name, const std::string& library) {
    const std::string text = Lower(name + " " + library);
    if (text.find("sqlite") != std::string::npos)
        return DriverKind::SQLite;
    if (text.find("postgres") != std::string::npos || text.find("psql") != std::string::npos)
        return DriverKind::PostgreSQL;
    return DriverKind::Other;
}

const std::string* FindAttribute(const Attributes& attributes, const std::string& keyword) {
    for (const auto& [key, value] : attributes)
        if (SameName(key, keyword))
            return &value;
    return nullptr;
}

} // namespace brenvale::odbc
