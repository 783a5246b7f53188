// A session that runs SQL text with parameters: an ODBC connection or a libpq one. The position
// bookkeeping and the table check use it, whichever session carries a job's rows.
#pragma once

#include "core/database.h"

#include <optional>
#include <string>
#include <vector>

namespace brenvale {

/// The database products whose quirks the data layer knows.
enum class Product { Other, SQLite, PostgreSQL, MariaDB };

/// Rows read back: one text per column, nullopt for NULL.
using SqlRows = std::vector<std::vector<std::optional<std::string>>>;

class SqlSession {
public:
    virtual ~SqlSession() = default;
    virtual Product DbProduct() = 0;
    /// Runs `sql` with `params` bound in order as text; `affected`, when given, receives the
    /// number of rows the statement changed (-1 when the driver cannot tell).
    virtual DbResult Run(const std::string& sql, const std::vector<std::string>& params = {},
                         long* affected = nullptr) = 0;
    /// Runs a query with text parameters and reads every row as text.
    virtual DbResult Select(const std::string& sql, const std::vector<std::string>& params,
                            SqlRows& rows) = 0;
    /// `name` ready for a statement: plain identifiers as typed, anything else quoted.
    virtual std::string QuoteIdentifier(const std::string& name) = 0;
    /// Whether the current database or schema has a table or view named exactly `name`.
    virtual DbResult HasTable(const std::string& name, bool& exists) = 0;
};

/// True when `name` needs no quotes: letters, digits, "_" and "$" in parts joined by ".".
bool IsPlainIdentifier(const std::string& name);

/// `name` between `quote` characters with embedded ones doubled; plain identifiers as typed.
std::string QuoteIdentifierWith(const std::string& name, const std::string& quote);

/// `name` between `quote` characters with embedded ones doubled, always; a driver without a
/// quote character ("" or " ") gets the standard's double quote.
std::string QuotedWith(const std::string& name, const std::string& quote);

/// The product of a DBMS name as drivers report it.
Product ProductOf(const std::string& dbmsName);

/// MariaDB's answer on a Galera node that takes no statements now ("WSREP has not yet prepared
/// node for application use"): joining, or outside the cluster's primary component.
inline constexpr long kGaleraNotReady = 1047;

/// The kind of failure of a diagnostic: connection lost, disk full, busy or a plain refusal.
DbFailure ClassifyFailure(Product product, const std::string& sqlState, long native,
                          const std::string& message);

} // namespace brenvale
