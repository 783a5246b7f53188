// A job's table as people type it ("logs", "Logs", "other.\"Logs2\"") and the text that names the
// catalogue's table in statements.
#pragma once

#include <string>
#include <vector>

namespace brenvale {

/// How a database takes a name written without quotes.
enum class NameFolding {
    Exact,   ///< as written (MariaDB with lower_case_table_names 0)
    Lower,   ///< in lower case (PostgreSQL)
    Upper,   ///< in upper case (the standard's way)
    AnyCase, ///< letter case does not matter (SQLite; MariaDB with lower_case_table_names 1, 2)
};

/// One part of a typed name; `quoted` when it was written between quotes (then it means exactly
/// its text).
struct NamePart {
    std::string text;
    bool quoted = false;
};

/// `typed` cut at the dots outside quotes ('"', and `quote` where the driver quotes otherwise),
/// quotes taken off and doubled ones made single. False for an empty part, an unclosed quote or
/// text after a closing one.
bool SplitTableName(const std::string& typed, const std::string& quote,
                    std::vector<NamePart>& parts);

/// `text` as the database folds a name written without quotes (AnyCase: in lower case).
std::string Folded(const std::string& text, NameFolding folding);

/// Whether the catalogue's `name` is what `part` means once the database folds it: a part in
/// another letter case, where the database takes it so (a quoted one only where letter case
/// never matters). The exact name is not asked.
bool FoldedMatch(const std::string& name, const NamePart& part, NameFolding folding);

/// A table as the catalogue spells it, with the text that names it in statements.
struct ResolvedTable {
    std::string catalog;
    std::string schema;
    std::string name;
    std::string sql; ///< ready for a statement: each part quoted where it must be
};

/// `name` (one part, as the catalogue spells it) for a statement: bare where the database would
/// take it bare as the same name, otherwise between `quote` characters.
std::string QuotedPart(const std::string& name, const std::string& quote, NameFolding folding);

/// The statement text of a table the catalogue does not hold (or one about to be made): each
/// part as typed, a quoted one quoted with `quote`; anything that is not such a name is quoted
/// whole, so it cannot end or change a statement.
std::string TypedTableSql(const std::string& typed, const std::string& quote);

} // namespace brenvale
