// The NTFS scanner over real volumes: what it keeps and drops, the tree it
// links, orphans, its read-back, the engine scan it keeps open between scans,
// and its start-failure log.
#include "ntfs_test_util.h"
#include "engines/ntfs/ntfs_parse.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/recover_rows.h"
#include "support/english_notes.h"
#include "support/fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <map>
#include <set>

namespace {

volume_item_s item_of(const platform::platform_volume_s& v) {
    volume_item_s item;
    item.dos_device = QString::fromStdString(v.dos_device);
    item.device_path = QString::fromStdString(v.device_path);
    item.file_system = QString::fromStdString(v.file_system);
    item.root_path = QString::fromStdString(v.root_path);
    item.total_bytes = v.total_bytes;
    item.partition_number = v.partition_number;
    item.disk_number = v.disk_number;
    return item;
}

// Opens image and returns the volume record of partition `partition`.
bool volume_of(const std::string& image, int partition, volume_item_s* out) {
    if (platform::open_disk_image(image) != 0)
        return false;
    platform::platform_volume_s v;
    if (!platform::find_volume(image + ":p" + std::to_string(partition), &v))
        return false;
    *out = item_of(v);
    return true;
}

void run_scan(ntfs_recovery_c& scanner, const volume_item_s& volume) {
    scanner.reset();
    scanner.set_volume(volume);
    scanner.start();
    scanner.wait();
}

// Shown files by "folder/name".
std::map<QString, const ntfs_node_s*> shown_files(const ntfs_recovery_c& scanner) {
    std::map<QString, const ntfs_node_s*> shown;
    scanner.visit_shown_files([&](const ntfs_node_s& node, const QString& folder) {
        shown[(folder == "/" ? QString() : folder) + '/' + node.name] = &node;
    });
    return shown;
}

// How many of this process's descriptors are open on the file at path.
int descriptors_on(const std::string& path) {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real))
        return -1;
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        char target[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
        if (len > 0 && std::string(target, size_t(len)) == real)
            ++n;
    }
    return n;
}

QStringList log_lines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

class tst_ntfs_scanner : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void fixture_tree_and_recovery();
    void orphans_and_lost_names();
    void named_streams();
    void clusters_taken_since();
    void clusters_claimed_twice();
    void content_checked();
    void parent_loop();
    void deleted_system_records_hidden();
    void damaged_fixture();
    void second_scan_closes_the_first();
    void loop_device();
    void start_failure_logs_one_line();
};

void tst_ntfs_scanner::initTestCase() {
    platform::set_block_devices_enabled(false);
    const QString state = QString::fromStdString(test_support::make_temp_dir("ntfs-state"));
    qputenv("XDG_STATE_HOME", state.toUtf8());
}

void tst_ntfs_scanner::cleanup() { platform::close_disk_images(); }

