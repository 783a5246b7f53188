// A target table made for SHOUTcast logs.
#include "data/create_table.h"

#include "core/job.h"
#include "data/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace brenvale {

namespace {

struct TypeRow {
    std::string name;
    long size = 0;
    std::string createParams;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

/// The types the driver offers for `sqlType`, best first as the driver orders them.
DbResult TypesFor(odbc::Connection& connection, SQLSMALLINT sqlType, std::vector<TypeRow>& rows) {
    rows.clear();
    odbc::Handle stmt;
    if (DbResult made = connection.NewStatement(stmt); !made)
        return made;
    if (!SQL_SUCCEEDED(SQLGetTypeInfo(stmt.get(), sqlType)))
        return connection.StatementFailure(stmt.get(), "the driver's types could not be read");
    while (SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
        std::array<char, 256> name{};
        std::array<char, 256> params{};
        SQLINTEGER size = 0;
        SQLLEN length = 0;
        TypeRow row;
        if (SQL_SUCCEEDED(
                SQLGetData(stmt.get(), 1, SQL_C_CHAR, name.data(), name.size(), &length)) &&
            length != SQL_NULL_DATA)
            row.name = name.data();
        if (SQL_SUCCEEDED(SQLGetData(stmt.get(), 3, SQL_C_SLONG, &size, 0, &length)) &&
            length != SQL_NULL_DATA)
            row.size = size;
        if (SQL_SUCCEEDED(
                SQLGetData(stmt.get(), 6, SQL_C_CHAR, params.data(), params.size(), &length)) &&
            length != SQL_NULL_DATA)
            row.createParams = params.data();
        if (!row.name.empty())
            rows.push_back(std::move(row));
    }
    return DbResult::Success();
}

/// The first offered type that is not unsigned, as it is written in a CREATE TABLE.
bool PickType(odbc::Connection& connection, SQLSMALLINT sqlType, long length, std::string& type,
              DbResult& error) {
    std::vector<TypeRow> rows;
    error = TypesFor(connection, sqlType, rows);
    if (!error)
        return false;
    for (const TypeRow& row : rows) {
        const std::string name = Lower(row.name);
        if (name.find("unsigned") != std::string::npos || name == "enum" || name == "set")
            continue;
        if (sqlType == SQL_TYPE_TIMESTAMP && name == "timestamp" &&
            std::any_of(rows.begin(), rows.end(),
                        [](const TypeRow& other) { return Lower(other.name) == "datetime"; }))
            continue; // MariaDB's TIMESTAMP ends in 2038 and converts time zones
        if (length > 0 && row.size > 0 && row.size < length)
            continue;
        type = row.name;
        // A time zone would shift the log's local times by the session's.
        if (sqlType == SQL_TYPE_TIMESTAMP && name == "timestamptz")
            type = "timestamp";
        if (length > 0 && !row.createParams.empty())
            type += "(" + std::to_string(length) + ")";
        return true;
    }
    error = DbResult::Failure("HYC00", "The driver offers no type for SQL type " +
                                           std::to_string(sqlType) + ".");
    return false;
}

} // namespace

std::string LogTableDefinition(odbc::Connection& connection, const std::string& table,
                               DbResult& error) {
    std::string shortText;
    std::string longText;
    std::string timestamp;
    std::string integer;
    std::string bigInteger;
    // An IPv6 address or a host name fits 255 characters; titles and user agents can be longer
    // than any driver promises for VARCHAR, so they get the long text type.
    if (!PickType(connection, SQL_VARCHAR, 255, shortText, error) ||
        !PickType(connection, SQL_LONGVARCHAR, 0, longText, error) ||
        !PickType(connection, SQL_TYPE_TIMESTAMP, 0, timestamp, error) ||
        !PickType(connection, SQL_INTEGER, 0, integer, error) ||
        !PickType(connection, SQL_BIGINT, 0, bigInteger, error))
        return {};
    // A server's default engine may be one that cannot roll back, or that a Galera cluster
    // does not replicate (MyISAM).
    const std::string engine =
        connection.DbProduct() == Product::MariaDB ? " ENGINE=InnoDB" : std::string();
    return "CREATE TABLE " + TypedTableSql(table, connection.IdentifierQuote()) + " (c_ip " +
           shortText + ", c_dns " + shortText + ", log_time " + timestamp + ", cs_uri_stem " +
           longText + ", c_status " + integer + ", user_agent " + longText + ", sc_bytes " +
           bigInteger + ", x_duration " + integer + ", avgbandwidth " + bigInteger + ")" + engine;
}

DbResult CreateLogTable(odbc::Connection& connection, const std::string& table) {
    // A log table of that name would stand where the positions are kept.
    if (IsProgramTable(table))
        return DbResult::Failure("42P07", "'" + table +
                                              "' is the name of the table in which this program "
                                              "keeps how far each log was loaded.");
    DbResult error;
    const std::string sql = LogTableDefinition(connection, table, error);
    if (sql.empty())
        return error;
    return connection.Execute(sql);
}

} // namespace brenvale
