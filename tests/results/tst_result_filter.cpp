// The filter the window's filter box and quarvel-cli share: its rules, and
// that the command line picks exactly the files the window's index does.
#include "engines/fat/fat_trust.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "results/result_filter.h"
#include "results/result_index.h"
#include "scan/scan_service.h"
#include "support/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <set>

namespace {

bool passes(const result_filter_s& f, const char* name, int64_t size = 10, int64_t modified = 1,
            row_state_e state = row_state_e::unknown)
{
    const QString n = QString::fromUtf8(name);
    return compiled_filter_c(f).matches(n, group_of_name(n), size, modified, state);
}

result_filter_s named(const char* pattern)
{
    result_filter_s f;
    f.name = QString::fromUtf8(pattern);
    return f;
}

struct run_s {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

run_s cli(const QStringList& args)
{
    QProcess p;
    p.start(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli", args);
    run_s r;
    if (!p.waitForFinished(300000))
        return r;
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

}  // namespace

class tst_result_filter : public QObject {
    Q_OBJECT

private slots:
    void names_and_kinds()
    {
        QVERIFY(passes(named("canon"), "IMG_Canon_01.JPG"));
        QVERIFY(passes(named("ÄPFEL"), "äpfel.txt"));
        QVERIFY(!passes(named("canon"), "IMG_01.JPG"));
        QVERIFY(passes(named("*.jpg"), "IMG.JPG"));
        QVERIFY(!passes(named("*.jpg"), "a.jpg.txt"));
        QVERIFY(passes(named("img_00?1.*"), "IMG_0031.JPG"));
        QVERIFY(!passes(named("img_00?1.*"), "IMG_031.JPG"));
        QVERIFY(passes(named("*a*b*c*"), "xxaxxbxxcxx"));
        QVERIFY(!passes(named("*a*b*c"), "xxaxxbxxcxx"));
        QVERIFY(passes(named(""), "anything"));

        QCOMPARE(group_of_name(u"DSC.JPG"), file_group_e::pictures);
        QCOMPARE(group_of_name(u"00000012.docx"), file_group_e::documents);
        QCOMPARE(group_of_name(u"song.Mp3"), file_group_e::audio);
        QCOMPARE(group_of_name(u"clip.mov"), file_group_e::video);
        QCOMPARE(group_of_name(u"backup.tar.gz"), file_group_e::archives);
        // What the deep scan carves lands in a group of its own kind.
        QCOMPARE(group_of_name(u"00000007.pst"), file_group_e::mail);
        QCOMPARE(group_of_name(u"00000008.eml"), file_group_e::mail);
        QCOMPARE(group_of_name(u"00000009.woff2"), file_group_e::fonts);
        QCOMPARE(group_of_name(u"notes.TXT"), file_group_e::text);
        QCOMPARE(group_of_name(u"main.c"), file_group_e::text);
        QCOMPARE(group_of_name(u"00000010.ts"), file_group_e::video);
        QCOMPARE(group_of_name(u"00000011.jxl"), file_group_e::pictures);
        QCOMPARE(group_of_name(u"00000012.ac3"), file_group_e::audio);
        QCOMPARE(group_of_name(u"README"), file_group_e::other);
        QCOMPARE(group_of_name(u"name."), file_group_e::other);
        QCOMPARE(group_of_name(u"report.pdf:Zone.Identifier"), file_group_e::other);
        file_group_e g = file_group_e::all;
        QVERIFY(file_group_from_word("archives", &g));
        QCOMPARE(g, file_group_e::archives);
        QVERIFY(!file_group_from_word("Pictures", &g));
        // The words and captions follow the groups' order, other last.
        for (int k = 0; k < file_group_count; ++k) {
            QVERIFY(file_group_from_word(file_group_word(file_group_e(k)), &g));
            QCOMPARE(int(g), k);
        }
        QCOMPARE(file_group_key(file_group_e::fonts), "filter_type_fonts");
        QCOMPARE(file_group_word(file_group_e(file_group_count - 1)), "other");
        result_filter_s pictures;
        pictures.group = file_group_e::pictures;
        QVERIFY(passes(pictures, "a.png"));
        QVERIFY(!passes(pictures, "a.txt"));
    }

    void sizes_dates_and_whole_files()
    {
        int64_t bytes = 0;
        QVERIFY(parse_size_text(u"1M", &bytes));
        QCOMPARE(bytes, int64_t(1) << 20);
        QVERIFY(parse_size_text(u" 1.5k ", &bytes));
        QCOMPARE(bytes, int64_t(1536));
        QVERIFY(parse_size_text(u"700KB", &bytes));
        QCOMPARE(bytes, int64_t(700) << 10);
        QVERIFY(parse_size_text(u"4096", &bytes));
        QCOMPARE(bytes, int64_t(4096));
        for (const char16_t* bad : {u"", u"M", u"1X", u"-1", u"1..2", u".5", u"99999999999G", u"1 2"})
            QVERIFY2(!parse_size_text(QStringView(bad), &bytes), qPrintable(QString::fromUtf16(bad)));

        result_filter_s range;
        range.min_size = 100;
        range.max_size = 200;
        QVERIFY(passes(range, "a", 100) && passes(range, "a", 200));
        QVERIFY(!passes(range, "a", 99) && !passes(range, "a", 201));
        QVERIFY(!passes(range, "a", -1));  // a damaged size is no small file

        QDate day;
        QVERIFY(parse_day_text(u"2024-07-31", &day));
        QVERIFY(!parse_day_text(u"2024-02-30", &day));
        QVERIFY(!parse_day_text(u"2024-7-1", &day));
        result_filter_s july;
        july.since = day_first_second(QDate(2024, 7, 1));
        july.until = day_last_second(QDate(2024, 7, 31));
        QVERIFY(passes(july, "a", 1, july.since));
        QVERIFY(passes(july, "a", 1, july.until));
        QVERIFY(!passes(july, "a", 1, july.until + 1));
        QVERIFY(!passes(july, "a", 1, july.since - 1));
        QVERIFY(!passes(july, "a", 1, 0));  // no date known: not in July
        QVERIFY(!july.name.size() && july.active());
        QVERIFY(!result_filter_s{}.active());

        result_filter_s whole;
        whole.whole_only = true;
        for (row_state_e broken :
             {row_state_e::overwritten, row_state_e::incomplete, row_state_e::partial, row_state_e::damaged})
            QVERIFY(!passes(whole, "a", 1, 1, broken));
        for (row_state_e fine : {row_state_e::unknown, row_state_e::exact, row_state_e::uncertain, row_state_e::verified,
                                 row_state_e::rebuilt})
            QVERIFY(passes(whole, "a", 1, 1, fine));
    }

    // quarvel-cli scan and recover with filter options take exactly the
    // files the window's index passes, and recover writes them all.
    void command_line_agrees_with_the_window()
    {
        QUARVEL_FIXTURE(f, "demo");
        platform::set_block_devices_enabled(false);
        QCOMPARE(platform::open_disk_image(f.image), 0);
        const QString volume_path = QString::fromStdString(test_support::image_volume_path(f, 1));
        platform::platform_volume_s v;
        QVERIFY(platform::find_volume(volume_path.toStdString(), &v));
        volume_item_s volume;
        volume.device_path = volume_path;
        volume.file_system = QString::fromStdString(v.file_system);
        volume.root_path = QString::fromStdString(v.root_path);
        volume.total_bytes = v.total_bytes;
        scan_service_c service;
        QString reason;
        QVERIFY2(service.scan_to_end(volume, false, &reason) == 0, qPrintable(reason));
        result_index_c index;
        QVERIFY(index.build(service.scanner(), row_flags_e::attributes));
        QVERIFY(index.file_count() > 3);

        // A filter that takes some files and leaves others.
        const QString some_name = index.name(0).left(3);
        struct case_s {
            QStringList options;
            result_filter_s filter;
        };
        std::vector<case_s> cases;
        result_filter_s by_name;
        by_name.name = some_name.toLower();
        cases.push_back({{"--name", some_name.toLower()}, by_name});
        result_filter_s big_files;
        big_files.min_size = 2048;
        big_files.group = file_group_e::other;
        cases.push_back({{"--min-size", "2K", "--type", "other"}, big_files});
        result_filter_s small_whole;
        small_whole.max_size = 100 << 10;
        small_whole.whole_only = true;
        cases.push_back({{"--max-size", "100K", "--whole-only"}, small_whole});

        const QString image = QString::fromStdString(f.image);
        for (const auto& c : cases) {
            std::multiset<int64_t> expected;
            const compiled_filter_c compiled(c.filter);
            for (uint32_t i = 0; i < index.file_count(); ++i)
                if (index.passes(i, compiled))
                    expected.insert(index.id(i));
            const run_s listed = cli(QStringList{"--image", image, "--json", "scan", volume_path} + c.options);
            QCOMPARE(listed.code, 0);
            std::multiset<int64_t> got;
            for (const QByteArray& line : listed.out.split('\n')) {
                if (line.trimmed().isEmpty())
                    continue;
                const QJsonObject row = QJsonDocument::fromJson(line).object();
                QVERIFY(row.contains("folder"));
                got.insert(row.value("id").toInteger());
            }
            QVERIFY2(got == expected, qPrintable(c.options.join(' ')));

            const QString out = QString::fromStdString(test_support::make_temp_dir("filter-cli")) + "/out";
            const run_s written = cli(QStringList{"--image", image, "--json", "recover", volume_path, "--to", out} + c.options);
            if (expected.empty()) {
                QCOMPARE(written.code, 0);
                continue;
            }
            const QJsonObject tally = QJsonDocument::fromJson(written.out.trimmed()).object();
            QCOMPARE(tally.value("written").toInteger() + tally.value("failed").toInteger(), qint64(expected.size()));
            // A selection from several folders is written as a tree.
            int files = 0;
            for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
                ++files;
            QCOMPARE(files, int(tally.value("written").toInteger()));
        }

        // A folder and everything below it.
        const run_s top = cli({"--image", image, "--json", "recover", volume_path, "--to",
                               QString::fromStdString(test_support::make_temp_dir("filter-cli-top")), "--folder", "/"});
        const QJsonObject all = QJsonDocument::fromJson(top.out.trimmed()).object();
        QCOMPARE(all.value("written").toInteger() + all.value("failed").toInteger(), qint64(index.file_count()));
        QCOMPARE(cli({"--image", image, "recover", volume_path, "--to", "/tmp/x", "--folder", "/no/such"}).code, 1);
        const run_s no_group = cli({"--image", image, "scan", volume_path, "--type", "pics"});
        QCOMPARE(no_group.code, 2);
        QVERIFY2(no_group.err.contains("archives, mail, fonts, text, other"), no_group.err.constData());
        QCOMPARE(cli({"--image", image, "recover", volume_path, "--to", "/tmp/x", "--all", "--id", "3"}).code, 2);
        platform::close_disk_images();
    }
};

QTEST_MAIN(tst_result_filter)
#include "tst_result_filter.moc"
