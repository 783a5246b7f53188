// A job's table as people type it, and the text that names the catalogue's table in statements.
#include "data/table_name.h"

#include "data/sql_session.h"

#include <algorithm>

namespace brenvale {

namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

/// A word every SQL dialect reads as a name without quotes.
bool IsBareWord(const std::string& name) {
    if (name.empty() || !IsLetter(name.front()))
        return false;
    for (const char c : name)
        if (!IsLetter(c) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

bool ReadQuoted(const std::string& typed, std::size_t& at, NamePart& part) {
    const char q = typed[at++];
    part.quoted = true;
    for (;;) {
        if (at >= typed.size())
            return false;
        if (typed[at] == q) {
            if (at + 1 < typed.size() && typed[at + 1] == q) {
                part.text.push_back(q);
                at += 2;
                continue;
            }
            ++at;
            return !part.text.empty();
        }
        part.text.push_back(typed[at++]);
    }
}

} // namespace

bool SplitTableName(const std::string& typed, const std::string& quote,
                    std::vector<NamePart>& parts) {
    parts.clear();
    const auto isQuote = [&](char c) {
        return c == '"' || (quote.size() == 1 && quote[0] != ' ' && c == quote[0]);
    };
    std::size_t at = 0;
    for (;;) {
        NamePart part;
        if (at < typed.size() && isQuote(typed[at])) {
            if (!ReadQuoted(typed, at, part) || (at < typed.size() && typed[at] != '.'))
                return false;
        } else {
            const std::size_t dot = std::min(typed.find('.', at), typed.size());
            part.text = typed.substr(at, dot - at);
            at = dot;
            for (const char c : part.text)
                if (isQuote(c))
                    return false;
            if (part.text.empty())
                return false;
        }
        parts.push_back(std::move(part));
        if (at >= typed.size())
            return true;
        ++at; // the dot; one at the very end leaves an empty part
    }
}

std::string Folded(const std::string& text, NameFolding folding) {
    std::string folded = text;
    for (char& c : folded)
        c = folding == NameFolding::Upper   ? AsciiUpper(c)
            : folding == NameFolding::Exact ? c
                                            : AsciiLower(c);
    return folded;
}

bool FoldedMatch(const std::string& name, const NamePart& part, NameFolding folding) {
    // Quotes keep a name from folding, but not where letter case never mattered.
    if ((part.quoted && folding != NameFolding::AnyCase) || folding == NameFolding::Exact ||
        name.size() != part.text.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char typed = part.text[i];
        const bool same = folding == NameFolding::Lower ? name[i] == AsciiLower(typed)
                          : folding == NameFolding::Upper
                              ? name[i] == AsciiUpper(typed)
                              : AsciiLower(name[i]) == AsciiLower(typed);
        if (!same)
            return false;
    }
    return true;
}

std::string QuotedPart(const std::string& name, const std::string& quote, NameFolding folding) {
    bool bare = IsBareWord(name);
    for (const char c : name) {
        if ((folding == NameFolding::Lower && c != AsciiLower(c)) ||
            (folding == NameFolding::Upper && c != AsciiUpper(c)))
            bare = false;
    }
    return bare ? name : QuotedWith(name, quote);
}

std::string TypedTableSql(const std::string& typed, const std::string& quote) {
    std::vector<NamePart> parts;
    bool asTyped = SplitTableName(typed, quote, parts);
    for (const NamePart& part : parts)
        asTyped = asTyped && (part.quoted || IsPlainIdentifier(part.text));
    if (!asTyped)
        return QuoteIdentifierWith(typed, quote);
    std::string sql;
    for (const NamePart& part : parts)
        sql += (sql.empty() ? "" : ".") + (part.quoted ? QuotedWith(part.text, quote) : part.text);
    return sql;
}

} // namespace brenvale
