// Settings file, language store fallback, the translation file loader and the
// language choice.
#include "app/language_reference.h"
#include "shell/settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <sstream>

namespace {

void reset_tables()
{
    translation_table.clear();
    language_list.clear();
    current_language_index = 0;
    current_language.clear();
    recovery_folder.clear();
    settings_store.reset();
}

void write_file(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const char* const two_languages =
    "; interface texts\n"
    "[English]\n"
    "btn_back=\"Back\"\n"
    "btn_scan=\"Scan\"\n"
    "[Deutsch]\n"
    "btn_scan=\"Suchen\"\n";

}  // namespace

class tst_app_settings : public QObject {
    Q_OBJECT

private slots:
    void init() { reset_tables(); }

    void loader_data();
    void loader();
    void loader_section_order();
    void loader_long_line_is_split_not_fatal();
    void loader_missing_file_changes_nothing();
    void loader_matches_patterns_on_shipped_file();
    void loader_blank_lines_stay_fast();
    void unknown_key_is_added_empty();
    void language_code_data();
    void language_code();
    void first_start_takes_store_language();
    void first_start_without_store_language();
    void stored_language_wins_over_store();
    void save_keeps_recovery_folder();
    void choose_language_same_and_other();
};

// Loads English then `language` from `file`, as the start-up does, and checks
// one key's text and the chosen section's position.
void tst_app_settings::loader_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("index");

    QTest::newRow("translated key") << QByteArray(two_languages) << "Deutsch" << QByteArray("btn_scan")
                                    << "Suchen" << 1;
    QTest::newRow("missing key keeps English") << QByteArray(two_languages) << "Deutsch"
                                               << QByteArray("btn_back") << "Back" << 1;
    QTest::newRow("language without section") << QByteArray(two_languages) << "Klingon"
                                              << QByteArray("btn_scan") << "Scan" << 0;
    QTest::newRow("tab and line break escapes")
        << QByteArray("[English]\nk=\"\\tA\\nB\"\n") << "English" << QByteArray("k") << "\tA\nB" << 0;
    QTest::newRow("blank before = joins the key")
        << QByteArray("[English]\nk =\"v\"\n") << "English" << QByteArray("k") << "" << 0;
    QTest::newRow("key with its blank") << QByteArray("[English]\nk =\"v\"\n") << "English"
                                        << QByteArray("k ") << "v" << 0;
    QTest::newRow("comment line ignored")
        << QByteArray("[English]\n;k=\"commented\"\n") << "English" << QByteArray(";k") << "" << 0;
    QTest::newRow("value needs quotes") << QByteArray("[English]\nk=v\n") << "English" << QByteArray("k")
                                        << "" << 0;
    QTest::newRow("empty value not taken") << QByteArray("[English]\nk=\"\"\n") << "English"
                                           << QByteArray("k") << "" << 0;
    QTest::newRow("outer quotes only") << QByteArray("[English]\nk=\"say \"hi\"\"\n") << "English"
                                       << QByteArray("k") << "say \"hi\"" << 0;
    QTest::newRow("UTF-8 value") << QByteArray("[English]\n[Español]\nk=\"Atrás\"\n") << "Español"
                                 << QByteArray("k") << "Atrás" << 1;
    QTest::newRow("CRLF lines") << QByteArray("[English]\r\nk=\"v\"\r\n") << "English" << QByteArray("k")
                                << "v" << 0;
    QTest::newRow("indented lines") << QByteArray("  [English]  \n\tk=\"v\"\n") << "English"
                                    << QByteArray("k") << "v" << 0;
    QTest::newRow("last line without break") << QByteArray("[English]\nk=\"v\"") << "English"
                                             << QByteArray("k") << "v" << 0;
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[English]\nk=\"v\"\n") << "English"
                                     << QByteArray("k") << "v" << 0;
    QTest::newRow("section name is exact") << QByteArray("[English]\nk=\"en\"\n[deutsch]\nk=\"de\"\n")
                                           << "Deutsch" << QByteArray("k") << "en" << 0;
    QTest::newRow("later key replaces earlier")
        << QByteArray("[English]\nk=\"one\"\nk=\"two\"\n") << "English" << QByteArray("k") << "two" << 0;
}

void tst_app_settings::loader()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, language);
    QFETCH(QByteArray, key);
    QFETCH(QString, text);
    QFETCH(int, index);

    std::istringstream english(file.toStdString());
    QCOMPARE(load_language_from(english, "English", false), 0);
    std::istringstream chosen(file.toStdString());
    QCOMPARE(load_language_from(chosen, language, true), 0);
    QCOMPARE(text_for_key(key.toStdString()), text);
    QCOMPARE(current_language_index, index);
}

