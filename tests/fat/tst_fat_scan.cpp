// The FAT scanner on volumes made by the real tools (mkfs.fat, mtools,
// sfdisk): deleted files found with their names, sizes, times and folders,
// recovered byte for byte against the fixture's manifest; pause and stop;
// and quarvel-cli's scan and recover on the same images.
#include "fat_image.h"
#include "support/fixtures.h"

#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/fat/fat_recovery.h"
#include "scan/recover_rows.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <map>
#include <set>
#include <unistd.h>

namespace {

volume_item_s volume_of(const std::string& device_path)
{
    std::string image;
    int partition = 0;
    if (platform::split_image_volume_path(device_path, &image, &partition))
        platform::open_disk_image(image);
    platform::platform_volume_s v;
    volume_item_s item;
    if (!platform::find_volume(device_path, &v))
        return item;
    item.device_path = QString::fromStdString(v.device_path);
    item.dos_device = QString::fromStdString(v.dos_device);
    item.file_system = QString::fromStdString(v.file_system);
    item.root_path = QString::fromStdString(v.root_path);
    item.partition_number = v.partition_number;
    item.disk_number = v.disk_number;
    return item;
}

// The name a deleted entry shows: its first character replaced by "#"; the
// rest of an ASCII short name survives the deletion mark whole.
QString shown_name(const QString& name) { return "#" + name.mid(1); }

struct found_s {
    const fat_node_s* node;
    QString folder;
};

std::map<QString, found_s> shown_files(const fat_recovery_c& scanner)
{
    std::map<QString, found_s> files;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString& folder) {
        files[(folder == "/" ? "" : folder) + "/" + n.name] = {&n, folder};
    });
    return files;
}

// Path of a manifest entry as the result tree shows it: every component at
// or below a deleted folder, and the file itself, marked.
QString shown_path(const QString& path, const std::set<QString>& deleted_dirs)
{
    const QStringList parts = path.split('/', Qt::SkipEmptyParts);
    QString out;
    QString so_far;
    bool inside_deleted = false;
    for (int i = 0; i < parts.size(); ++i) {
        so_far += "/" + parts[i];
        inside_deleted = inside_deleted || deleted_dirs.count(so_far) || i == parts.size() - 1;
        out += "/" + (inside_deleted ? shown_name(parts[i]) : parts[i]);
    }
    return out;
}

fat_recovery_c* controlled = nullptr;
std::atomic<int> pause_at{-1};
std::atomic<int> stop_at{-1};
std::atomic<int> stop_code{3};
QtMessageHandler previous_handler = nullptr;

// The scanner's "file count:N" line arrives on its own thread right before
// entry N is read, which lets a test pause or stop it at an exact entry.
void control_handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QByteArray(context.category) == "quarvel.fat" && message.startsWith("file count:")) {
        const int n = message.mid(11).toInt();
        if (n == pause_at.load())
            controlled->set_pause(1);
        if (n == stop_at.load())
            controlled->set_stop(stop_code.load());
        return;
    }
    if (previous_handler)
        previous_handler(type, context, message);
}

// A FAT32 volume whose root holds count deleted files, 16 to a cluster.
volume_item_s many_files(const QString& dir, const QString& name, uint32_t count)
{
    const uint32_t root_clusters = (count + 15) / 16;
    fat_image_c image(32, 70000);
    image.chain(2, root_clusters);
    for (uint32_t i = 0; i < count; ++i)
        fat_image_c::put_short(image.entry(0, i), "\xE5" "0000000BIN", 0x20, 10000 + i, 100);
    return image.save(dir, name);
}

}  // namespace

class tst_fat_scan : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;

