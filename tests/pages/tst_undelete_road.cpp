// The undelete road through the window, as a person takes it: home, Start
// Scan, pick a volume, Scan, open folders, tick, Recovery into a folder; the
// recovered bytes are compared with the fixture's manifest. The same for a
// deep scan that is saved and resumed, and the scan's end rules (stop, the
// deep-scan question).
#include "app/home_window.h"
#include "app/main_window.h"
#include "app/pages/recovery_window.h"
#include "app/pages/volume_window.h"
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/desktop.h"
#include "platform/drive_table.h"
#include "results/result_index.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "support/fixtures.h"
#include "support/read_only_folder.h"

#include <QAbstractItemModel>
#include <QDirIterator>
#include <QLabel>
#include <QListView>
#include <QMovie>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

using namespace test_support;

namespace {

QPushButton* button(QWidget* page, const char* name)
{
    return page->findChild<QPushButton*>(QString::fromLatin1(name));
}

// Answers every message box with `answer` (OK where the box has no such
// button) and keeps the texts shown.
struct boxes_c {
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    QStringList texts;
    boxes_c()
    {
        set_warning_driver([this](QMessageBox& box) {
            texts << box.text();
            QAbstractButton* b = box.button(answer);
            (b ? b : box.buttons().first())->click();
        });
    }
    ~boxes_c() { set_warning_driver(nullptr); }
};

// SHA-256 of every file directly in folder, by file name.
// Every file in folder and below, by its path below folder.
std::map<QString, std::string> hashes_in(const QString& folder)
{
    std::map<QString, std::string> out;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out[QDir(folder).relativeFilePath(it.filePath())] = sha256_of_file(it.filePath().toStdString());
    }
    return out;
}

void save_screenshot(QWidget& window, const char* name)
{
    const QByteArray dir = qgetenv("QUARVEL_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        window.grab().save(QString::fromLocal8Bit(dir) + "/" + name + ".png");
}

// Holds a scanner's read-back lock on a thread of its own for ms
// milliseconds: a recovery started meanwhile writes nothing until then.
struct reads_held_c {
    std::thread holder;
    std::atomic<bool> taken{false};
    reads_held_c(recovery_base_c* scanner, int ms)
    {
        holder = std::thread([this, scanner, ms] {
            std::lock_guard<std::recursive_mutex> lock(scanner->read_back_lock());
            taken = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        });
        while (!taken)
            std::this_thread::yield();
    }
    ~reads_held_c() { holder.join(); }
};

}  // namespace

class tst_undelete_road : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fat_and_ntfs_end_to_end();
    void ticks_across_folders_on_a_card();
    void deep_scan_save_and_resume();
    void scan_end_rules();
    void failing_disk_named_under_the_bar();
    void destination_checked_then_folder_offered();
    void failed_files_listed();

private:
    // Home -> Start Scan (or the deep-scan top command) -> the volume whose
    // device path is `device` -> Scan; waits until its end is handled.
    void scan_from_home(const QString& device, bool deep, bool ends = true);
    // Ticks every row of each folder in turn and recovers it into its own
    // sub-folder of `into`. Returns the hashes of everything written.
    std::multiset<std::string> recover_every_folder(const QString& into);

    QTemporaryDir work;
    std::unique_ptr<main_window_c> window;
};

void tst_undelete_road::initTestCase()
{
    QVERIFY(work.isValid());
    qputenv("XDG_CONFIG_HOME", work.filePath("config").toLocal8Bit());
    init_app_resources();
    register_device_types();
    register_scan_types();
    platform::set_block_devices_enabled(false);
    platform::set_shell_open_enabled(false);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    translation_table = {{"btn_pause", "PAUSE"}, {"btn_start", "START"}, {"btn_resume", "RESUME"},
                         {"deep_scan_query", "DEEP?"}, {"recovery_done", "DONE %1 %2"},
                         {"resume_volume_missing", "MISSING %1"}, {"scan_failed", "FAILED %1"},
                         {"recovery_stopped", "STOPPED %1 %2 %3"}, {"btn_stop", "STOP"}, {"btn_recovery", "RECOVER"},
                         {"output_not_writable", "UNWRITABLE %1: %2"}, {"recovery_open_folder", "OPEN"},
                         {"recovery_show_failed", "WHAT FAILED"}};
}

