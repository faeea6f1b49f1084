#include "app/settings.h"

#include "app/resources_init.h"
#include "platform/folders.h"
#include "platform/services.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <fstream>
#include <istream>
#include <regex>

QString recovery_folder;
QString current_language;
std::vector<QString> language_list;
int current_language_index = 0;
std::map<std::string, QString, std::less<>> translation_table;
std::unique_ptr<QSettings> settings_store;

namespace {

// Every program that shows text links this file, so this is where the
// compiled-in images get registered.
[[maybe_unused]] const bool resources_registered = (init_app_resources(), true);

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
    // The trailing \s* of each pattern absorbs the line break kept in the piece.
    static const std::regex section_pattern(R"(^\s*\[(.*)\]\s*$)", std::regex::ECMAScript);
    static const std::regex key_pattern(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re", std::regex::ECMAScript);

    language_list.clear();
    bool inside = false;
    bool first_piece = true;
    std::string line;
    std::smatch match;
    while (read_line_piece(in, &line)) {
        // An editor's byte-order mark would otherwise hide the first header.
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

QString image_language_code()
{
    const QString code = language_code();
    if (QFileInfo::exists(QStringLiteral(":/images/multilang/") + code))
        return code;
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