private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }
    void init() { platform::close_disk_images(); }

    void fixture_volumes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("partition");
        QTest::newRow("FAT12 superfloppy") << "fat12" << 0;
        QTest::newRow("FAT16 partitioned") << "fat16" << 1;
        QTest::newRow("FAT32 partitioned") << "fat32" << 1;
        QTest::newRow("FAT32 superfloppy") << "unpartitioned_fat32" << 0;
        QTest::newRow("FAT32 beside NTFS") << "demo" << 1;
    }
    void fixture_volumes()
    {
        QFETCH(QString, kind);
        QFETCH(int, partition);
        QUARVEL_FIXTURE(f, kind.toStdString());
        const volume_item_s volume = volume_of(test_support::image_volume_path(f, partition));
        QVERIFY2(volume.file_system.startsWith("FAT"), qPrintable(volume.file_system));

        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        QCOMPARE(scanner.outcome().root_result, int(fr_ok));
        const auto files = shown_files(scanner);

        std::set<QString> deleted_dirs;
        for (const auto& e : test_support::entries_on(f, "deleted_dir", partition))
            deleted_dirs.insert(QString::fromStdString(test_support::field(e, 1)));

        // Every deleted file with data is listed where it was, with its size
        // and time, and comes back byte for byte when its clusters are in one run.
        int checked = 0;
        for (const auto& e : test_support::entries_on(f, "deleted", partition)) {
            const QString path = QString::fromStdString(test_support::field(e, 1));
            const long long size = test_support::field_number(e, 2);
            const std::string sha = test_support::field(e, 3);
            const std::string layout = test_support::field(e, 4);
            if (size == 0)
                continue;  // no start cluster: nothing to list or read
            const QString shown = shown_path(path, deleted_dirs);
            const auto it = files.find(shown);
            QVERIFY2(it != files.end(), qPrintable("not listed: " + shown));
            const fat_node_s& node = *it->second.node;
            QCOMPARE(qint64(node.size), qint64(size));
            QCOMPARE(node.write_time, int64_t(1704067200));
            QVERIFY(node.attributes & fat_attr_deleted);

            QString full;
            QCOMPARE(scanner.get_full_path(node.cluster, &full), 0);
            QString root = volume.root_path;
            root.chop(1);
            QCOMPARE(full, root + shown);

            if (layout != "contiguous")
                continue;
            const QString out = QDir(tmp_.path()).filePath(kind + "-" + QString::number(node.cluster));
            QCOMPARE(scanner.recover_file(node.cluster, out), 0);
            QCOMPARE(test_support::sha256_of_file(out.toStdString()), sha);
            ++checked;
        }
        QVERIFY(checked > 0);

        // Live files are never listed; every listed row carries the deleted mark.
        for (const auto& e : test_support::entries_on(f, "file", partition))
            QVERIFY(!files.count(QString::fromStdString(test_support::field(e, 1))));
        for (const auto& [path, found] : files)
            QVERIFY2(found.node->attributes & fat_attr_deleted, qPrintable(path));
        // A live folder that holds nothing deleted is not marked.
        for (const auto& e : test_support::entries_on(f, "dir", partition)) {
            const QString dir = QString::fromStdString(test_support::field(e, 1));
            bool holds = false;
            for (const auto& [path, found] : files)
                holds = holds || path.startsWith(dir + "/");
            for (const auto& [key, node] : scanner.store())
                if (node.name == dir.section('/', -1) && !(node.attributes & fat_attr_deleted))
                    QCOMPARE(bool(node.has_files), holds);
        }
    }

    // Volumes with 4096-byte logical sectors, as many USB enclosures present
    // them, made by mkfs.fat and written and deleted through mtools (which
    // takes the sector size from the boot sector): every deleted file is
    // listed and comes back byte for byte; live files stay out.
    void sector_4096_volumes_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("mebibytes");
        QTest::newRow("FAT16") << 16 << 64;
        QTest::newRow("FAT32") << 32 << 300;  // 65,525 clusters of 4 KiB at least
    }
    void sector_4096_volumes()
    {
        QFETCH(int, bits);
        QFETCH(int, mebibytes);
        for (const char* tool : {"mkfs.fat", "mcopy", "mmd", "mdel", "mdeltree"})
            if (QStandardPaths::findExecutable(tool).isEmpty() &&
                QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed (scripts/install-deps.sh installs it)").arg(tool)));
        const QDir dir(tmp_.path());
        const QString image = dir.filePath(QString("sector4k-%1.img").arg(bits));
        QFile::remove(image);
        QVERIFY(QFile(image).open(QIODevice::WriteOnly) && QFile::resize(image, qint64(mebibytes) << 20));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MTOOLS_SKIP_CHECK", "1");
        env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
        auto run = [&](const QString& tool, const QStringList& arguments) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(tool, arguments);
            return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        QVERIFY(run("mkfs.fat", {"-F", QString::number(bits), "-S", "4096", "-s", "1", image}));
        // Contents and names: short, long, in a live folder and in one that
        // is then deleted whole.
        const std::vector<std::pair<QString, int>> files = {{"A.BIN", 20000},      {"Long name b.bin", 9000},
                                                            {"KEEP/C.BIN", 100000}, {"KEEP/live.txt", 300},
                                                            {"GONE/D.BIN", 5000},   {"GONE/e file.bin", 70000},
                                                            {"live.bin", 4096}};
        QVERIFY(run("mmd", {"-i", image, "::/KEEP", "::/GONE"}));
        std::map<QString, QByteArray> contents;
        for (const auto& [path, size] : files) {
            QByteArray bytes(size, Qt::Uninitialized);
            for (int i = 0; i < size; ++i)
                bytes[i] = char((i * 131 + size + path.size() * 7) ^ (i >> 9));
            const QString source = dir.filePath("source.bin");
            QFile out(source);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == size);
            out.close();
            QVERIFY(run("mcopy", {"-i", image, source, "::/" + path}));
            contents[path] = bytes;
        }
        QVERIFY(run("mdel", {"-i", image, "::/A.BIN", "::/Long name b.bin", "::/KEEP/C.BIN"}));
        QVERIFY(run("mdeltree", {"-i", image, "::/GONE"}));

        volume_item_s volume;
        volume.device_path = image;
        volume.root_path = image + "/";
        volume.file_system = QString("FAT%1").arg(bits);
        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        QCOMPARE(scanner.outcome().root_result, int(fr_ok));
        const auto shown = shown_files(scanner);
        const std::map<QString, QString> deleted = {{"/#.BIN", "A.BIN"},
                                                    {"/#ong name b.bin", "Long name b.bin"},
                                                    {"/KEEP/#.BIN", "KEEP/C.BIN"},
                                                    {"/#ONE/#.BIN", "GONE/D.BIN"},
                                                    {"/#ONE/# file.bin", "GONE/e file.bin"}};
        QCOMPARE(shown.size(), deleted.size());
        for (const auto& [row, path] : deleted) {
            const auto it = shown.find(row);
            QVERIFY2(it != shown.end(), qPrintable("not listed: " + row));
            QCOMPARE(qint64(it->second.node->size), qint64(contents[path].size()));
            const QString out = dir.filePath(QString("out-%1-%2").arg(bits).arg(it->second.node->cluster));
            QCOMPARE(scanner.recover_file(it->second.node->cluster, out), 0);
            QFile in(out);
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY2(in.readAll() == contents[path], qPrintable(path));
        }
    }

    void block_device_volume()
    {
        QUARVEL_FIXTURE(f, "fat32");
        if (::geteuid() != 0)
            QSKIP("attaching a loop device needs root");
        const QString copy = QDir(tmp_.path()).filePath("loop.img");
        QFile::remove(copy);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), copy));
        QProcess attach;
        attach.start("losetup", {"-f", "--show", "-r", copy});
        if (!attach.waitForFinished(30000) || attach.exitCode() != 0)
            QSKIP("no loop device available here");
        const QString loop = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
        struct detach_s {
            QString device;
            ~detach_s()
            {
                QProcess::execute("losetup", {"-d", device});
                platform::set_block_devices_enabled(false);
            }
        } detach{loop};
        platform::set_block_devices_enabled(true);
        platform::rescan_block_devices();

        // The kernel may or may not make partition nodes for the loop device;
        // the platform then offers the partition as a window onto the disk.
        volume_item_s volume;
        for (const auto& v : platform::list_volumes())
            if (QString::fromStdString(v.disk_path) == loop && v.partition_number == 1)
                volume = volume_of(v.device_path);
        QVERIFY2(volume.file_system == "FAT32", qPrintable(loop + " has no FAT32 partition 1"));

        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        int compared = 0;
        for (const auto& e : test_support::entries_on(f, "deleted", 1)) {
            if (test_support::field(e, 4) != "contiguous")
                continue;
            const QString name = QString::fromStdString(test_support::field(e, 1)).section('/', -1);
            for (const auto& [key, node] : scanner.store()) {
                if (node.name != shown_name(name) || node.size != uint32_t(test_support::field_number(e, 2)))
                    continue;
                const QString out = QDir(tmp_.path()).filePath("loop-" + QString::number(key));
                QCOMPARE(scanner.recover_file(key, out), 0);
                QCOMPARE(test_support::sha256_of_file(out.toStdString()), test_support::field(e, 3));
                ++compared;
            }
        }
        QVERIFY(compared >= 4);
    }

    void pause_holds_and_stop_keeps_a_linked_store()
    {
        const volume_item_s volume = many_files(tmp_.path(), "many.img", 3000);
        QLoggingCategory::setFilterRules("quarvel.fat.debug=true");
        previous_handler = qInstallMessageHandler(control_handler);

        fat_recovery_c scanner;
        controlled = &scanner;
        pause_at = 500;
        stop_at = 1000;
        stop_code = 3;
        scanner.set_volume(volume);
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(scanner.get_read_count(), int64_t(500), 10000);
        QTest::qWait(300);
        QCOMPARE(scanner.get_read_count(), int64_t(500));
        QCOMPARE(scanner.get_pause(), 1);
        scanner.set_pause(0);
        QVERIFY(scanner.wait(30000));
        QCOMPARE(scanner.get_stop(), 3);
        QCOMPARE(scanner.get_read_count(), int64_t(1000));
        // Entries found so far are kept, linked under the root and marked.
        const fat_node_s* root = scanner.node(0);
        QVERIFY(root);
        QCOMPARE(root->children.size(), size_t(scanner.store().size() - 1));
        QVERIFY(root->children.size() >= 990);
        QCOMPARE(root->has_files, uint8_t(1));
        QVERIFY(scanner.get_progress() < 0.5);

        // Abandoning (code 2) leaves nothing.
        pause_at = -1;
        stop_at = 200;
        stop_code = 2;
        scanner.reset();  // as the page does before every start
        scanner.start();
        QVERIFY(scanner.wait(30000));
        QCOMPARE(scanner.get_stop(), 2);
        QVERIFY(scanner.store().empty());

        // A full run past 2,000 entries reads 0.99 until the page says done.
        stop_at = -1;
        scanner.reset();
        scanner.start();
        QVERIFY(scanner.wait(30000));
        QCOMPARE(scanner.get_progress(), 0.99);
        QCOMPARE(scanner.get_found_count(), int64_t(3000));

        qInstallMessageHandler(previous_handler);
        QLoggingCategory::setFilterRules("quarvel.fat.debug=false");
        controlled = nullptr;
    }

    void cli_recovers_every_intact_deleted_file()
    {
        QUARVEL_FIXTURE(f, "fat32");
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString out = QDir(tmp_.path()).filePath("cli-out");
        QProcess p;
        p.start(cli, {"--json", "recover", QString::fromStdString(test_support::image_volume_path(f, 1)), "--all",
                      "--to", out});
        QVERIFY(p.waitForFinished(120000));
        const QByteArray stdout_text = p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 0);
        const QJsonObject counts = QJsonDocument::fromJson(stdout_text.trimmed()).object();
        QVERIFY2(counts.contains("written"), stdout_text.constData());
        QCOMPARE(counts["failed"].toInt(), 0);

        std::set<QString> deleted_dirs;
        for (const auto& e : test_support::entries_on(f, "deleted_dir", 1))
            deleted_dirs.insert(QString::fromStdString(test_support::field(e, 1)));
        // Files keep their folders below the deepest one they share, under
        // their whole names; "#" stays only where mtools wrote no long name.
        const auto written_path = [&](const QString& path) {
            const QStringList parts = path.split('/', Qt::SkipEmptyParts);
            // An 8.3 name whose stem and extension are each of one case
            // needs no long name: the entry's case bits keep it.
            const QRegularExpression short_name(R"(^([A-Z0-9_~$!#%&'()@^`{}-]{1,8}|[a-z0-9_~$!#%&'()@^`{}-]{1,8})(\.([A-Z0-9_~$!#%&'()@^`{}-]{1,3}|[a-z0-9_~$!#%&'()@^`{}-]{1,3}))?$)");
            QStringList out_parts;
            QString so_far;
            bool inside_deleted = false;
            for (int i = 0; i < parts.size(); ++i) {
                so_far += "/" + parts[i];
                inside_deleted = inside_deleted || deleted_dirs.count(so_far) || i == parts.size() - 1;
                out_parts << (inside_deleted && short_name.match(parts[i]).hasMatch() ? shown_name(parts[i]) : parts[i]);
            }
            return out_parts;
        };
        int compared = 0;
        int root_depth = -1;
        for (const auto& e : test_support::entries_on(f, "deleted", 1)) {
            if (test_support::field(e, 4) != "contiguous")
                continue;
            const QStringList parts = written_path(QString::fromStdString(test_support::field(e, 1)));
            if (root_depth < 0)
                for (int k = 0; k < parts.size() && root_depth < 0; ++k)
                    if (QFile::exists(QDir(out).filePath(parts.mid(k).join('/'))))
                        root_depth = k;
            const QString file = QDir(out).filePath(parts.mid(std::max(root_depth, 0)).join('/'));
            QVERIFY2(QFile::exists(file), qPrintable(file));
            QCOMPARE(test_support::sha256_of_file(file.toStdString()), test_support::field(e, 3));
            ++compared;
        }
        QVERIFY(compared >= 5);
    }

    void cli_says_what_went_wrong_in_one_line()
    {
        QUARVEL_FIXTURE(f, "empty");
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        struct case_s {
            QStringList args;
            int status;
        };
        fat_image_c broken(16, 5000);
        broken.bytes[13] = 3;  // sectors per cluster not a power of two
        const volume_item_s broken_volume = broken.save(tmp_.path(), "broken.img");
        const std::vector<case_s> cases = {
            {{"scan", QString::fromStdString(f.image)}, 1},
            {{"scan", "/nonexistent/disk.img"}, 1},
            {{"scan", QDir(tmp_.path()).filePath("broken.img")}, 1},
            {{"recover", QString::fromStdString(f.image), "--all"}, 2},
            {{"recover", QString::fromStdString(f.image), "--to", tmp_.path()}, 2},
            {{"recover", QString::fromStdString(f.image), "--to", tmp_.path(), "--id", "x"}, 2},
            {{"scan"}, 2},
        };
        for (const auto& c : cases) {
            QProcess p;
            p.start(cli, c.args);
            QVERIFY(p.waitForFinished(60000));
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(p.exitCode() == c.status, qPrintable(c.args.join(' ') + ": " + err));
            QVERIFY(p.readAllStandardOutput().isEmpty());
            QVERIFY2(err.startsWith("quarvel-cli: "), qPrintable(err));
            if (c.status == 1)
                QCOMPARE(err.count('\n'), 1);
        }
        (void)broken_volume;
    }
};

QTEST_GUILESS_MAIN(tst_fat_scan)
#include "tst_fat_scan.moc"
