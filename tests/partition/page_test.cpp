// The partition road in the window, offscreen: the drive page's list, and the
// partition page searching a disk whose sector 0 was wiped, repairing it
// after the confirmations, telling refusals as they are, and undoing the
// repair from the menu's entry.
#include "app/pages/drive_model.h"
#include "app/pages/drive_window.h"
#include "app/pages/partition_model.h"
#include "app/pages/partition_window.h"
#include "devices/enumerate.h"
#include "shell/message_box.h"
#include "shell/settings.h"
#include "disk_image.h"
#include "platform/partitions.h"
#include "partition/sector0_backup.h"
#include "platform/drive_table.h"
#include "support/failing_disk.h"
#include "support/fixtures.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListView>
#include <QPushButton>
#include <QTest>

using namespace part_test;

namespace {
QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers the boxes the pages show, in order, and keeps their texts.
struct box_answers_s {
    QList<QMessageBox::StandardButton> answers;
    QStringList texts;

    void install()
    {
        set_warning_driver([this](QMessageBox& box) {
            texts << box.text();
            const auto answer = answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
            if (QAbstractButton* button = box.button(answer))
                button->click();
            else
                box.reject();
        });
    }
    ~box_answers_s() { set_warning_driver(nullptr); }
};

struct found_s {
    uint64_t start, end;
    const char* fs;
};
}  // namespace

class page_test_c : public QObject {
    Q_OBJECT
    QString dir_;
    QString lost_disk_;  // three volumes, sector 0 wiped

    // The page's found rows below the header, as (fs, start, end).
    static QList<found_s> rows(QListView* view)
    {
        QList<found_s> out;
        for (int row = 1; row < view->model()->rowCount(); ++row) {
            const auto p = view->model()->index(row, 0).data().value<partition_item_s>();
            out.push_back({p.start_sector, p.end_sector, p.file_system == "NTFS" ? "NTFS" : "FAT32"});
        }
        return out;
    }