void tst_undelete_road::init()
{
    startup_done = true;
}

void tst_undelete_road::cleanup()
{
    window.reset();
    set_path_chooser(nullptr);
    set_listing_thread_threshold(20000);
    platform::close_disk_images();
}

void tst_undelete_road::scan_from_home(const QString& device, bool deep, bool ends)
{
    if (deep)
        window->top_command(3);
    else
        button(window->home_page(), "btn_start")->click();
    QCOMPARE(window->current_page_index(), 1);
    auto* list = window->volume_page()->findChild<QListView*>("lv_volumes");
    QVERIFY(list && list->model());
    int row = -1;
    for (int r = 0; r < list->model()->rowCount(); ++r) {
        if (list->model()->index(r, 0).data().value<volume_item_s>().device_path == device)
            row = r;
    }
    QVERIFY2(row > 0, qPrintable(device));
    list->setCurrentIndex(list->model()->index(row, 0));
    save_screenshot(*window, deep ? "volume_page_deep" : "volume_page");

    QSignalSpy handled(window->recovery_page(), &recovery_window_c::scan_handled);
    button(window->volume_page(), "btn_scan")->click();
    QCOMPARE(window->current_page_index(), 4);
    QVERIFY(window->recovery_page()->scan_session().running());
    save_screenshot(*window, "recovery_page_scanning");
    // A step of the busy picture, as a longer scan would show at its end.
    QMovie* busy = window->recovery_page()->findChild<QLabel*>("lbl_anime")->movie();
    while (busy->currentFrameNumber() < 5)
        QVERIFY(busy->jumpToFrame(busy->currentFrameNumber() + 1));
    QVERIFY(handled.wait(120000));
    QVERIFY(!window->recovery_page()->listing());
    // The search for lost files follows the listing and may grow it.
    if (window->recovery_page()->searching_lost_files()) {
        QSignalSpy searched(window->recovery_page(), &recovery_window_c::lost_search_handled);
        QVERIFY(searched.wait(120000));
    }
    if (!ends)
        return;
    QVERIFY(!window->recovery_page()->scan_session().running());
    // Stop stays only for the check of deleted files that follows the listing.
    QVERIFY(!window->recovery_page()->findChild<QPushButton*>("btn_stop")->isVisible() ||
            window->recovery_page()->checking_contents());
    // The busy picture rests on its quiet first frame, not on a step of it.
    QCOMPARE(busy->state(), QMovie::NotRunning);
    QCOMPARE(busy->currentFrameNumber(), 0);
}

std::multiset<std::string> tst_undelete_road::recover_every_folder(const QString& into)
{
    std::multiset<std::string> written;
    recovery_window_c* page = window->recovery_page();
    auto* tree = page->findChild<QTreeView*>("tv_dirtree");
    QAbstractItemModel* model = tree->model();
    // Every folder of the tree, depth first.
    std::vector<QModelIndex> folders;
    std::vector<QModelIndex> pending{model->index(0, 0)};
    while (!pending.empty()) {
        const QModelIndex at = pending.back();
        pending.pop_back();
        if (!at.isValid())
            continue;
        folders.push_back(at);
        for (int r = 0; r < model->rowCount(at); ++r)
            pending.push_back(model->index(r, 0, at));
    }
    int n = 0;
    for (const QModelIndex& folder : folders) {
        emit tree->clicked(folder);
        if (page->table_rows().empty())
            continue;
        page->on_check_all(true);
        const QString target = into + "/" + QString::number(n++);
        QDir().mkpath(target);
        set_path_chooser([target](path_question_e q) { return q == path_question_e::destination_folder ? target : QString(); });
        QSignalSpy done(page, &recovery_window_c::recovery_done);
        const int opened = platform::shell_open_calls();
        button(page, "btn_recovery")->click();
        if (!done.wait(60000)) {
            qWarning("recovery did not end");
            return {};
        }
        QCoreApplication::processEvents();
        // The counts are told, then the folder opens, once.
        if (platform::shell_open_calls() != opened + 1) {
            qWarning("the folder was opened %d times", platform::shell_open_calls() - opened);
            return {};
        }
        for (const auto& [name, hash] : hashes_in(target))
            written.insert(hash);
        // Ticks outlive the folder: the next folder starts from none.
        emit tree->clicked(model->index(0, 0));
        page->on_check_all(false);
    }
    return written;
}