// The list holds every header in file order, duplicates included; a second
// header with the chosen name right after its section ends it.
void tst_app_settings::loader_section_order()
{
    std::istringstream in("[English]\nk=\"en\"\n[Deutsch]\nk=\"de1\"\n[Deutsch]\nk=\"de2\"\n[Italiano]\n");
    QCOMPARE(load_language_from(in, "Deutsch", true), 0);
    const std::vector<QString> expected {"English", "Deutsch", "Deutsch", "Italiano"};
    QCOMPARE(language_list, expected);
    QCOMPARE(current_language_index, 1);
    QCOMPARE(text_for_key("k"), QString("de1"));
}

// Lines are read in 2047-byte pieces: an over-long key line is lost, the
// lines after it still load.
void tst_app_settings::loader_long_line_is_split_not_fatal()
{
    std::string file = "[English]\nlong=\"" + std::string(5000, 'x') + "\"\nnext=\"ok\"\n";
    std::istringstream in(file);
    QCOMPARE(load_language_from(in, "English", false), 0);
    QCOMPARE(text_for_key("long"), QString());
    QCOMPARE(text_for_key("next"), QString("ok"));

    // Exactly one piece: 2046 bytes of line plus its break still match.
    const std::string key_line = "fits=\"" + std::string(2046 - 8, 'y') + "\"\n";
    QCOMPARE(key_line.size(), std::size_t(2046));
    std::istringstream fits("[English]\n" + key_line);
    load_language_from(fits, "English", false);
    QCOMPARE(text_for_key("fits").size(), qsizetype(2046 - 8));
}

void tst_app_settings::loader_missing_file_changes_nothing()
{
    language_list = {"English"};
    translation_table["k"] = "kept";
    current_language_index = 0;
    QCOMPARE(load_language_file("/nonexistent/language.ini", "English", true), -1);
    QCOMPARE(language_list.size(), std::size_t(1));
    QCOMPARE(text_for_key("k"), QString("kept"));
}

// Every key of every section of the shipped file, as the two defining
// patterns read it and as the program does.
void tst_app_settings::loader_matches_patterns_on_shipped_file()
{
    const std::string path = qEnvironmentVariable("QUARVEL_SOURCE_DIR").toStdString() + "/data/language.ini";
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        QSKIP("the shipped language.ini is not found (QUARVEL_SOURCE_DIR unset)");
    std::ifstream sections(path, std::ios::binary);
    QCOMPARE(load_language_from(sections, "English", false), 0);
    const std::vector<QString> names = language_list;
    QVERIFY(names.size() >= 10);
    for (const QString& name : names) {
        translation_table.clear();
        std::ifstream ours(path, std::ios::binary);
        load_language_from(ours, name, true);
        const auto table = translation_table;
        const auto list = language_list;
        const int index = current_language_index;

        translation_table.clear();
        current_language_index = -1;
        std::ifstream theirs(path, std::ios::binary);
        reference_load_language_from(theirs, name, true);
        QVERIFY2(table.size() > 60, qPrintable(name));
        QVERIFY2(table == translation_table, qPrintable(name));
        QCOMPARE(list, language_list);
        QCOMPARE(index, current_language_index);
    }
}