void tst_ntfs_scanner::fixture_tree_and_recovery() {
    QUARVEL_FIXTURE(f, "ntfs");
    volume_item_s volume;
    QVERIFY(volume_of(f.image, 1, &volume));
    QCOMPARE(volume.file_system, QString("NTFS"));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), 0);
    QVERIFY(scanner.engine_open());

    // Live files are dropped; directories, live or deleted, are kept; the
    // system records are stored but never shown.
    QCOMPARE(scanner.get_found_count(), int64_t(scanner.nodes().size()));
    QVERIFY(scanner.get_read_count() >= scanner.get_found_count());
    QVERIFY(!scanner.find_node(ntfs_recovery_c::orphan_folder_number));
    for (const auto& [number, node] : scanner.nodes()) {
        QVERIFY2(!(node.flags & ntfs_engine::flag_file) || (node.flags & ntfs_engine::flag_deleted),
                 qPrintable(node.name));
        if (number <= ntfs_recovery_c::last_system_number) {
            QVERIFY(!ntfs_recovery_c::is_shown_file(node));
            QVERIFY(!ntfs_recovery_c::is_shown_folder(node));
        }
    }
    QVERIFY(scanner.find_node(11));  // $Extend, a live directory
    const ntfs_node_s* root = scanner.find_node(ntfs_recovery_c::root_number);
    QVERIFY(root && root->has_files);

    const auto shown = shown_files(scanner);
    const auto deleted = test_support::entries_of(f, "deleted");
    QCOMPARE(shown.size(), deleted.size());
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-scanner-out"));
    for (const auto& e : deleted) {
        const QString path = QString::fromStdString(e.fields[1]);
        QVERIFY2(shown.count(path), qPrintable(path));
        const ntfs_node_s& node = *shown.at(path);
        const recovery_item_s row = ntfs_recovery_c::row_of(node);
        QCOMPARE(row.size, int64_t(std::stoll(e.fields[2])));
        QCOMPARE(row.date1, node.time_b);
        QCOMPARE(row.date2, node.time_a);
        // A damaged file's row holds its intact share where this bit was.
        QVERIFY(node.flags & ntfs_engine::flag_engine_extract);

        QString full;
        QCOMPARE(scanner.get_full_path(row.id, &full), 0);
        QCOMPARE(full, volume.device_path + path);

        QString target;
        QCOMPARE(recover_row(scanner, {row.id, row.name}, folder, &target), 0);
        QCOMPARE(test_support::sha256_of_file(target.toStdString()), e.fields[3]);
    }
    for (const auto& e : test_support::entries_of(f, "deleted_dir")) {
        QString parent_path;
        bool found = false;
        for (const auto& [number, node] : scanner.nodes()) {
            QString full;
            if (number > 11 && scanner.get_full_path(number, &full) == 0 &&
                full == volume.device_path + QString::fromStdString(e.fields[1])) {
                QCOMPARE(node.flags, ntfs_engine::flag_directory | ntfs_engine::flag_deleted);
                QVERIFY(node.has_files);
                found = true;
            }
        }
        QVERIFY2(found, e.fields[1].c_str());
    }
    QString missing;
    QCOMPARE(scanner.get_full_path(int64_t(1) << 40, &missing), -1);
}

void tst_ntfs_scanner::orphans_and_lost_names() {
    QUARVEL_NTFS_CASES(cases);
    volume_item_s volume;
    QVERIFY(volume_of(cases.image, 0, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), 0);

    const ntfs_node_s* orphans = scanner.find_node(ntfs_recovery_c::orphan_folder_number);
    QVERIFY(orphans);
    QCOMPARE(orphans->name, QString("$OrphanFiles"));
    QCOMPARE(orphans->parent, ntfs_recovery_c::root_number);
    QVERIFY(ntfs_recovery_c::is_shown_folder(*orphans));

    const auto shown = shown_files(scanner);
    // The folder's record now belongs to a live file: its old file is an orphan.
    QVERIFY(shown.count("/$OrphanFiles/orphan data.bin"));
    QVERIFY(shown.count("/sparse.bin"));
    const ntfs_node_s* nameless = nullptr;
    for (const auto& [path, node] : shown)
        if (path.startsWith("/$OrphanFiles/record_"))
            nameless = node;
    QVERIFY(nameless);

    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-orphan-out"));
    const ntfs_node_s& orphan = *shown.at("/$OrphanFiles/orphan data.bin");
    QString full;
    QCOMPARE(scanner.get_full_path(orphan.number, &full), 0);
    QCOMPARE(full, volume.device_path + "/$OrphanFiles/orphan data.bin");
    QString target;
    QCOMPARE(recover_row(scanner, {orphan.number, orphan.name}, folder, &target), 0);
    QCOMPARE(test_support::sha256_of_file(target.toStdString()), (*cases.find("orphan", "/Lost Folder/orphan data.bin"))[3]);
    const ntfs_node_s& sparse = *shown.at("/sparse.bin");
    QCOMPARE(recover_row(scanner, {sparse.number, sparse.name}, folder, &target), 0);
    QCOMPARE(test_support::sha256_of_file(target.toStdString()), (*cases.find("deleted", "/sparse.bin"))[3]);

    // Its data cannot be had whole: a failure that leaves no partial file,
    // and a file of that name already in the folder is left as it was.
    const QString stale = folder + '/' + nameless->name;
    QFile old(stale);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("stale");
    old.close();
    QVERIFY(recover_row(scanner, {nameless->number, nameless->name}, folder, &target) < 0);
    QFile kept(stale);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("stale"));
    QCOMPARE(QDir(folder).entryList({nameless->name + '*'}, QDir::Files).size(), 1);
}