void tst_undelete_road::fat_and_ntfs_end_to_end()
{
    QUARVEL_FIXTURE(f, "demo");
    QCOMPARE(platform::open_disk_image(f.image), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    boxes_c boxes;

    for (int partition : {1, 2}) {
        window->show_page(0);
        scan_from_home(QString::fromStdString(image_volume_path(f, partition)), false);
        if (QTest::currentTestFailed())
            return;
        save_screenshot(*window, partition == 1 ? "recovery_page_fat" : "recovery_page_ntfs");
        QVERIFY(window->recovery_page()->scanner()->get_found_count() > 0);
        QCOMPARE(window->recovery_page()->kind(), partition == 1 ? scanner_kind_e::fat : scanner_kind_e::ntfs);

        if (partition == 1) {
            // Space ticks the current row; a click on a small file puts a
            // copy into this run's private folder for the preview.
            recovery_window_c* page = window->recovery_page();
            auto* tree = page->findChild<QTreeView*>("tv_dirtree");
            emit tree->clicked(tree->model()->index(0, 0));
            QVERIFY(!page->table_rows().empty());
            auto* table = page->findChild<QTableView*>("tv_files");
            table->setCurrentIndex(table->model()->index(0, 1));
            QTest::keyClick(table, Qt::Key_Space);
            QCOMPARE(page->table_rows()[0].checked, 1);
            emit table->clicked(table->model()->index(0, 1));
            const QFileInfo preview(page->preview_path());
            QVERIFY(preview.isFile());
            const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                              QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
            QCOMPARE(QFileInfo(preview.path()).permissions() & others, QFile::Permissions());
            save_screenshot(*window, "recovery_page_preview");
        }
        const std::multiset<std::string> written =
            recover_every_folder(work.filePath(QString("undelete%1").arg(partition)));
        int expected = 0;
        for (const auto& e : entries_on(f, "deleted", partition)) {
            // A deleted FAT file whose clusters were not contiguous lost its
            // chain: its bytes cannot be expected back; an empty one has no
            // start cluster and is never listed.
            if (partition == 1 && (field(e, 4) == "fragmented" || field(e, 4) == "empty"))
                continue;
            ++expected;
            QVERIFY2(written.count(field(e, 3)) > 0, field(e, 1).c_str());
        }
        QVERIFY(expected > 3);
        QVERIFY(!boxes.texts.contains("DEEP?"));

        button(window->recovery_page(), "btn_back")->click();
        QCOMPARE(window->current_page_index(), 1);
        QVERIFY(window->recovery_page()->table_rows().empty());
    }
}

namespace {

bool run_tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QModelIndex find_folder(const QAbstractItemModel* model, const QString& part)
{
    std::vector<QModelIndex> pending{model->index(1, 0)};
    while (!pending.empty()) {
        const QModelIndex at = pending.back();
        pending.pop_back();
        if (at.data().toString().contains(part))
            return at;
        for (int r = 0; r < model->rowCount(at); ++r)
            pending.push_back(model->index(r, 0, at));
    }
    return {};
}

}  // namespace

// A person's card: deleted photos in DCIM/100CANON and a deleted Music
// folder. Ticks made in one folder are still there after another was
// opened, and Recovery writes both folders' files in one run.
void tst_undelete_road::ticks_across_folders_on_a_card()
{
    // The file list built on its thread, as a scan of a million entries has it.
    set_listing_thread_threshold(0);
    QString mkfs;
    for (const char* tool : {"mkfs.fat", "mmd", "mcopy", "mdel", "mdeltree"}) {
        const QString found = QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
        if (found.isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        if (mkfs.isEmpty())
            mkfs = found;
    }
    const QString img = work.filePath("card.img");
    QFile::remove(img);
    QVERIFY(run_tool(mkfs, {"-F", "32", "-C", img, "131072"}));
    QVERIFY(run_tool("mmd", {"-i", img, "::DCIM", "::DCIM/100CANON", "::Music"}));
    std::set<std::string> originals;
    auto put = [&](const QString& target, int seed, int size) {
        const QString source = work.filePath(QString("card-source-%1").arg(seed));
        QFile f(source);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        QByteArray bytes(size, 0);
        for (int i = 0; i < size; ++i)
            bytes[i] = char((i * 31 + seed * 7) ^ (i >> 8));
        f.write(bytes);
        f.close();
        originals.insert(sha256_of_file(source.toStdString()));
        return run_tool("mcopy", {"-i", img, source, target});
    };
    for (int i = 1; i <= 8; ++i)
        QVERIFY(put(QString("::DCIM/100CANON/IMG_%1.JPG").arg(i, 4, 10, QChar('0')), i, 40000 + 1000 * i));
    for (int i = 1; i <= 3; ++i)
        QVERIFY(put(QString("::Music/song%1.mp3").arg(i), 100 + i, 90000));
    QVERIFY(run_tool("mdel", {"-i", img, "::DCIM/100CANON/*.JPG"}));
    QVERIFY(run_tool("mdeltree", {"-i", img, "::Music"}));

    QCOMPARE(platform::open_disk_image(img.toStdString()), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    boxes_c boxes;
    scan_from_home(img + ":p0", false);
    if (QTest::currentTestFailed())
        return;
    recovery_window_c* page = window->recovery_page();
    auto* tree = page->findChild<QTreeView*>("tv_dirtree");
    auto* table = page->findChild<QTableView*>("tv_files");
    const QModelIndex canon = find_folder(tree->model(), "100CANON");
    const QModelIndex music = find_folder(tree->model(), "usic");
    QVERIFY(canon.isValid() && music.isValid());

    // Tick all of 100CANON, open Music, tick one file, go back.
    emit tree->clicked(canon);
    QCOMPARE(page->table_rows().size(), size_t(8));
    page->on_check_all(true);
    emit tree->clicked(music);
    QCOMPARE(page->table_rows().size(), size_t(3));
    const auto songs = page->table_rows();
    QVERIFY(std::none_of(songs.begin(), songs.end(), [](const recovery_item_s& r) { return r.checked; }));
    emit table->clicked(table->model()->index(0, 0));
    emit tree->clicked(canon);
    const auto rows = page->table_rows();
    QVERIFY(std::all_of(rows.begin(), rows.end(), [](const recovery_item_s& r) { return r.checked == 1; }));
    QCOMPARE(page->results()->ticked_count(), 9);
    QCOMPARE(tree->model()->index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::PartiallyChecked);
    save_screenshot(*window, "recovery_page_selection");

    // One run writes all nine, the counts true.
    const QString target = work.filePath("card-out");
    QDir().mkpath(target);
    set_path_chooser([target](path_question_e) { return target; });
    QSignalSpy done(page, &recovery_window_c::recovery_done);
    button(page, "btn_recovery")->click();
    QVERIFY(done.wait(60000));
    QCOMPARE(done.at(0).at(0).toLongLong(), 9);
    QCOMPARE(done.at(0).at(1).toLongLong(), 0);
    const auto written = hashes_in(target);
    QCOMPARE(written.size(), size_t(9));
    for (const auto& [name, hash] : written)
        QVERIFY2(originals.count(hash), qPrintable(name));
    // Two folders ticked: each file keeps its folder, the deleted Music
    // folder its whole long name; an 8.3 name keeps the "#" of its lost
    // first letter.
    QVERIFY(written.count("DCIM/100CANON/#MG_0001.JPG"));
    QVERIFY(std::any_of(written.begin(), written.end(),
                        [](const auto& file) { return file.first.startsWith("Music/#ong"); }));

    // While files are written Recover is Stop: what was written is told,
    // and that the rest was not. The reads are held back meanwhile, so the
    // stop comes while the first file is written.
    const QString stopped_into = work.filePath("card-stopped");
    QDir().mkpath(stopped_into);
    set_path_chooser([stopped_into](path_question_e) { return stopped_into; });
    QPushButton* recover = button(page, "btn_recovery");
    for (const bool by_back : {false, true}) {
        done.clear();
        boxes.texts.clear();
        {
            reads_held_c held(page->scanner(), 300);
            recover->click();
            QCOMPARE(recover->text(), QString("STOP"));
            QVERIFY(!button(page, "btn_pause")->isEnabled());
            // Leaving the page while files are written stops the run too.
            button(page, by_back ? "btn_back" : "btn_recovery")->click();
        }
        QVERIFY(done.count() == 1 || done.wait(60000));
        QCOMPARE(recover->text(), QString("RECOVER"));
        QVERIFY(recover->isEnabled() && button(page, "btn_pause")->isEnabled());
        const qint64 written_now = done.last().at(0).toLongLong();
        QVERIFY(written_now <= 1);
        QCOMPARE(boxes.texts, QStringList{QString("STOPPED %1 0 %2").arg(written_now).arg(9 - written_now)});
    }
    window->show_page(0);
    scan_from_home(img + ":p0", false);
    if (QTest::currentTestFailed())
        return;

    // Start while the file list is built drops that list and scans anew,
    // as Start after it was shown does. The check runs right after the
    // page has handled the scan thread's end and begun the list: connected
    // after the page, in the same thread, so no other event comes between.
    QSignalSpy handled(page, &recovery_window_c::scan_handled);
    int ends_seen = 0;
    bool was_listing = false;
    const auto hook = QObject::connect(&page->scan_service(), &scan_service_c::scan_finished, page, [&] {
        if (ends_seen++ > 0)
            return;
        was_listing = page->listing();
        button(page, "btn_pause")->click();
    }, Qt::DirectConnection);
    button(page, "btn_pause")->click();
    QVERIFY(page->scan_session().running());
    QVERIFY(handled.wait(60000));
    QVERIFY(was_listing);
    // The first scan's end (its list dropped) was handled; the new scan runs.
    QVERIFY(page->scan_session().running());
    QVERIFY(!page->listing());
    QCOMPARE(button(page, "btn_pause")->text(), QString("PAUSE"));
    QVERIFY(handled.wait(60000));
    QObject::disconnect(hook);
    QVERIFY(!page->scan_session().running());
    QVERIFY(find_folder(tree->model(), "100CANON").isValid());
}

void tst_undelete_road::deep_scan_save_and_resume()
{
    QUARVEL_FIXTURE(f, "demo");
    QCOMPARE(platform::open_disk_image(f.image), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    boxes_c boxes;

    const QString device = QString::fromStdString(image_volume_path(f, 1));
    scan_from_home(device, true);
    if (QTest::currentTestFailed())
        return;
    recovery_window_c* page = window->recovery_page();
    QCOMPARE(page->kind(), scanner_kind_e::raw);
    QPushButton* save = button(page, "btn_filter");
    QVERIFY(save->isVisible());
    save_screenshot(*window, "recovery_page_deep");
    const std::multiset<std::string> first = recover_every_folder(work.filePath("deep1"));
    QVERIFY(!first.empty());
    // Every carved file is one of the volume's files, byte for byte.
    std::set<std::string> known;
    for (const char* kind : {"file", "deleted"}) {
        for (const auto& e : entries_on(f, kind, 1))
            known.insert(field(e, 3));
    }
    for (const std::string& hash : first)
        QVERIFY2(known.count(hash), hash.c_str());

    // The scanned image itself is never a destination: refused with a word.
    {
        const QString image = QString::fromStdString(f.image);
        const QByteArray before = QByteArray::fromStdString(sha256_of_file(f.image));
        set_path_chooser([image](path_question_e) { return image; });
        auto* tree = page->findChild<QTreeView*>("tv_dirtree");
        emit tree->clicked(tree->model()->index(0, 0, tree->model()->index(1, 0)));
        page->on_check_all(true);
        boxes.texts.clear();
        button(page, "btn_recovery")->click();
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts[0].contains(image), qPrintable(boxes.texts[0]));
        QVERIFY(!page->writer_running());
        QCOMPARE(QByteArray::fromStdString(sha256_of_file(f.image)), before);
    }

    // Saved under a name that is not ASCII, then resumed from the home page.
    const QString sav = work.filePath("Wiederherstellung Jürgen.sav");
    set_path_chooser([sav](path_question_e) { return sav; });
    save->click();
    QVERIFY(QFileInfo(sav).size() > 256);

    button(page, "btn_back")->click();
    window->show_page(0);
    button(window->home_page(), "btn_resume")->click();
    QCOMPARE(window->current_page_index(), 4);
    QVERIFY(!button(page, "btn_pause")->isVisible());
    QVERIFY(!button(page, "btn_filter")->isVisible());
    const std::multiset<std::string> again = recover_every_folder(work.filePath("deep2"));
    QVERIFY(first == again);

    // A saved scan whose volume is not here says so and stays home.
    button(page, "btn_back")->click();
    window->show_page(0);
    volume_list.resize(1);
    window->on_init_finished();
    set_path_chooser([sav](path_question_e) { return sav; });
    boxes.texts.clear();
    button(window->home_page(), "btn_resume")->click();
    QCOMPARE(window->current_page_index(), 0);
    QCOMPARE(boxes.texts, QStringList{"MISSING " + device});
}

void tst_undelete_road::scan_end_rules()
{
    // A FAT volume with nothing deleted on it.
    if (QStandardPaths::findExecutable("mkfs.fat").isEmpty())
        QSKIP("mkfs.fat (dosfstools) is not installed");
    const QString image = work.filePath("clean.img");
    QFile::remove(image);
    QCOMPARE(QProcess::execute("mkfs.fat", {"-C", "-n", "CLEAN", image, "8192"}), 0);
    QCOMPARE(platform::open_disk_image(image.toStdString()), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    recovery_window_c* page = window->recovery_page();
    const QString device = image + ":p0";

    // Nothing found, not stopped: the question; No leaves an empty tree.
    {
        boxes_c boxes;
        boxes.answer = QMessageBox::No;
        scan_from_home(device, false);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(boxes.texts, QStringList{"DEEP?"});
        QCOMPARE(button(page, "btn_pause")->text(), QString("START"));
        QCOMPARE(page->findChild<QTreeView*>("tv_dirtree")->model()->rowCount(), 0);
        QCOMPARE(page->kind(), scanner_kind_e::fat);
    }
    // Stopped by the user: results kept (none here) and no question.
    {
        boxes_c boxes;
        button(page, "btn_back")->click();
        window->show_page(0);
        auto* list = window->volume_page()->findChild<QListView*>("lv_volumes");
        button(window->home_page(), "btn_start")->click();
        list->setCurrentIndex(list->model()->index(1, 0));
        QSignalSpy handled(page, &recovery_window_c::scan_handled);
        button(window->volume_page(), "btn_scan")->click();
        button(page, "btn_stop")->click();
        QVERIFY(handled.wait(60000));
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join('|')));
        QCOMPARE(button(page, "btn_pause")->text(), QString("START"));
    }
    // Yes: a deep scan of the same volume, which asks nothing when it ends
    // and offers to save.
    {
        boxes_c boxes;
        boxes.answer = QMessageBox::Yes;
        button(page, "btn_back")->click();
        window->show_page(0);
        QSignalSpy handled(page, &recovery_window_c::scan_handled);
        scan_from_home(device, false, false);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(boxes.texts, QStringList{"DEEP?"});
        QCOMPARE(page->kind(), scanner_kind_e::raw);
        QVERIFY(page->scan_session().running());
        QVERIFY(handled.wait(60000));
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(button(page, "btn_filter")->isVisible());
        QVERIFY(!page->scan_session().running());
        // Pause after the end starts the same volume again.
        button(page, "btn_pause")->click();
        QVERIFY(page->scan_session().running());
        QCOMPARE(button(page, "btn_pause")->text(), QString("PAUSE"));
        QVERIFY(handled.wait(60000));
    }
    // A volume that cannot be read any more says why before the question,
    // rather than passing for one with nothing deleted on it.
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(510) && file.write(QByteArray(2, '\0')) == 2);
        file.close();
        boxes_c boxes;
        boxes.answer = QMessageBox::No;
        button(page, "btn_back")->click();
        window->show_page(0);
        scan_from_home(device, false);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(boxes.texts.size(), 2);
        QVERIFY2(boxes.texts[0].startsWith("FAILED ") && boxes.texts[0].contains(device), qPrintable(boxes.texts[0]));
        QCOMPARE(boxes.texts[1], QString("DEEP?"));
    }
}

