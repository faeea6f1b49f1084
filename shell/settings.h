// The user's settings ("Quarvel.ini") and the translation table loaded from
// "language.ini". Everything here is loaded on the main thread before the
// application object exists; afterwards only the GUI thread touches it.
#pragma once

#include <QString>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QSettings;

// Value of the settings key "recovery_folder"; carried unchanged.
extern QString recovery_folder;
// The language name, equal to a section name of "language.ini".
extern QString current_language;
// Section names of "language.ini" in file order, duplicates included.
extern std::vector<QString> language_list;
// Position of the current language in language_list.
extern int current_language_index;
// Key (bytes as written in the file) to text. Grows on lookups of unknown keys.
extern std::map<std::string, QString, std::less<>> translation_table;
// The settings store bound to "Quarvel.ini"; null before load_settings.
extern std::unique_ptr<QSettings> settings_store;

// Language name for a stored language number 1..10; empty for any other.
QString language_name_for_number(int number);

// Reads the settings from ini_path, falling back to language_number() when no
// language is stored (a name found that way is written back), then loads
// "English" and the chosen language from language_ini. Returns 0.
int load_settings(const QString& ini_path, const std::string& language_ini,
                  const std::function<int()>& language_number);
// The same with the program's own files: "Quarvel.ini" in the user's config
// folder, the shipped "language.ini", and the platform's language store.
int load_settings();

// Writes recovery_folder and current_language and flushes. Returns 0, or -1
// when no store is open or the file could not be written.
int save_settings();

// Lays the section `name` of a translation file over translation_table and
// rebuilds language_list; with set_index, current_language_index becomes the
// position of that section. Returns 0.
int load_language_from(std::istream& in, const QString& name, bool set_index);
// The same from a file. Returns 0, or -1 (nothing changed) when it cannot be opened.
int load_language_file(const std::string& path, const QString& name, bool set_index);
// The same from the shipped "language.ini".
int load_language(const QString& name, bool set_index);

// The text for a key; an unknown key is added with an empty text. GUI thread only.
QString text_for_key(std::string_view key);

// Two-letter code of the current language ("en" when the list is empty or
// the name is not known).
QString language_code();

// The language menu's effect without the box: returns false (and changes
// nothing) when position is the current language or not in the list;
// otherwise makes it current, saves the settings and returns true.
bool choose_language(int position);
