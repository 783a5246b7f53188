// What every session shares: identifier quoting and the kinds of failure per product.
#include "data/sql_session.h"

#include <cstdlib>

namespace brenvale {

bool IsPlainIdentifier(const std::string& name) {
    const auto isWordChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '$';
    };
    if (name.empty())
        return false;
    bool partStart = true;
    for (const char c : name) {
        if (c == '.') {
            if (partStart)
                return false;
            partStart = true;
            continue;
        }
        if (!isWordChar(c))
            return false;
        partStart = false;
    }
    return !partStart;
}

std::string QuoteIdentifierWith(const std::string& name, const std::string& quote) {
    return IsPlainIdentifier(name) ? name : QuotedWith(name, quote);
}

std::string QuotedWith(const std::string& name, const std::string& quote) {
    // A name that cannot be quoted the driver's way must still not reach the statement bare.
    const std::string q = (quote.empty() || quote == " ") ? std::string("\"") : quote;
    std::string quoted = q;
    for (std::size_t i = 0; i < name.size();) {
        if (name.compare(i, q.size(), q) == 0) {
            quoted += q + q;
            i += q.size();
        } else {
            quoted.push_back(name[i++]);
        }
    }
    return quoted + q;
}

Product ProductOf(const std::string& dbmsName) {
    if (dbmsName == "SQLite")
        return Product::SQLite;
    if (dbmsName == "PostgreSQL")
        return Product::PostgreSQL;
    if (dbmsName.find("MariaDB") != std::string::npos ||
        dbmsName.find("MySQL") != std::string::npos)
        return Product::MariaDB;
    return Product::Other;
}

namespace {

/// SQLite's result code, which its ODBC driver puts in parentheses at the end of the message.
int SqliteCode(const std::string& message) {
    const auto close = message.rfind(')');
    const auto open = message.rfind('(');
    if (close == std::string::npos || open == std::string::npos || open > close)
        return -1;
    const std::string digits = message.substr(open + 1, close - open - 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoi(digits.c_str()) & 0xFF;
}

} // namespace

DbFailure ClassifyFailure(Product product, const std::string& sqlState, long native,
                          const std::string& message) {
    // A Galera node that is not ready for a statement says so with 08S01 on a working connection;
    // the connection finds out whether the node left the primary component.
    if (product == Product::MariaDB && native == kGaleraNotReady)
        return DbFailure::Busy;
    if (sqlState.rfind("08", 0) == 0)
        return DbFailure::ConnectionLost;
    switch (product) {
    case Product::PostgreSQL:
        if (sqlState == "57P01" || sqlState == "57P02" || sqlState == "57P03")
            return DbFailure::ConnectionLost;
        if (sqlState == "53100")
            return DbFailure::DiskFull;
        if (sqlState == "40001" || sqlState == "40P01" || sqlState == "55P03")
            return DbFailure::Busy;
        break;
    case Product::MariaDB:
        switch (native) {
        case 1927: // killed
        case 2002: // cannot connect
        case 2003:
        case 2006: // gone away
        case 2013: // lost during query
        case 2055:
        case 4031: // disconnected for inactivity
            return DbFailure::ConnectionLost;
        case 1021: // disk full
        case 1114: // table full
            return DbFailure::DiskFull;
        case 1205: // lock wait timeout
        case 1213: // deadlock, or a Galera transaction that lost its certification
            return DbFailure::Busy;
        default:
            break;
        }
        break;
    case Product::SQLite:
        switch (SqliteCode(message)) {
        case 5: // busy
        case 6: // locked
            return DbFailure::Busy;
        case 10: // I/O error: a write failed
        case 13: // full
            return DbFailure::DiskFull;
        default:
            break;
        }
        break;
    case Product::Other:
        break;
    }
    if (sqlState == "40001" || sqlState == "HYT00")
        return DbFailure::Busy;
    return DbFailure::Refused;
}

} // namespace brenvale
