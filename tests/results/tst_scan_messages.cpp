// The lines the window shows of a failing medium: which sentence for which
// knowledge, the advice only for a disk, the list's reasons, and every
// text present, with its placeholders, in every shipped language.
#include "results/failure_text.h"
#include "results/scan_messages.h"
#include "shell/settings.h"

#include <QTest>

#include <cerrno>
#include <map>

namespace {

// The English texts, so a test reads what a person reads.
QString english(std::string_view key)
{
    static const std::map<std::string_view, QString> texts = {
        {"read_damage_files", "%1 sector(s) could not be read; %2 file(s) are affected."},
        {"read_damage_sectors", "%1 sector(s) could not be read; the files over them are named when they are copied."},
        {"read_damage_scanning", "%1 sector(s) could not be read so far."},
        {"read_damage_slow", "Slow area at sector %1."},
        {"read_damage_slow_more", "%1 slow areas, the first at sector %2."},
        {"read_damage_image_first", "Image it first (“%1”)."},
        {"read_damage_not_read", "not read"},
        {"image_disk_button", "Save an image of this disk…"},
        {"open_no_agent", "%1 could not be opened: no agent."},
        {"open_failed", "%1 could not be opened."},
        {"open_way_out", "Run as a user with access, or open an image (menu: %1)."},
        {"menu_open_image", "Open disk image…"},
        {"output_no_room", "The files need %1, but only %2 is free in %3."},
    };
    const auto it = texts.find(key);
    return it == texts.end() ? QString() : it->second;
}

read_damage_s damage()
{
    read_damage_s d;
    d.unreadable = {{2048, 8, EIO}, {2056, 24, 0}, {9000, 1, EIO}};
    return d;
}

}  // namespace

class tst_scan_messages : public QObject {
    Q_OBJECT

private slots:
    void sentence_follows_what_is_known()
    {
        read_damage_view_s view;
        view.affected_files = 3;
        read_damage_text_s t = read_damage_text(damage(), view, english);
        QCOMPARE(t.line, QString("33 sector(s) could not be read; 3 file(s) are affected."));
        QVERIFY(t.advice.isEmpty() && t.slow.isEmpty());
        QCOMPARE(t.summary(), t.line);

        view.affected_files = -1;
        QVERIFY(read_damage_text(damage(), view, english).line.endsWith("named when they are copied."));
        view.scanning = true;
        view.affected_files = 3;
        QCOMPARE(read_damage_text(damage(), view, english).line, QString("33 sector(s) could not be read so far."));

        // A disk is advised to be imaged; an image is not.
        view.block_device = true;
        t = read_damage_text(damage(), view, english);
        QCOMPARE(t.advice, QString("Image it first (“Save an image of this disk…”)."));
        QCOMPARE(t.summary(), t.line + " " + t.advice);
    }

    void areas_and_slow_areas()
    {
        read_damage_s d = damage();
        const read_damage_text_s t = read_damage_text(d, {}, english);
        QCOMPARE(t.areas.size(), size_t(3));
        QCOMPARE(t.areas[0].first_sector, QString("2048"));
        QCOMPARE(t.areas[0].sectors, QString("8"));
        QCOMPARE(t.areas[0].reason, QString::fromStdString(platform::read_error_text(EIO)));
        QCOMPARE(t.areas[1].reason, QString("not read"));

        // Slow areas alone make a line of their own, with no count of sectors.
        d.unreadable.clear();
        d.slow = {{4096, 64, 1200}};
        read_damage_text_s slow = read_damage_text(d, {}, english);
        QVERIFY(slow.line.isEmpty() && !slow.empty());
        QCOMPARE(slow.slow, QString("Slow area at sector 4096."));
        d.slow.push_back({8192, 8, 700});
        QCOMPARE(read_damage_text(d, {}, english).slow, QString("2 slow areas, the first at sector 4096."));
        QVERIFY(read_damage_text({}, {}, english).empty());
    }

    // A refusal of access names the way on; any other failure only why.
    // The system's own words come last.
    void failure_texts()
    {
        using platform::open_refusal_e;
        QCOMPARE(open_refusal_text(open_refusal_e::no_agent, "/dev/sdb", "cannot open /dev/sdb: no agent", english),
                 QString("/dev/sdb could not be opened: no agent.\n\nRun as a user with access, or open an image "
                         "(menu: Open disk image…).\n\ncannot open /dev/sdb: no agent"));
        QCOMPARE(open_refusal_text(open_refusal_e::other, "/dev/sdb", "in use", english),
                 QString("/dev/sdb could not be opened.\n\nin use"));

        output_check_s check;
        QVERIFY(output_check_text(check, english).isEmpty());
        check.problem = output_check_s::problem_e::no_room;
        check.folder = "/media/stick";
        check.needed = 7 * 512 * 1024;
        check.free = 3 * 512 * 1024;
        QCOMPARE(output_check_text(check, english), QString("The files need 3.50M, but only 1.50M is free in /media/stick."));
    }