// A piece of 2047 blanks once took the patterns over a minute; a file of
// them hung the start.
void tst_app_settings::loader_blank_lines_stay_fast()
{
    std::string file = "[English]\n";
    for (int i = 0; i < 64; ++i)
        file += std::string(2046, i % 2 ? ' ' : '\t') + "\n" + std::string(1000, ' ') + std::string(1000, '=') + "\"\n";
    file += "k=\"v\"\n";
    QElapsedTimer clock;
    clock.start();
    std::istringstream in(file);
    QCOMPARE(load_language_from(in, "English", false), 0);
    QCOMPARE(text_for_key("k"), QString("v"));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

void tst_app_settings::unknown_key_is_added_empty()
{
    QCOMPARE(text_for_key("no_such_key"), QString());
    QVERIFY(translation_table.count("no_such_key") == 1);
}

void tst_app_settings::language_code_data()
{
    QTest::addColumn<QStringList>("sections");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("code");

    QTest::newRow("empty list") << QStringList() << 0 << "en";
    QTest::newRow("English") << QStringList {"English"} << 0 << "en";
    QTest::newRow("Deutsch") << QStringList {"English", "Deutsch"} << 1 << "de";
    QTest::newRow("case ignored") << QStringList {"DEUTSCH"} << 0 << "de";
    QTest::newRow("accented case") << QStringList {"español"} << 0 << "es";
    QTest::newRow("Japanese") << QStringList {"日本語"} << 0 << "jp";
    QTest::newRow("Simplified Chinese") << QStringList {"简体中文"} << 0 << "cn";
    QTest::newRow("Traditional Chinese") << QStringList {"繁體中文"} << 0 << "hk";
    QTest::newRow("Portuguese") << QStringList {"Português"} << 0 << "pt";
    QTest::newRow("Arabic") << QStringList {"العربية"} << 0 << "ar";
    QTest::newRow("unknown") << QStringList {"Klingon"} << 0 << "en";
}

void tst_app_settings::language_code()
{
    QFETCH(QStringList, sections);
    QFETCH(int, index);
    QFETCH(QString, code);
    language_list.assign(sections.begin(), sections.end());
    current_language_index = index;
    QCOMPARE(::language_code(), code);
}

void tst_app_settings::first_start_takes_store_language()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("Quarvel.ini");
    const QString lang = dir.filePath("language.ini");
    write_file(lang, "[English]\nk=\"Back\"\n[Español]\nk=\"Atrás\"\n");

    QCOMPARE(load_settings(ini, lang.toStdString(), [] { return 3; }), 0);
    QCOMPARE(current_language, QString("Español"));
    QCOMPARE(current_language_index, 1);
    QCOMPARE(text_for_key("k"), QString("Atrás"));

    QSettings reread(ini, QSettings::IniFormat);
    QCOMPARE(reread.value("language").toString(), QString("Español"));
}

void tst_app_settings::first_start_without_store_language()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("Quarvel.ini");
    QCOMPARE(load_settings(ini, dir.filePath("missing.ini").toStdString(), [] { return 0; }), 0);
    QCOMPARE(current_language, QString("English"));
    QVERIFY(!QFile::exists(ini));  // English from the fallback is not written
    QVERIFY(language_list.empty());
    QCOMPARE(::language_code(), QString("en"));
}

void tst_app_settings::stored_language_wins_over_store()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("Quarvel.ini");
    {
        QSettings seed(ini, QSettings::IniFormat);
        seed.setValue("language", "Deutsch");
        seed.setValue("recovery_folder", "/home/ana/rescued");
    }
    bool asked = false;
    load_settings(ini, dir.filePath("missing.ini").toStdString(), [&asked] {
        asked = true;
        return 3;
    });
    QVERIFY(!asked);
    QCOMPARE(current_language, QString("Deutsch"));
    QCOMPARE(recovery_folder, QString("/home/ana/rescued"));
}

void tst_app_settings::save_keeps_recovery_folder()
{
    QCOMPARE(save_settings(), -1);  // nothing opened yet
    QTemporaryDir dir;
    const QString ini = dir.filePath("Quarvel.ini");
    {
        QSettings seed(ini, QSettings::IniFormat);
        seed.setValue("language", "English");
        seed.setValue("recovery_folder", "/srv/out");
    }
    load_settings(ini, dir.filePath("missing.ini").toStdString(), [] { return 0; });
    current_language = "Italiano";
    QCOMPARE(save_settings(), 0);
    QSettings reread(ini, QSettings::IniFormat);
    QCOMPARE(reread.value("recovery_folder").toString(), QString("/srv/out"));
    QCOMPARE(reread.value("language").toString(), QString("Italiano"));
}

void tst_app_settings::choose_language_same_and_other()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("Quarvel.ini");
    const QString lang = dir.filePath("language.ini");
    write_file(lang, "[English]\nk=\"Back\"\n[Deutsch]\nk=\"Zurück\"\n");
    load_settings(ini, lang.toStdString(), [] { return 1; });
    QCOMPARE(current_language_index, 0);

    QVERIFY(!choose_language(0));
    QVERIFY(!choose_language(7));  // not in the list
    QVERIFY(choose_language(1));
    QCOMPARE(current_language, QString("Deutsch"));
    QCOMPARE(current_language_index, 1);
    QCOMPARE(QSettings(ini, QSettings::IniFormat).value("language").toString(), QString("Deutsch"));
    // Nothing is reloaded until the next start.
    QCOMPARE(text_for_key("k"), QString("Back"));
}

QTEST_GUILESS_MAIN(tst_app_settings)
#include "tst_app_settings.moc"