// Each named stream of a deleted file is a row of its own, "file:stream",
// sized and recovered byte for byte; a live file's streams are not listed.
// The Sleuth Kit lists the same streams with the same bytes.
void tst_ntfs_scanner::named_streams() {
    QUARVEL_NTFS_STREAMS(cases);
    volume_item_s volume;
    QVERIFY(volume_of(cases.image, 0, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), 0);
    const auto shown = shown_files(scanner);
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-streams-out"));
    std::set<std::string> ours;
    int streams = 0;
    for (const auto& line : cases.lines) {
        const QString path = QString::fromStdString(line[1]);
        if (line[0] == "live") {
            QVERIFY2(!shown.count(path), qPrintable(path));
            continue;
        }
        QVERIFY2(shown.count(path), qPrintable("not listed: " + path));
        const ntfs_node_s& row = *shown.at(path);
        QCOMPARE(row.size, std::stoll(line[2]));
        QVERIFY(row.flags & ntfs_engine::flag_engine_extract);
        QString target;
        QCOMPARE(recover_row(scanner, {row.number, row.name}, folder, &target), 0);
        QCOMPARE(QFileInfo(target).fileName(), path.section('/', -1));
        QCOMPARE(test_support::sha256_of_file(target.toStdString()), line[3]);
        ours.insert(line[3]);
        streams += line[0] == "stream" ? 1 : 0;
        QString full;
        QCOMPARE(scanner.get_full_path(row.number, &full), 0);
        QCOMPARE(full, volume.device_path + path);
    }
    QCOMPARE(streams, 4);
    // An id that names no stream row is refused.
    QVERIFY(scanner.recover_file(ntfs_recovery_c::stream_id(70, 9), folder + "/none") < 0);
    QVERIFY(!QFile::exists(folder + "/none"));

    const QString fls = QStandardPaths::findExecutable("fls"), icat = QStandardPaths::findExecutable("icat");
    if (fls.isEmpty() || icat.isEmpty())
        QSKIP("The Sleuth Kit is not installed: no oracle comparison");
    QProcess p;
    p.start(fls, {"-r", "-d", "-p", "-F", QString::fromStdString(cases.image)});
    QVERIFY(p.waitForFinished(60000));
    int theirs = 0;
    // "r/r * 64-128-5:	photo.jpg:thumb"
    static const QRegularExpression row(R"(^\S+ \* (\S+):\t(.*:.*)$)");
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch m = row.match(line);
        if (!m.hasMatch())
            continue;
        QVERIFY2(shown.count('/' + m.captured(2)), qPrintable(line));
        const QString out = folder + "/icat-" + QString::number(theirs);
        QProcess cat;
        cat.setStandardOutputFile(out);
        cat.start(icat, {QString::fromStdString(cases.image), m.captured(1)});
        QVERIFY(cat.waitForFinished(60000));
        QVERIFY2(ours.count(test_support::sha256_of_file(out.toStdString())), qPrintable(line));
        ++theirs;
    }
    QCOMPARE(theirs, streams);
}

