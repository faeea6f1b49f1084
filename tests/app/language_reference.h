// The translation file loader as it first stood, on the two regular
// expressions the file format is defined by. Slow on long blank lines (the
// reason the program no longer uses it), but the yardstick the program's own
// line matcher is held to: tests and the fuzzer compare the two.
#pragma once

#include "shell/settings.h"

#include <istream>
#include <regex>
#include <string>

inline int reference_load_language_from(std::istream& in, const QString& name, bool set_index)
{
    static const std::regex section_pattern(R"(^\s*\[(.*)\]\s*$)", std::regex::ECMAScript);
    static const std::regex key_pattern(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re", std::regex::ECMAScript);
    const auto replace_all = [](std::string* text, const std::string& from, const std::string& to) {
        for (std::size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
            text->replace(at, from.size(), to);
    };
    language_list.clear();
    bool inside = false;
    bool first_piece = true;
    std::string line;
    std::smatch match;
    for (;;) {
        line.clear();
        char c = 0;
        while (line.size() < 2047 && in.get(c)) {
            line.push_back(c);
            if (c == '\n')
                break;
        }
        if (line.empty())
            break;
        if (first_piece && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        first_piece = false;
        if (std::regex_match(line, match, section_pattern)) {
            const QString section = QString::fromUtf8(match.str(1));
            language_list.push_back(section);
            if (inside) {
                inside = false;
            } else if (section == name) {
                inside = true;
                if (set_index)
                    current_language_index = int(language_list.size()) - 1;
            }
        } else if (inside && std::regex_match(line, match, key_pattern)) {
            std::string value = match.str(2);
            replace_all(&value, "\\t", "\t");
            replace_all(&value, "\\n", "\n");
            translation_table[match.str(1)] = QString::fromUtf8(value);
        }
    }
    return 0;
}
