// One SHOUTcast W3C log line cut into the nine values of a row.
#include "core/log_line.h"

#include "core/general.h"
#include "core/text_encoding.h"

namespace brenvale {

bool SplitLogFields(std::string_view line, std::array<std::string_view, 10>& fields) {
    std::size_t count = 0;
    std::size_t from = 0;
    while (count < fields.size()) {
        const auto blank = line.find(' ', from);
        if (blank == std::string_view::npos) {
            fields[count++] = line.substr(from);
            break;
        }
        fields[count++] = line.substr(from, blank - from);
        from = blank + 1;
    }
    return count == fields.size();
}

LineKind LogLineParser::Parse(std::string_view line, bool translate, RowValues& values) {
    std::array<std::string_view, 10> text;
    if (line.empty() || line.front() == '#')
        return LineKind::Directive;
    if (!SplitLogFields(line, text))
        return LineKind::Short;
    if (translate) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i].find('%') == std::string_view::npos)
                continue;
            translated_[i] = TranslateHexCodes(std::string(text[i]));
            text[i] = translated_[i];
        }
    }
    dateTime_.assign(text[2]);
    dateTime_.push_back(' ');
    dateTime_.append(text[3]);

    const std::array<std::string_view, 9> raw = {text[0], text[1], dateTime_, text[4], text[5],
                                                 text[6], text[7], text[8],   text[9]};
    for (std::size_t i = 0; i < raw.size(); ++i)
        values[i] = ToDatabaseText(raw[i], encoded_[i]);
    return LineKind::Row;
}

} // namespace brenvale