// A deleted file (and its named stream) whose clusters a later file took is
// marked overwritten, and its copy indeed holds the other file's bytes; one
// whose clusters are free is unmarked and comes back byte for byte, and is
// marked incomplete, its copy refused, once the volume ends inside it.
// Without a readable cluster bitmap nothing is marked and the scan succeeds.
void tst_ntfs_scanner::clusters_taken_since() {
    QUARVEL_NTFS_REUSE(cases);
    using namespace ntfs_engine;
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-reuse-out"));
    int64_t survivor = -1;
    auto check = [&](const std::string& image, uint32_t reused_flags, uint32_t free_flags, bool bitmap_readable) {
        volume_item_s volume;
        QVERIFY(volume_of(image, 0, &volume));
        ntfs_recovery_c scanner;
        run_scan(scanner, volume);
        QCOMPARE(scanner.startup_result(), 0);
        QCOMPARE(english_notes(scanner.notes()).contains("clusters in use"), !bitmap_readable);
        const auto shown = shown_files(scanner);
        for (const auto& line : cases.lines) {
            const QString path = QString::fromStdString(line[1]);
            QVERIFY2(shown.count(path), qPrintable("not listed: " + path));
            const ntfs_node_s& row = *shown.at(path);
            const bool reused = line[0] == "overwritten";
            const uint32_t expected = reused ? reused_flags : free_flags;
            QCOMPARE(row.flags & (flag_data_overwritten | flag_data_incomplete), expected);
            if (path == "/survivor.bin")
                survivor = row.number;
            QString target;
            if (expected & flag_data_incomplete) {
                QVERIFY(recover_row(scanner, {row.number, row.name}, folder, &target) < 0);
                QVERIFY(QDir(folder).entryList({row.name + '*'}, QDir::Files).isEmpty());
                continue;
            }
            QCOMPARE(recover_row(scanner, {row.number, row.name}, folder, &target), 0);
            QCOMPARE(test_support::sha256_of_file(target.toStdString()) == line[3], !reused);
            QVERIFY(QFile::remove(target));
        }
        platform::close_disk_images();
    };
    check(cases.image, flag_data_overwritten, 0, true);
    QVERIFY(survivor > 11);

    const std::string dir = test_support::make_temp_dir("ntfs-reuse-copy");
    const uint64_t size = uint64_t(QFileInfo(QString::fromStdString(cases.image)).size());
    // Cut after the first cluster of the free file's data: its streams,
    // written after it, are cut off too; the overwritten ones lie before.
    const std::string cut = dir + "/cut.img";
    {
        ntfs_test::volume_file_c vol(cases.image);
        const auto r = vol.read_record(survivor);
        const size_t data = ntfs_test::find_attribute(r, 0x80);
        QVERIFY(data && r[data + 8] == 1);
        const size_t pairs = data + (r[data + 32] | r[data + 33] << 8);
        std::vector<ntfs_parse::run_s> runs;
        QVERIFY(ntfs_parse::decode_runlist(&r[pairs], r.size() - pairs, 0, UINT64_MAX, &runs) && !runs.empty());
        QVERIFY(ntfs_test::copy_range(cases.image, 0, (uint64_t(runs[0].lcn) + 1) * 4096, cut));
    }
    check(cut, flag_data_overwritten, flag_data_incomplete, true);

    const std::string unmapped = dir + "/unmapped.img";
    QVERIFY(ntfs_test::copy_range(cases.image, 0, size, unmapped));
    {
        ntfs_test::volume_file_c vol(unmapped);
        QVERIFY(vol.ok());
        auto bitmap = vol.read_record(6);
        const size_t data = ntfs_test::find_attribute(bitmap, 0x80);
        QVERIFY(data);
        bitmap[data + 8] = 0;  // claimed resident: no map of the volume in it
        vol.write_record(6, bitmap);
    }
    check(unmapped, 0, 0, false);
}

