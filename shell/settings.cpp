#include "shell/settings.h"

#include "platform/folders.h"
#include "platform/services.h"

#include <QDir>
#include <QSettings>
#include <fstream>
#include <istream>

QString recovery_folder;
QString current_language;
std::vector<QString> language_list;
int current_language_index = 0;
std::map<std::string, QString, std::less<>> translation_table;
std::unique_ptr<QSettings> settings_store;

namespace {

// The longest piece handed to the patterns at once, as fgets with a 2048-byte
// buffer delivers it: 2047 bytes, the line break included when it fits.
constexpr std::size_t line_piece_bytes = 2047;

// Reads the next piece of a line, its line break kept. Returns false at the end.
bool read_line_piece(std::istream& in, std::string* piece)
{
    piece->clear();
    char c = 0;
    while (piece->size() < line_piece_bytes && in.get(c)) {
        piece->push_back(c);
        if (c == '\n')
            break;
    }
    return !piece->empty();
}

void replace_all(std::string* text, std::string_view from, std::string_view to)
{
    for (std::size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

// A line is matched by hand, not by a backtracking regular expression: a
// piece of blanks took the patterns ^\s*\[(.*)\]\s*$ and
// ^\s*([^;].*)\s*=\s*"(.+)"\s*$ over a minute, and a file of such lines hung
// the start. What follows accepts what those two patterns accept and splits
// it the same way (greedy groups, "." stopping at CR and LF), in linear time.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t skip_blanks(std::string_view s, std::size_t at)
{
    while (at < s.size() && is_blank(s[at]))
        ++at;
    return at;
}

bool all_blank(std::string_view s) { return skip_blanks(s, 0) == s.size(); }

bool has_line_end(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A header "[name]" with blanks around: the name runs to the last "]".
bool match_section(std::string_view s, std::string_view* name)
{
    const std::size_t open = skip_blanks(s, 0);
    if (open == s.size() || s[open] != '[')
        return false;
    const std::size_t close = s.rfind(']');
    if (close == std::string_view::npos || close <= open || !all_blank(s.substr(close + 1)))
        return false;
    *name = s.substr(open + 1, close - open - 1);
    return !has_line_end(*name);
}

// A key line: key = "value". The key is the longest text before an "=" that
// still leaves a quoted value after it, blanks before the "=" included; the
// value runs to the last quote. A key may not start with ";", but a line
// indented by blanks gives its last blank to the key first (" ;k" is a key).
class key_line_matcher {
public:
    explicit key_line_matcher(std::string_view s) : s_(s)
    {
        last_quote_ = s.rfind('"');
        if (last_quote_ == std::string_view::npos || !all_blank(s.substr(last_quote_ + 1)))
            return;
        value_possible_ = true;
        const std::size_t line_end = s.substr(0, last_quote_).find_last_of("\r\n");
        last_line_end_ = line_end == std::string_view::npos ? -1 : std::ptrdiff_t(line_end);
    }

    bool match(std::string_view* key, std::string_view* value) const
    {
        if (!value_possible_)
            return false;
        const std::size_t lead = skip_blanks(s_, 0);
        return match_from(lead, key, value) || (lead > 0 && match_from(lead - 1, key, value));
    }

private:
    // Whether an "=" at equals is followed by blanks and a quoted value.
    bool value_after(std::size_t equals, std::string_view* value) const
    {
        const std::size_t quote = skip_blanks(s_, equals + 1);
        if (quote >= s_.size() || s_[quote] != '"' || last_quote_ < quote + 2)
            return false;
        if (last_line_end_ > std::ptrdiff_t(quote))
            return false;
        *value = s_.substr(quote + 1, last_quote_ - quote - 1);
        return true;
    }

    bool match_from(std::size_t start, std::string_view* key, std::string_view* value) const
    {
        if (start >= s_.size() || s_[start] == ';')
            return false;
        // The key's tail cannot cross a CR or LF; blanks from there on may
        // still stand before the "=".
        std::size_t key_end = s_.find_first_of("\r\n", start + 1);
        if (key_end == std::string_view::npos)
            key_end = s_.size();
        if (key_end < s_.size()) {
            const std::size_t equals = skip_blanks(s_, key_end);
            if (equals < s_.size() && s_[equals] == '=' && value_after(equals, value)) {
                *key = s_.substr(start, key_end - start);
                return true;
            }
        }
        for (std::size_t equals = key_end; equals-- > start + 1;) {
            if (s_[equals] == '=' && value_after(equals, value)) {
                *key = s_.substr(start, equals - start);
                return true;
            }
        }
        return false;
    }

    std::string_view s_;
    std::size_t last_quote_ = 0;
    std::ptrdiff_t last_line_end_ = -1;
    bool value_possible_ = false;
};

}  // namespace

QString language_name_for_number(int number)
{
    static const char* const names[] = {
        "English", "Deutsch", "Español", "Français", "Italiano",
        "日本語", "简体中文", "繁體中文", "Nederlands", "Português",
    };
    if (number < 1 || number > 10)
        return {};
    return QString::fromUtf8(names[number - 1]);
}

int load_language_from(std::istream& in, const QString& name, bool set_index)
{
    language_list.clear();
    bool inside = false;
    bool first_piece = true;
    std::string line;
    while (read_line_piece(in, &line)) {
        // An editor's byte-order mark would otherwise hide the first header.
        if (first_piece && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        first_piece = false;

        std::string_view section;
        std::string_view key;
        std::string_view text;
        if (match_section(line, &section)) {
            language_list.push_back(QString::fromUtf8(section.data(), qsizetype(section.size())));
            if (inside) {
                inside = false;
            } else if (language_list.back() == name) {
                inside = true;
                if (set_index)
                    current_language_index = int(language_list.size()) - 1;
            }
        } else if (inside && key_line_matcher(line).match(&key, &text)) {
            std::string value(text);
            replace_all(&value, "\\t", "\t");
            replace_all(&value, "\\n", "\n");
            translation_table[std::string(key)] = QString::fromUtf8(value);
        }
    }
    return 0;
}

int load_language_file(const std::string& path, const QString& name, bool set_index)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    return load_language_from(in, name, set_index);
}

int load_language(const QString& name, bool set_index)
{
    return load_language_file(platform::program_data_file("language.ini"), name, set_index);
}

int load_settings(const QString& ini_path, const std::string& language_ini,
                  const std::function<int()>& language_number)
{
    settings_store = std::make_unique<QSettings>(ini_path, QSettings::IniFormat);
    recovery_folder = settings_store->value("recovery_folder").toString();
    current_language = settings_store->value("language").toString();

    if (current_language.isEmpty()) {
        const QString stored = language_name_for_number(language_number ? language_number() : 0);
        if (!stored.isEmpty()) {
            current_language = stored;
            settings_store->setValue("language", current_language);
            settings_store->sync();
        } else {
            current_language = QStringLiteral("English");
        }
    }

    load_language_file(language_ini, QStringLiteral("English"), false);
    load_language_file(language_ini, current_language, true);
    return 0;
}

int load_settings()
{
    const QString ini = QDir(QString::fromStdString(platform::config_dir())).filePath("Quarvel.ini");
    return load_settings(ini, platform::program_data_file("language.ini"), platform::language_number_from_store);
}

int save_settings()
{
    if (!settings_store)
        return -1;
    settings_store->setValue("recovery_folder", recovery_folder);
    settings_store->setValue("language", current_language);
    settings_store->sync();
    return settings_store->status() == QSettings::NoError ? 0 : -1;
}

QString text_for_key(std::string_view key)
{
    auto found = translation_table.find(key);
    if (found == translation_table.end())
        found = translation_table.emplace(std::string(key), QString()).first;
    return found->second;
}

QString language_code()
{
    if (language_list.empty())
        return QStringLiteral("en");
    if (current_language_index < 0 || std::size_t(current_language_index) >= language_list.size())
        return QStringLiteral("en");

    static const struct {
        const char* name;
        const char* code;
    } codes[] = {
        {"Deutsch", "de"}, {"Français", "fr"}, {"Español", "es"}, {"简体中文", "cn"},
        {"繁體中文", "hk"}, {"Italiano", "it"}, {"日本語", "jp"}, {"Português", "pt"},
        {"Nederlands", "nl"}, {"العربية", "ar"},
    };
    const QString& name = language_list[std::size_t(current_language_index)];
    for (const auto& entry : codes) {
        if (name.compare(QString::fromUtf8(entry.name), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(entry.code);
    }
    return QStringLiteral("en");
}

bool choose_language(int position)
{
    if (position == current_language_index)
        return false;
    if (position < 0 || std::size_t(position) >= language_list.size())
        return false;
    current_language = language_list[std::size_t(position)];
    current_language_index = position;
    save_settings();
    return true;
}