// An image saved from a failing disk, its map beside it: the sectors it
// could not rescue are named under the progress bar, with their list on
// request; an image is not advised to be imaged again.
// A folder no file can be made in is refused before any copy, with the
// reason; into one that can, the end message offers the folder, which then
// opens once, and no list of failures when nothing failed.
void tst_undelete_road::destination_checked_then_folder_offered()
{
    QUARVEL_FIXTURE(f, "demo");
    QCOMPARE(platform::open_disk_image(f.image), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    QStringList texts, choices;
    set_warning_driver([&](QMessageBox& box) {
        texts << box.text();
        choices.clear();
        for (QAbstractButton* b : box.buttons())
            choices << b->text();
        auto* open = box.findChild<QPushButton*>("btn_choice_0");
        (open ? open : box.buttons().first())->click();
    });
    auto unset = qScopeGuard([] { set_warning_driver(nullptr); });
    scan_from_home(QString::fromStdString(image_volume_path(f, 1)), false);
    if (QTest::currentTestFailed())
        return;
    recovery_window_c* page = window->recovery_page();
    auto* tree = page->findChild<QTreeView*>("tv_dirtree");
    emit tree->clicked(tree->model()->index(0, 0));
    QVERIFY(!page->table_rows().empty());
    page->on_check_all(true);
    QSignalSpy done(page, &recovery_window_c::recovery_done);

    const QString locked = work.filePath("locked");
    QVERIFY(QDir().mkpath(locked));
    {
        const read_only_folder_c read_only(locked.toStdString());
        if (!read_only.failure().empty())
            QSKIP(read_only.failure().c_str());
        set_path_chooser([&](path_question_e) { return locked; });
        texts.clear();
        button(page, "btn_recovery")->click();
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].startsWith("UNWRITABLE " + locked + ": "), qPrintable(texts[0]));
        QCoreApplication::processEvents();
        QCOMPARE(done.count(), 0);
        QVERIFY(QDir(locked).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    const QString target = work.filePath("offered");
    QVERIFY(QDir().mkpath(target));
    set_path_chooser([&](path_question_e) { return target; });
    texts.clear();
    const int opened = platform::shell_open_calls();
    button(page, "btn_recovery")->click();
    QVERIFY(done.wait(60000));
    QCoreApplication::processEvents();
    QCOMPARE(texts.size(), 1);
    QVERIFY2(texts[0].startsWith("DONE "), qPrintable(texts[0]));
    QVERIFY2(choices.contains("OPEN") && !choices.contains("WHAT FAILED"), qPrintable(choices.join('|')));
    QCOMPARE(platform::shell_open_calls(), opened + 1);
    QVERIFY(!hashes_in(target).empty());
}

void tst_undelete_road::failed_files_listed()
{
    translation_table["recovery_failed_heading"] = "%1 FAILED";
    translation_table["recovery_failed_first"] = "FIRST %1";
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    // Fewer kept by name than failed: the heading says how many are listed.
    const std::vector<failed_file_s> failures = {
        {QStringLiteral("DCIM/IMG_0042.JPG"), QStringLiteral("cannot write: No space left on device")},
        {QStringLiteral("#118"), QStringLiteral("no longer listed")}};
    QPointer<QDialog> dialog = window->recovery_page()->show_failed_files(failures, 5);
    QVERIFY(dialog && dialog->isVisible());
    QCOMPARE(dialog->objectName(), QString("dlg_failed_files"));
    QCOMPARE(dialog->windowTitle(), text_for_key("recovery_failed_title"));
    auto* heading = dialog->findChild<QLabel*>();
    QVERIFY(heading);
    QCOMPARE(heading->text(), QString("5 FAILED FIRST 2"));
    auto* list = dialog->findChild<QTableWidget*>("tw_failed_files");
    QVERIFY(list);
    QCOMPARE(list->rowCount(), 2);
    QCOMPARE(list->columnCount(), 2);
    QCOMPARE(list->item(1, 0)->text(), QString("#118"));
    QCOMPARE(list->item(0, 1)->toolTip(), failures[0].reason);
    QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    save_screenshot(*dialog, "failed_files_list");
    // Closed, it is gone: a second recovery's list is a new one.
    dialog->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(dialog.isNull());
}

void tst_undelete_road::failing_disk_named_under_the_bar()
{
    QUARVEL_FIXTURE(f, "demo");
    const QString image = work.filePath("failing.img");
    QFile::remove(image);
    QVERIFY(QFile::copy(QString::fromStdString(f.image), image));
    QFile disk(image);
    QVERIFY(disk.open(QIODevice::ReadOnly));
    const QByteArray mbr = disk.read(512);
    const auto first = uint64_t(uint8_t(mbr[454])) | uint64_t(uint8_t(mbr[455])) << 8 |
                       uint64_t(uint8_t(mbr[456])) << 16 | uint64_t(uint8_t(mbr[457])) << 24;
    const uint64_t size = uint64_t(disk.size());
    // 16 sectors 4 MiB into the first volume were never rescued.
    const uint64_t bad = first * 512 + (4u << 20);
    QFile map(image + ".map");
    QVERIFY(map.open(QIODevice::WriteOnly));
    map.write(QString("0x0 + 1\n0x0 0x%1 +\n0x%1 0x2000 -\n0x%2 0x%3 +\n")
                  .arg(bad, 0, 16)
                  .arg(bad + 0x2000, 0, 16)
                  .arg(size - bad - 0x2000, 0, 16)
                  .toUtf8());
    map.close();
    // The shipped texts (QUARVEL_SCREENSHOT_LANGUAGE names another section
    // than English, for a look at the page), put back afterwards.
    const auto kept = translation_table;
    const std::string texts = qEnvironmentVariable("QUARVEL_SOURCE_DIR").toStdString() + "/data/language.ini";
    if (load_language_file(texts, "English", false) != 0)
        QSKIP("the shipped language.ini is not found (QUARVEL_SOURCE_DIR unset)");
    if (qEnvironmentVariableIsSet("QUARVEL_SCREENSHOT_LANGUAGE"))
        load_language_file(texts, qEnvironmentVariable("QUARVEL_SCREENSHOT_LANGUAGE"), false);
    struct restore_s {
        const std::map<std::string, QString, std::less<>>& table;
        ~restore_s() { translation_table = table; }
    } restore{kept};
    QCOMPARE(platform::open_disk_image(image.toStdString()), 0);
    enumerate_volumes();
    window = std::make_unique<main_window_c>();
    window->on_init_finished();
    window->resize(900, 640);
    window->show();
    boxes_c boxes;
    scan_from_home(image + ":p1", false);
    recovery_window_c* page = window->recovery_page();
    const read_damage_text_s shown = page->read_damage_shown();
    const QString files_known = text_for_key("read_damage_files");
    QVERIFY2(shown.line.contains("16") && shown.line.startsWith(files_known.left(files_known.indexOf("%2")).arg(16)),
             qPrintable(shown.line));
    QVERIFY(shown.advice.isEmpty());
    for (const QString& text : boxes.texts)
        QVERIFY2(!text.contains(shown.line), qPrintable(text));
    auto* label = page->findChild<QLabel*>("lbl_read_damage");
    QVERIFY(label && label->isVisible());
    QVERIFY(label->text().contains("16") && label->text().contains("href"));
    save_screenshot(*window, "recovery_page_read_damage");

    page->show_damage_list();
    auto* list = page->findChild<QTableWidget*>("tw_read_damage");
    QVERIFY(list);
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(list->item(0, 0)->text(), QString::number((bad - first * 512) / 512));
    QCOMPARE(list->item(0, 1)->text(), QString("16"));
    QCOMPARE(list->item(0, 2)->text(), text_for_key("read_damage_not_read"));
    if (auto* dialog = qobject_cast<QWidget*>(list->parent())) {
        save_screenshot(*dialog, "read_damage_list");
        dialog->close();
    }
}

QTEST_MAIN(tst_undelete_road)
#include "tst_undelete_road.moc"