// A deleted file whose clusters a later file took, itself deleted since, is
// marked overwritten although the bitmap shows them free; the later file is
// unmarked and comes back byte for byte. Which of the two is later is read
// from their times, not from where their records lie.
// Deleted files whose clusters are free are read along their runs and
// checked by their content: a whole PNG is verified, one written over since
// its delete is damaged (its copy still reads what is there), bytes of no
// known type are only not contradicted, and data kept in the record is
// exact. Deferred, the check waits for its pass, and a copy judges first.
void tst_ntfs_scanner::content_checked() {
    QUARVEL_NTFS_CONTENT(cases);
    using namespace ntfs_engine;
    volume_item_s volume;
    QVERIFY(volume_of(cases.image, 0, &volume));
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-content-out"));
    for (const bool deferred : {false, true}) {
        ntfs_recovery_c scanner;
        scanner.set_content_pass_deferred(deferred);
        run_scan(scanner, volume);
        QCOMPARE(scanner.content_left(), deferred ? int64_t(2) : int64_t(0));
        const auto shown = shown_files(scanner);
        for (const auto& line : cases.lines) {
            const QString path = QString::fromStdString(line[1]);
            QVERIFY2(shown.count(path), qPrintable("not listed: " + path));
            const ntfs_node_s& node = *shown.at(path);
            QVERIFY(node.flags & flag_deleted);
            QVERIFY(node.flags & flag_engine_extract);
            QString target;
            QCOMPARE(recover_row(scanner, {node.number, node.name}, folder, &target), 0);
            QCOMPARE(test_support::sha256_of_file(target.toStdString()) == line[3], line[0] != "damaged");
            QVERIFY(QFile::remove(target));
            const recovery_item_s row = ntfs_recovery_c::row_of(node);
            const uint32_t content = uint32_t(row.flags) & (row_content_verified | row_content_damaged);
            if (line[0] == "verified") {
                QCOMPARE(content, uint32_t(row_content_verified));
                QVERIFY(uint32_t(row.flags) & flag_engine_extract);
            } else if (line[0] == "damaged") {
                QCOMPARE(content, uint32_t(row_content_damaged));
                QVERIFY(row_content_share(row.flags) >= 0 && row_content_share(row.flags) < 50);
            } else {
                QCOMPARE(content, 0u);
                QCOMPARE(bool(node.flags & flag_data_in_record), line[0] == "resident");
            }
        }
        // The two copies judged their files out of turn; nothing is left.
        QCOMPARE(scanner.content_left(), int64_t(0));
        QCOMPARE(scanner.take_content_verdicts().size(), deferred ? size_t(2) : size_t(0));
        platform::close_disk_images();
        QVERIFY(volume_of(cases.image, 0, &volume));
    }
}

void tst_ntfs_scanner::clusters_claimed_twice() {
    QUARVEL_NTFS_CLAIMS(cases);
    using namespace ntfs_engine;
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-claims-out"));
    std::map<QString, int64_t> numbers;
    auto check = [&](const std::string& image, const QString& loser, bool copy) {
        volume_item_s volume;
        QVERIFY(volume_of(image, 0, &volume));
        ntfs_recovery_c scanner;
        run_scan(scanner, volume);
        QCOMPARE(scanner.startup_result(), 0);
        const auto shown = shown_files(scanner);
        for (const auto& line : cases.lines) {
            const QString path = QString::fromStdString(line[1]);
            QVERIFY2(shown.count(path), qPrintable("not listed: " + path));
            const ntfs_node_s& row = *shown.at(path);
            numbers[path] = row.number;
            QCOMPARE(row.flags & (flag_data_overwritten | flag_data_incomplete),
                     path == loser ? flag_data_overwritten : 0u);
            if (!copy)
                continue;
            QString target;
            QCOMPARE(recover_row(scanner, {row.number, row.name}, folder, &target), 0);
            QCOMPARE(test_support::sha256_of_file(target.toStdString()) == line[3], path != loser);
            QVERIFY(QFile::remove(target));
        }
        platform::close_disk_images();
    };
    check(cases.image, "/first.bin", true);

    // The first file made the later one by its times.
    const std::string swapped = test_support::make_temp_dir("ntfs-claims-copy") + "/swapped.img";
    QVERIFY(ntfs_test::copy_range(cases.image, 0, uint64_t(QFileInfo(QString::fromStdString(cases.image)).size()),
                                  swapped));
    {
        ntfs_test::volume_file_c vol(swapped);
        QVERIFY(vol.ok() && numbers.count("/first.bin"));
        auto r = vol.read_record(numbers["/first.bin"]);
        const size_t si = ntfs_test::find_attribute(r, 0x10);
        QVERIFY(si);
        const size_t value = si + (r[si + 20] | r[si + 21] << 8);
        for (size_t t = 0; t < 24; t += 8)
            r[value + t + 7] = 0x7f;  // far in the future
        vol.write_record(numbers["/first.bin"], r);
    }
    check(swapped, "/later.bin", false);
}