    void every_language_has_the_texts()
    {
        const std::string path = qEnvironmentVariable("QUARVEL_SOURCE_DIR").toStdString() + "/data/language.ini";
        if (load_language_file(path, "English", false) != 0)
            QSKIP("the shipped language.ini is not found (QUARVEL_SOURCE_DIR unset)");
        const std::vector<QString> languages = language_list;
        QCOMPARE(languages.size(), size_t(10));
        const std::map<std::string_view, QStringList> keys = {
            {"read_damage_files", {"%1", "%2"}}, {"read_damage_sectors", {"%1"}}, {"read_damage_scanning", {"%1"}},
            {"read_damage_slow", {"%1"}},        {"read_damage_slow_more", {"%1", "%2"}},
            {"read_damage_image_first", {"%1"}}, {"read_damage_list", {}},      {"read_damage_title", {}},
            {"read_damage_first", {}},           {"read_damage_count", {}},     {"read_damage_reason", {}},
            {"read_damage_not_read", {}},
            {"open_denied", {"%1"}},             {"open_no_agent", {"%1"}},     {"open_dismissed", {"%1"}},
            {"open_not_authorized", {"%1"}},     {"open_no_way_to_ask", {"%1"}}, {"open_failed", {"%1"}},
            {"open_way_out", {"%1"}},            {"scan_not_started", {"%1"}},
            {"output_not_writable", {"%1", "%2"}}, {"output_no_room", {"%1", "%2", "%3"}},
            {"recovery_open_folder", {}},        {"recovery_show_failed", {}},  {"recovery_failed_title", {}},
            {"recovery_failed_heading", {"%1"}}, {"recovery_failed_first", {"%1"}},
            {"recovery_failed_file", {}},        {"recovery_failed_reason", {}},
            {"note_fat_boot_copy", {}}, {"note_fat_sectors_mended", {"%1"}}, {"note_fat_sectors_lost", {"%1", "%2"}},
            {"note_folder_sectors_unreadable", {"%1", "%2", "%3"}}, {"note_folders_cut_short", {"%1"}},
            {"note_folders_too_deep", {"%1"}}, {"note_lost_read_errors", {"%1"}},
            {"note_lost_entries_dropped", {"%1"}}, {"note_deleted_folders_searched", {"%1"}},
            {"note_deleted_folders_not_searched", {"%1"}}, {"note_formatted_listed", {"%1"}},
            {"note_formatted_none_found", {}}, {"note_formatted_not_searched", {}}, {"note_lost_pass_stopped", {}},
            {"note_exfat_boot_backup", {}}, {"note_exfat_allocation_unknown", {"%1"}},
            {"note_exfat_sets_damaged", {"%1"}}, {"note_ntfs_records_damaged", {"%1", "%2"}},
            {"note_ntfs_records_unreadable", {"%1"}}, {"note_ntfs_boot_backup", {}},
            {"note_ntfs_records_from_mirror", {"%1"}}, {"note_ntfs_boot_unreadable", {"%1", "%2"}},
            {"note_ntfs_laid_out_from_records", {"%1", "%2"}}, {"note_ntfs_records_capped", {"%1"}},
            {"note_ntfs_search_read_errors", {"%1"}}, {"note_ntfs_bitmap_unusable", {}},
            {"scan_notes_more", {"%1", "%2"}}, {"scan_notes_list", {}}, {"scan_notes_title", {}},
            {"scan_notes_note", {}}};
        for (const QString& language : languages) {
            translation_table.clear();
            QCOMPARE(load_language_file(path, language, true), 0);
            for (const auto& [key, marks] : keys) {
                const QString text = text_for_key(key);
                QVERIFY2(!text.isEmpty(), qPrintable(language + ": " + QString::fromUtf8(key.data(), key.size())));
                for (const QString& mark : marks)
                    QVERIFY2(text.contains(mark), qPrintable(language + ": " + text));
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_scan_messages)
#include "tst_scan_messages.moc"