    void save_shot(QWidget& page, const QString& name)
    {
        const QString shots = qEnvironmentVariable("QUARVEL_SCREENSHOT_DIR");
        if (!shots.isEmpty())
            page.grab().save(shots + "/" + name + ".png");
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-page"));
        QVERIFY(!dir_.isEmpty());
        qputenv("XDG_STATE_HOME", (dir_ + "/state").toLocal8Bit());
        const QString ini = qEnvironmentVariable("QUARVEL_SOURCE_DIR") + "/data/language.ini";
        QCOMPARE(load_language_file(ini.toStdString(), QStringLiteral("English"), true), 0);
        register_device_types();
        register_partition_types();
        platform::set_block_devices_enabled(false);

        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString fat = dir_ + "/fat.img", ntfs = dir_ + "/ntfs.img";
        lost_disk_ = dir_ + "/lost.img";
        QVERIFY(make_sparse(fat, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", fat}), 0);
        QVERIFY(make_sparse(ntfs, 20 << 20));
        QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", ntfs}), 0);
        QVERIFY(make_sparse(lost_disk_, 300 << 20));
        QVERIFY(place_file(lost_disk_, 2048 * 512, fat));
        QVERIFY(place_file(lost_disk_, 100000 * 512, ntfs));
        QVERIFY(place_file(lost_disk_, 300000 * 512, ntfs));
    }

    // Real byte sizes (a 5 MiB image is not 0 whole cylinders), the heading
    // row, the first drive current after start-up and none after Refresh.
    void drive_page()
    {
        const QString small = dir_ + "/five.img";
        QVERIFY(make_sparse(small, 5 << 20));
        platform::close_disk_images();
        QCOMPARE(platform::open_disk_image(small.toStdString()), 0);
        QCOMPARE(enumerate_drives(), 0);
        QCOMPARE(drive_list.size(), size_t(2));
        QCOMPARE(drive_list[1].size_bytes, uint64_t(5 << 20));
        QCOMPARE(format_size(500107862016ull), QString("465.76G"));

        drive_window_c page(nullptr);
        page.resize(800, 520);
        page.set_drive_list(&drive_list);
        auto* view = page.findChild<QListView*>("lv_drives");
        QCOMPARE(view->model()->rowCount(), 2);
        QVERIFY(!view->model()->index(0, 0).data().value<drive_item_s>().geometry);
        QVERIFY(!view->model()->index(0, 0).data(Qt::EditRole).isValid());
        QCOMPARE(page.selected_drive().device_path, small);
        save_shot(page, "drive_page");
        page.refresh();
        QVERIFY(page.selected_drive().device_path.isEmpty());
        platform::close_disk_images();
    }

    // Search, the three volumes listed in order below the header, Repair,
    // Yes: sfdisk reads the table; the undo puts the old sector back.
    void search_repair_and_undo()
    {
        if (lost_disk_.isEmpty())
            QSKIP("skip: no disk image (mkfs.fat or mkntfs missing)");
        PART_NEED_TOOL(sfdisk, "sfdisk");
        const QString disk = dir_ + "/repair.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(lost_disk_, disk));
        const QByteArray before = whole(disk);

        partition_window_c page(nullptr);
        page.resize(800, 520);  // the main window's page area
        page.show();
        page.start_search(drive_for(disk));
        QTRY_COMPARE_WITH_TIMEOUT(page.findChild<QPushButton*>("btn_stop")->text(), QString("Start"), 60000);
        auto* view = page.findChild<QListView*>("lv_volumes");
        const QList<found_s> got = rows(view);
        const found_s want[] = {{2048, 83967, "FAT32"}, {100000, 140959, "NTFS"}, {300000, 340959, "NTFS"}};
        QCOMPARE(got.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(got[i].start, want[i].start);
            QCOMPARE(got[i].end, want[i].end);
            QCOMPARE(QString(got[i].fs), QString(want[i].fs));
        }
        QVERIFY(!(view->model()->flags(view->model()->index(0, 0)) & Qt::ItemIsSelectable));
        QCOMPARE(page.progress_value(), 1.0);
        save_shot(page, "partition_page");

        box_answers_s boxes;
        boxes.answers = {QMessageBox::Yes, QMessageBox::Ok};
        boxes.install();
        page.findChild<QPushButton*>("btn_repair")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 2, 20000);
        QVERIFY2(boxes.texts[1].startsWith(text_for_key("partition_finished")), qPrintable(boxes.texts[1]));
        QVERIFY2(boxes.texts[1].contains(dir_ + "/state/"), qPrintable(boxes.texts[1]));

        QByteArray out;
        QCOMPARE(run_tool(sfdisk, {"--json", disk}, &out), 0);
        const QJsonArray parts = QJsonDocument::fromJson(out).object()["partitiontable"].toObject()["partitions"].toArray();
        QCOMPARE(parts.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(uint64_t(parts[i].toObject()["start"].toInteger()), want[i].start);
            QCOMPARE(uint64_t(parts[i].toObject()["size"].toInteger()), want[i].end - want[i].start + 1);
        }

        // The volume page's Refresh finds the three volumes again.
        platform::close_disk_images();
        QCOMPARE(platform::open_disk_image(disk.toStdString()), 0);
        enumerate_volumes();
        QStringList systems;
        for (const volume_item_s& v : volume_list)
            if (v.device_path.startsWith(disk + ":p"))
                systems << v.file_system;
        platform::close_disk_images();
        QCOMPARE(systems, QStringList({"FAT32", "NTFS", "NTFS"}));

        // No: nothing happens. Yes: the old sector 0 is back, byte for byte.
        boxes.texts.clear();
        boxes.answers = {QMessageBox::No};
        page.restore_last_repair();
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].contains(disk));
        QVERIFY(whole(disk) != before);
        boxes.answers = {QMessageBox::Yes, QMessageBox::Ok};
        page.restore_last_repair();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 3, 20000);
        QVERIFY2(boxes.texts[2].startsWith(text_for_key("partition_restore_finished")), qPrintable(boxes.texts[2]));
        QVERIFY(whole(disk) == before);

        // The image replaced by a copy is another disk: the backup goes back
        // only after a second yes.
        const QString copy = disk + ".copy";
        QVERIFY(QFile::copy(disk, copy));
        const QByteArray junk(512, 'j');
        QVERIFY(write_at(copy, 0, junk.constData(), 512));
        QVERIFY(::rename(copy.toLocal8Bit().constData(), disk.toLocal8Bit().constData()) == 0);
        boxes.texts.clear();
        boxes.answers = {QMessageBox::Yes, QMessageBox::No};
        page.restore_last_repair();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 2, 20000);
        QVERIFY2(boxes.texts[1].contains("another disk"), qPrintable(boxes.texts[1]));
        QCOMPARE(read_at(disk, 0, 512), junk);
        boxes.texts.clear();
        boxes.answers = {QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok};
        page.restore_last_repair();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 3, 20000);
        QVERIFY2(boxes.texts[2].startsWith(text_for_key("partition_restore_finished")), qPrintable(boxes.texts[2]));
        QVERIFY(whole(disk) == before);
    }

    // Stop mid-search keeps what was found; Start searches again from
    // sector 0 with an emptied list. A repair from a stopped search is
    // refused with its reason, and the page answers while it searches.
    void stop_and_start_again()
    {
        const QString disk = dir_ + "/large.img";
        QVERIFY(make_sparse(disk, 64ull << 30));
        QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(999)));
        partition_window_c page(nullptr);
        page.resize(583, 438);
        auto* stop = page.findChild<QPushButton*>("btn_stop");
        auto* view = page.findChild<QListView*>("lv_volumes");

        page.start_search(drive_for(disk));
        QElapsedTimer clock;
        qint64 longest_gap = 0, last = 0;
        clock.start();
        while (page.search_thread().partition_count() == 0 && clock.elapsed() < 20000) {
            QTest::qWait(10);
            longest_gap = std::max(longest_gap, clock.elapsed() - last);
            last = clock.elapsed();
        }
        qInfo("longest event-loop gap while searching: %lld ms", longest_gap);
        QTRY_COMPARE_WITH_TIMEOUT(view->model()->rowCount(), 2, 5000);
        QVERIFY(page.search_running());
        stop->click();
        QVERIFY(!page.search_running());
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_thread().isRunning(), 10000);
        QCOMPARE(stop->text(), text_for_key("btn_start"));
        QCOMPARE(view->model()->rowCount(), 2);

        box_answers_s boxes;
        boxes.answers = {QMessageBox::Yes, QMessageBox::Ok};
        boxes.install();
        page.findChild<QPushButton*>("btn_repair")->click();
        QCOMPARE(boxes.texts.size(), 2);
        QVERIFY2(boxes.texts[1].startsWith(text_for_key("partition_repair_refused")) &&
                     boxes.texts[1].contains("did not pass the whole disk"),
                 qPrintable(boxes.texts[1]));
        QCOMPARE(read_at(disk, 0, 512), QByteArray(512, '\0'));

        stop->click();  // start again
        QCOMPARE(stop->text(), text_for_key("btn_stop"));
        QVERIFY(page.search_running());
        QTRY_COMPARE_WITH_TIMEOUT(view->model()->rowCount(), 2, 20000);
        page.stop_search();
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_thread().isRunning(), 10000);
        QFile::remove(disk);
    }

    // A disk with unreadable sectors before its first volume: every volume
    // is listed, and a line under the bar counts the sectors, its tool tip
    // naming each range.
    void unreadable_sectors_are_told()
    {
        if (lost_disk_.isEmpty())
            QSKIP("skip: no disk image (mkfs.fat or mkntfs missing)");
        QUARVEL_FAILING_DISK_OR_SKIP();
        test_support::failing_disk_c disk;
        QUARVEL_START_FAILING_DISK(disk, lost_disk_, {"--bad", "100,1500-1503"});
        partition_window_c page(nullptr);
        page.resize(800, 520);
        page.show();
        page.start_search(drive_for(disk.path()));
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_thread().isRunning(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(rows(page.findChild<QListView*>("lv_volumes")).size(), 3, 5000);
        // The page learns of the end from the thread's finished signal, which
        // may still be on its way.
        QTRY_COMPARE_WITH_TIMEOUT(page.unreadable_text(), text_for_key("partition_unreadable").arg(5), 5000);
        save_shot(page, "partition_page_unreadable");
    }

    // A GPT whose primary header and table were zeroed: the page shows it,
    // and the repair brings the disk back byte for byte from the backup.
    void gpt_primary_rebuilt_from_backup()
    {
        QUARVEL_FIXTURE(gpt, "gpt");
        const QString disk = dir_ + "/gpt-window.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(gpt.image), disk));
        const QByteArray original = whole(disk);
        // sfdisk's protective MBR stays: ours would differ in its end CHS.
        const QByteArray zeros(33 * 512, '\0');
        QVERIFY(write_at(disk, 512, zeros.constData(), size_t(zeros.size())));
        partition_window_c page(nullptr);
        box_answers_s boxes;
        boxes.install();
        page.start_search(drive_for(disk));
        QVERIFY2(page.gpt_state_text().contains(text_for_key("partition_gpt_missing")),
                 qPrintable(page.gpt_state_text()));
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_running(), 60000);
        boxes.answers = {QMessageBox::Yes, QMessageBox::Ok};
        page.findChild<QPushButton*>("btn_repair")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 2, 20000);
        QVERIFY2(boxes.texts[1].startsWith(text_for_key("partition_finished")), qPrintable(boxes.texts[1]));
        QVERIFY(whole(disk) == original);
        QVERIFY(!page.gpt_state_text().contains(text_for_key("partition_gpt_missing")));
    }

    // A GPT disk is refused and says why; a disk whose intact table holds
    // partitions the search cannot find asks a second time, naming them.
    void refusals_and_second_question()
    {
        QUARVEL_FIXTURE(gpt, "gpt");
        QUARVEL_FIXTURE(logical, "mbr_logical");
        partition_window_c page(nullptr);
        box_answers_s boxes;
        boxes.install();

        const QString gpt_disk = dir_ + "/gpt.img";
        QFile::remove(gpt_disk);
        QVERIFY(QFile::copy(QString::fromStdString(gpt.image), gpt_disk));
        const QByteArray gpt_before = whole(gpt_disk);
        page.start_search(drive_for(gpt_disk));
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_running(), 60000);
        boxes.answers = {QMessageBox::Yes, QMessageBox::Ok};
        page.findChild<QPushButton*>("btn_repair")->click();
        QCOMPARE(boxes.texts.size(), 2);
        QVERIFY2(boxes.texts[1].startsWith(text_for_key("partition_repair_refused")) && boxes.texts[1].contains("GPT"),
                 qPrintable(boxes.texts[1]));
        QVERIFY(whole(gpt_disk) == gpt_before);

        const QString disk = dir_ + "/logical.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(logical.image), disk));
        // The FAT16 partitions' boot sectors wiped: the search cannot find them.
        for (const auto& p : platform::read_partitions(disk.toStdString()))
            if (p.number == 1 || p.number == 5)
                QVERIFY(write_at(disk, p.start_bytes, QByteArray(512, '\0').constData(), 512));
        const QByteArray before = whole(disk);
        page.start_search(drive_for(disk));
        QTRY_VERIFY_WITH_TIMEOUT(!page.search_running(), 60000);
        boxes.texts.clear();
        boxes.answers = {QMessageBox::Yes, QMessageBox::No};
        page.findChild<QPushButton*>("btn_repair")->click();
        QCOMPARE(boxes.texts.size(), 2);
        QVERIFY2(boxes.texts[1].contains("partition 1 (") && boxes.texts[1].contains("partition 5 ("),
                 qPrintable(boxes.texts[1]));
        QVERIFY(!page.writing());
        QVERIFY(whole(disk) == before);

        boxes.texts.clear();
        boxes.answers = {QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok};
        page.findChild<QPushButton*>("btn_repair")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!page.writing() && boxes.texts.size() == 3, 20000);
        QVERIFY2(boxes.texts[2].startsWith(text_for_key("partition_finished")), qPrintable(boxes.texts[2]));
        QVERIFY(whole(disk) != before);
    }
};

QTEST_MAIN(page_test_c)
#include "page_test.moc"