// A deleted folder made its own grandparent: the scan ends, both folders and
// their files stay reachable, through "$OrphanFiles".
void tst_ntfs_scanner::parent_loop() {
    QUARVEL_FIXTURE(f, "ntfs");
    const std::string copy = test_support::make_temp_dir("ntfs-loop") + "/volume.img";
    QVERIFY(ntfs_test::copy_fixture_volume(f, 1, copy));
    std::vector<ntfs_test::found_s> found;
    QCOMPARE(ntfs_test::scan_all(copy, &found), 0);
    int64_t outer = -1, inner = -1;
    for (const auto& r : found) {
        if (r.name == u"Deleted Folder")
            outer = r.number;
        if (r.name == u"Inner")
            inner = r.number;
    }
    QVERIFY(outer > 11 && inner > 11);
    ntfs_test::volume_file_c vol(copy);
    auto r = vol.read_record(outer);
    const size_t fn = ntfs_test::find_attribute(r, 0x30);
    QVERIFY(fn);
    const size_t value = fn + (r[fn + 20] | (r[fn + 21] << 8));
    // Inner's record is deleted (its sequence one past), so a reference with
    // the sequence it had while in use is a plausible one.
    const uint64_t reference = uint64_t(inner) | (uint64_t(1) << 48);
    std::memcpy(&r[value], &reference, 8);
    vol.write_record(outer, r);

    volume_item_s volume;
    QVERIFY(volume_of(copy, 0, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QVERIFY(scanner.find_node(ntfs_recovery_c::orphan_folder_number));
    const auto shown = shown_files(scanner);
    int reached = 0;
    for (const auto& [path, node] : shown) {
        if (node->name == "letter.txt" || node->name == "note.txt" || node->name == "picture.jpg") {
            QVERIFY2(path.startsWith("/$OrphanFiles/"), qPrintable(path));
            QString full;
            QCOMPARE(scanner.get_full_path(node->number, &full), 0);
            ++reached;
        }
    }
    QCOMPARE(reached, 3);
}

void tst_ntfs_scanner::deleted_system_records_hidden() {
    QUARVEL_FIXTURE(f, "ntfs");
    const std::string copy = test_support::make_temp_dir("ntfs-system") + "/volume.img";
    QVERIFY(ntfs_test::copy_fixture_volume(f, 1, copy));
    ntfs_test::volume_file_c vol(copy);
    for (int64_t n : {8, 9, 10}) {  // $BadClus, $Secure, $UpCase marked free
        auto r = vol.read_record(n);
        r[22] &= uint8_t(~1);
        vol.write_record(n, r);
    }
    volume_item_s volume;
    QVERIFY(volume_of(copy, 0, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    for (int64_t n : {8, 9, 10}) {
        const ntfs_node_s* node = scanner.find_node(n);
        QVERIFY(node);
        QCOMPARE(node->flags & ~ntfs_engine::flag_data_in_record,
                 ntfs_engine::flag_file | ntfs_engine::flag_deleted | ntfs_engine::flag_engine_extract);
        QVERIFY(!ntfs_recovery_c::is_shown_file(*node));
    }
    for (const auto& [path, node] : shown_files(scanner))
        QVERIFY2(node->number > ntfs_recovery_c::last_system_number, qPrintable(path));
}

// The shared fixture with damaged MFT records: sound files come back whole,
// damaged records are skipped or fail cleanly, loops of parents end up under
// "$OrphanFiles".
void tst_ntfs_scanner::damaged_fixture() {
    QUARVEL_FIXTURE(f, "ntfs_corrupt");
    volume_item_s volume;
    QVERIFY(volume_of(f.image, 1, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), 0);
    QVERIFY(scanner.engine_stats().records_corrupt >= 2);

    const auto shown = shown_files(scanner);
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-damaged-out"));
    for (const auto& e : test_support::entries_of(f, "deleted")) {
        const QString path = QString::fromStdString(e.fields[1]);
        QVERIFY2(shown.count(path), qPrintable(path));
        QString target;
        QCOMPARE(recover_row(scanner, {shown.at(path)->number, shown.at(path)->name}, folder, &target), 0);
        QCOMPARE(test_support::sha256_of_file(target.toStdString()), e.fields[3]);
    }
    std::set<QString> names;
    for (const auto& [number, node] : scanner.nodes())
        names.insert(node.name);
    QVERIFY(!names.count("bad fixup.txt"));
    QVERIFY(!names.count("zero attr.bin"));

    auto shown_as = [&](const QString& name) -> std::pair<QString, const ntfs_node_s*> {
        for (const auto& [path, node] : shown)
            if (node->name == name)
                return {path, node};
        return {QString(), nullptr};
    };
    for (const QString name : {"self parent.txt", "inside.txt"}) {
        const auto [path, node] = shown_as(name);
        QVERIFY2(node, qPrintable(name));
        QVERIFY2(path.startsWith("/$OrphanFiles/"), qPrintable(path));
        QString full;
        QCOMPARE(scanner.get_full_path(node->number, &full), 0);
        QCOMPARE(full, volume.device_path + path);
    }
    const auto [far_path, far] = shown_as("far runs.bin");
    QVERIFY(far);
    QString target;
    QVERIFY(recover_row(scanner, {far->number, far->name}, folder, &target) < 0);
    QVERIFY(!QFile::exists(target));
}

void tst_ntfs_scanner::second_scan_closes_the_first() {
    QUARVEL_FIXTURE(f, "ntfs");
    volume_item_s volume;
    QVERIFY(volume_of(f.image, 1, &volume));
    ntfs_recovery_c scanner;
    run_scan(scanner, volume);
    QVERIFY(scanner.engine_open());
    const size_t first = scanner.nodes().size();
    const int descriptors = descriptors_on(f.image);
    QVERIFY(descriptors >= 1);
    run_scan(scanner, volume);
    QVERIFY(scanner.engine_open());
    QCOMPARE(scanner.nodes().size(), first);
    QCOMPARE(descriptors_on(f.image), descriptors);
    // A reset empties the store but keeps the engine scan for read-back.
    scanner.reset();
    QVERIFY(scanner.nodes().empty());
    QVERIFY(scanner.engine_open());
}

// The same volume behind a read-only loop device: the drive table's block
// device path, not the image file, is what the engine opens.
void tst_ntfs_scanner::loop_device() {
    QUARVEL_FIXTURE(f, "ntfs");
    QProcess attach;
    attach.start("losetup", {"--find", "--show", "--read-only", QString::fromStdString(f.image)});
    if (!attach.waitForFinished(30000) || attach.exitCode() != 0)
        QSKIP("no loop device here (losetup needs root and /dev/loop-control)");
    const QString loop = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
    struct detach_s {
        QString device;
        ~detach_s() { QProcess::execute("losetup", {"--detach", device}); }
    } detach{loop};

    platform::set_block_devices_enabled(true);
    platform::rescan_block_devices();
    std::vector<platform::platform_volume_s> found;
    for (const auto& v : platform::list_volumes())
        if (v.disk_path == loop.toStdString() && v.partition_number == 1)
            found.push_back(v);
    platform::set_block_devices_enabled(false);
    platform::rescan_block_devices();
    if (found.empty())
        QSKIP("the loop device did not show up in the drive table");
    QCOMPARE(found[0].file_system, std::string("NTFS"));

    platform::set_block_devices_enabled(true);
    platform::rescan_block_devices();
    ntfs_recovery_c scanner;
    run_scan(scanner, item_of(found[0]));
    platform::set_block_devices_enabled(false);
    platform::rescan_block_devices();
    QCOMPARE(scanner.startup_result(), 0);
    const auto shown = shown_files(scanner);
    const auto deleted = test_support::entries_of(f, "deleted");
    QCOMPARE(shown.size(), deleted.size());
    const QString folder = QString::fromStdString(test_support::make_temp_dir("ntfs-loop-out"));
    for (const auto& e : deleted) {
        const ntfs_node_s* node = shown.at(QString::fromStdString(e.fields[1]));
        QString target;
        QCOMPARE(recover_row(scanner, {node->number, node->name}, folder, &target), 0);
        QCOMPARE(test_support::sha256_of_file(target.toStdString()), e.fields[3]);
    }
}

void tst_ntfs_scanner::start_failure_logs_one_line() {
    QUARVEL_FIXTURE(f, "ntfs");
    const std::string copy = test_support::make_temp_dir("ntfs-notntfs") + "/volume.img";
    QVERIFY(ntfs_test::copy_fixture_volume(f, 1, copy));
    // Its backup boot sector too, in the volume's last sector.
    ntfs_test::volume_file_c(copy).write_bytes(3, "NOTNTFS!", 8);
    ntfs_test::volume_file_c(copy).write_bytes(QFileInfo(QString::fromStdString(copy)).size() - 512 + 3, "NOTNTFS!", 8);
    QCOMPARE(platform::open_disk_image(copy), 0);

    volume_item_s volume;
    volume.device_path = QString::fromStdString(copy + ":p0");
    volume.root_path = volume.device_path + '/';
    volume.file_system = "NTFS";
    volume.disk_number = platform::drive_number_of(copy);
    volume.partition_number = 0;
    QVERIFY(volume.disk_number >= 0);

    const QString log = qEnvironmentVariable("XDG_STATE_HOME") + "/Quarvel/Ostrivo.log";
    const int before = int(log_lines(log).size());
    ntfs_recovery_c scanner;
    // Not laid out from its MFT records instead.
    scanner.set_lost_pass(lost_pass_e::off);
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), -3);
    QVERIFY(scanner.nodes().empty());
    QVERIFY(!scanner.engine_open());
    QCOMPARE(scanner.get_found_count(), int64_t(0));
    const QStringList lines = log_lines(log);
    QCOMPARE(int(lines.size()), before + 1);
    const QString line = lines.last();
    QVERIFY2(line.contains(QRegularExpression(
                 R"(^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}  \[ntfs_recovery:\d+\] )"
                 R"(ntfs_scan_startup failed with return value \(-3\)$)")),
             qPrintable(line));

    // A volume that cannot be opened fails the same way, once.
    volume.device_path = QString::fromStdString(copy + ".gone:p0");
    run_scan(scanner, volume);
    QCOMPARE(scanner.startup_result(), -2);
    QCOMPARE(int(log_lines(log).size()), before + 2);
    QVERIFY(log_lines(log).last().endsWith("ntfs_scan_startup failed with return value (-2)"));
}

QTEST_GUILESS_MAIN(tst_ntfs_scanner)
#include "tst_ntfs_scanner.moc"
