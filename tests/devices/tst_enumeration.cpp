// Volume and drive enumeration on images made by the real tools, on a loop
// device where the machine has one, and through quarvel-cli.
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "support/fixtures.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

struct expected_volume_s {
    int partition = 0;
    QString file_system;
    QString label;
    uint64_t start = 0;
    uint64_t size = 0;
};

std::vector<expected_volume_s> expected_volumes(const test_support::fixture_s& f)
{
    std::vector<expected_volume_s> out;
    for (const auto& e : test_support::entries_of(f, "volume")) {
        if (e.fields.size() < 5)
            continue;
        expected_volume_s v;
        v.partition = std::stoi(e.fields[0]);
        v.file_system = QString::fromStdString(e.fields[1]);
        v.label = QString::fromStdString(e.fields[2]);
        v.start = std::stoull(e.fields[3]);
        v.size = std::stoull(e.fields[4]);
        out.push_back(v);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.partition < b.partition; });
    return out;
}

const volume_item_s* volume_with_partition(int partition)
{
    for (size_t i = 1; i < volume_list.size(); ++i)
        if (volume_list[i].partition_number == partition)
            return &volume_list[i];
    return nullptr;
}

QString run_and_capture(const QStringList& args, int* exit_code, QString* error_text)
{
    QProcess cli;
    cli.start(QString::fromLocal8Bit(qgetenv("QUARVEL_BIN_DIR")) + "/quarvel-cli", args);
    cli.waitForFinished(60000);
    *exit_code = cli.exitCode();
    *error_text = QString::fromLocal8Bit(cli.readAllStandardError());
    return QString::fromLocal8Bit(cli.readAllStandardOutput());
}

}  // namespace

class tst_enumeration : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }

    void volumes_of_fixture_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"fat12", "fat16", "fat32", "ntfs", "demo", "gpt", "mbr_logical",
                                 "unpartitioned_fat32", "empty"})
            QTest::newRow(kind) << kind;
    }
    void volumes_of_fixture()
    {
        QFETCH(QString, kind);
        QUARVEL_FIXTURE(f, kind.toStdString());
        QCOMPARE(platform::open_disk_image(f.image), 0);
        enumerate_volumes();
        const auto expected = expected_volumes(f);
        QVERIFY(!volume_list.empty());
        QVERIFY(volume_list[0].dos_device.isEmpty() && volume_list[0].root_path.isEmpty());
        QCOMPARE(volume_list.size() - 1, expected.size());
        const QString image = QString::fromStdString(f.image);
        for (const auto& want : expected) {
            const volume_item_s* got = volume_with_partition(want.partition);
            QVERIFY2(got, qPrintable(QString("partition %1 missing").arg(want.partition)));
            QCOMPARE(got->file_system, want.file_system);
            QCOMPARE(got->label, want.label);
            QCOMPARE(got->total_bytes, want.size);
            QCOMPARE(got->disk_number, 0);
            const QString suffix = QString(":p%1").arg(want.partition);
            QCOMPARE(got->device_path, image + suffix);
            QCOMPARE(got->dos_device, image.section('/', -1) + suffix);
            QCOMPARE(got->root_path, got->device_path + "/");
            QVERIFY(got->free_bytes <= got->total_bytes);
        }
        enumerate_drives();
        QCOMPARE(drive_list.size(), size_t(2));
        QVERIFY(!drive_list[0].geometry && drive_list[0].device_path.isEmpty());
        QCOMPARE(drive_list[1].device_path, image);
        QVERIFY(drive_list[1].size_bytes <= uint64_t(QFileInfo(image).size()));
        QCOMPARE(drive_list[1].geometry->bytes_per_sector, 512u);
    }

    // Volumes libblkid alone would not offer: a whole-disk exFAT (libblkid
    // also reports an empty DOS table there), and NTFS and FAT32 volumes that
    // still carry an ext4 superblock in their boot code area from an earlier
    // format (libblkid calls them ambiguous). Each is offered as what its
    // boot sector says, with the other mark named, and scans.
    void volumes_we_read_are_offered_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("file_system");
        QTest::addColumn<QString>("other");
        QTest::newRow("whole exFAT") << "exfat" << "exFAT" << "";
        QTest::newRow("NTFS over ext4") << "ntfs" << "NTFS" << "ext4";
        QTest::newRow("FAT32 over ext4") << "fat32" << "FAT32" << "ext4";
    }
    void volumes_we_read_are_offered()
    {
        QFETCH(QString, kind);
        QFETCH(QString, file_system);
        QFETCH(QString, other);
        const QString dir = QString::fromStdString(test_support::make_temp_dir("marks"));
        const QString image = dir + "/" + kind + ".img";
        const QString ext4 = dir + "/ext4.img";
        const auto tool = [](const QString& program, const QStringList& args) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
            env.insert("MTOOLS_SKIP_CHECK", "1");
            p.setProcessEnvironment(env);
            p.start(program, args);
            return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        const QString mkfs = kind == "exfat" ? "mkfs.exfat" : kind == "ntfs" ? "mkntfs" : "mkfs.fat";
        for (const QString& t : {mkfs, QString("mkfs.ext4"), QString("mcopy"), QString("mdel")})
            if (QStandardPaths::findExecutable(t, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}).isEmpty())
                QSKIP(qPrintable(t + " is not installed"));
        QVERIFY(tool("truncate", {"-s", "40M", image}));
        if (kind == "exfat") {
            QVERIFY(tool("mkfs.exfat", {image}));
        } else {
            QVERIFY(kind == "ntfs" ? tool("mkntfs", {"-F", "-Q", "-q", image}) : tool("mkfs.fat", {"-F", "32", image}));
            QVERIFY(tool("truncate", {"-s", "24M", ext4}));
            QVERIFY(tool("mkfs.ext4", {"-q", "-F", ext4}));
            // The ext4 superblock lies at 1024, in the boot code neither
            // reader needs.
            QVERIFY(tool("dd", {"if=" + ext4, "of=" + image, "bs=1024", "skip=1", "seek=1", "count=1", "conv=notrunc",
                                "status=none"}));
        }
        if (kind == "fat32") {
            QFile note(dir + "/NOTE.TXT");
            QVERIFY(note.open(QIODevice::WriteOnly) && note.write(QByteArray(3000, 'n')) == 3000);
            note.close();
            QVERIFY(tool("mcopy", {"-i", image, note.fileName(), "::/Deleted note.txt"}));
            QVERIFY(tool("mdel", {"-i", image, "::/Deleted note.txt"}));
        }

        QCOMPARE(platform::open_disk_image(image.toStdString()), 0);
        enumerate_volumes();
        QCOMPARE(volume_list.size(), size_t(2));
        QCOMPARE(volume_list[1].partition_number, 0);
        QCOMPARE(volume_list[1].file_system, file_system);
        QCOMPARE(volume_list[1].other_signatures, other);

        int code = -1;
        QString errors;
        const QString rows = run_and_capture({"--image", image, "scan", image + ":p0"}, &code, &errors);
        QVERIFY2(code == 0, qPrintable(errors));
        if (kind == "fat32")
            QVERIFY2(rows.contains("eleted note.txt"), qPrintable(rows));
    }

    // Two images: the second one's volumes carry disk number 1, and the list
    // is ordered by root path whatever the order the images were opened in.
    void two_images_ordered_by_root_path()
    {
        QUARVEL_FIXTURE(fat, "fat16");
        QUARVEL_FIXTURE(demo, "demo");
        QCOMPARE(platform::open_disk_image(fat.image), 0);
        QCOMPARE(platform::open_disk_image(demo.image), 0);
        enumerate_volumes();
        QCOMPARE(volume_list.size(), size_t(4));
        for (size_t i = 2; i < volume_list.size(); ++i)
            QVERIFY(volume_list[i - 1].root_path < volume_list[i].root_path);
        for (size_t i = 1; i < volume_list.size(); ++i) {
            const bool on_demo = volume_list[i].device_path.startsWith(QString::fromStdString(demo.image));
            QCOMPARE(volume_list[i].disk_number, on_demo ? 1 : 0);
        }
    }

    // The same image bound to a loop device: the volumes are the kernel's
    // partition nodes, read like any disk.
    void loop_device()
    {
        QUARVEL_FIXTURE(f, "demo");
        QProcess attach;
        attach.start("losetup", {"--find", "--show", "--partscan", "--read-only", QString::fromStdString(f.image)});
        if (!attach.waitForFinished(20000) || attach.exitCode() != 0)
            QSKIP("no loop device here (losetup needs root and /dev/loop*)");
        const QString loop = QString::fromLocal8Bit(attach.readAllStandardOutput()).trimmed();
        auto detach = qScopeGuard([&] { QProcess::execute("losetup", {"-d", loop}); });
        QProcess::execute("udevadm", {"settle", "--timeout=5"});

        platform::set_block_devices_enabled(true);
        enumerate_volumes();
        const auto expected = expected_volumes(f);
        int matched = 0;
        for (size_t i = 1; i < volume_list.size(); ++i) {
            const auto& v = volume_list[i];
            if (!v.device_path.startsWith(loop))
                continue;
            for (const auto& want : expected) {
                if (want.partition != v.partition_number)
                    continue;
                ++matched;
                QCOMPARE(v.file_system, want.file_system);
                QCOMPARE(v.label, want.label);
                QCOMPARE(v.total_bytes, want.size);
                QCOMPARE(platform::drive_at(v.disk_number)->device_path, loop.toStdString());
            }
        }
        QCOMPARE(matched, int(expected.size()));
    }

    // Image volumes are listed by absolute path; a relative one names the same.
    void relative_image_volume_path()
    {
        QUARVEL_FIXTURE(f, "demo");
        const QFileInfo image(QString::fromStdString(f.image));
        const QString previous = QDir::currentPath();
        auto back = qScopeGuard([&] { QDir::setCurrent(previous); });
        QVERIFY(QDir::setCurrent(image.absolutePath()));
        platform::platform_volume_s volume;
        QVERIFY(platform::find_volume((image.fileName() + ":p2").toStdString(), &volume));
        QCOMPARE(QString::fromStdString(volume.device_path), image.absoluteFilePath() + ":p2");
        QCOMPARE(QString::fromStdString(volume.file_system), QString("NTFS"));
        QVERIFY(platform::find_volume(image.fileName().toStdString(), &volume));
        QCOMPARE(volume.partition_number, 0);
        QVERIFY(!platform::find_volume((image.fileName() + ":p7").toStdString(), &volume));
    }

    // An image whose file went away after it was opened is passed over and
    // named, and the images opened after it stay listed. Unmounted volumes
    // say whether their free space is known: FAT32 keeps a count, FAT16 none.
    void removed_image_and_free_space()
    {
        const QString mkfs = QStandardPaths::findExecutable("mkfs.fat", {"/usr/sbin", "/sbin", "/usr/bin"});
        if (mkfs.isEmpty())
            QSKIP("mkfs.fat is not installed");
        const QString dir = QString::fromStdString(test_support::make_temp_dir("enumeration-removed"));
        const QStringList names = {"a32.img", "gone.img", "c16.img"};
        for (const QString& name : names) {
            const QString path = dir + "/" + name;
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(40 << 20));
            f.close();
            QCOMPARE(QProcess::execute(mkfs, {"-F", name.contains("16") ? "16" : "32", path}), 0);
            QCOMPARE(platform::open_disk_image(path.toStdString()), 0);
        }
        QVERIFY(QFile::remove(dir + "/gone.img"));
        enumerate_drives();
        QCOMPARE(drive_list.size(), size_t(3));
        QCOMPARE(drive_list[1].device_path, dir + "/a32.img");
        QCOMPARE(drive_list[2].device_path, dir + "/c16.img");
        QCOMPARE(skipped_drives(), std::vector<QString>{dir + "/gone.img"});

        enumerate_volumes();
        QCOMPARE(volume_list.size(), size_t(3));
        for (size_t i = 1; i < volume_list.size(); ++i) {
            const volume_item_s& v = volume_list[i];
            if (v.file_system == "FAT32") {
                QVERIFY(v.free_space_known);
                QVERIFY(v.free_bytes > 0 && v.free_bytes < v.total_bytes);
            } else {
                QCOMPARE(v.file_system, QString("FAT16"));
                QVERIFY(!v.free_space_known);
                QCOMPARE(v.free_bytes, uint64_t(0));
            }
        }
        enumerate_drives();  // a later enumeration starts a fresh list
        QCOMPARE(skipped_drives().size(), size_t(1));
    }

    void cli_lists_volumes_as_json()
    {
        QUARVEL_FIXTURE(f, "demo");
        int code = -1;
        QString errors;
        const QString out = run_and_capture({"--image", QString::fromStdString(f.image), "volumes", "--json"},
                                            &code, &errors);
        QCOMPARE(code, 0);
        const auto expected = expected_volumes(f);
        const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
        int matched = 0;
        for (const auto& line : lines) {
            const QJsonObject row = QJsonDocument::fromJson(line.toUtf8()).object();
            QVERIFY2(!row.isEmpty(), qPrintable(line));
            if (!row["device_path"].toString().startsWith(QString::fromStdString(f.image)))
                continue;
            for (const auto& want : expected) {
                if (row["partition_number"].toInt() != want.partition)
                    continue;
                ++matched;
                QCOMPARE(row["file_system"].toString(), want.file_system);
                QCOMPARE(row["label"].toString(), want.label);
                QCOMPARE(uint64_t(row["total_bytes"].toDouble()), want.size);
                for (const char* key : {"dos_device", "root_path", "free_bytes", "free_space_known", "disk_number"})
                    QVERIFY2(row.contains(key), key);
            }
        }
        QCOMPARE(matched, int(expected.size()));
    }

    void cli_refuses_bad_images_in_one_line_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing") << "/nonexistent/card.img";
        QTest::newRow("folder") << "/";
    }
    void cli_refuses_bad_images_in_one_line()
    {
        QFETCH(QString, path);
        int code = -1;
        QString errors;
        const QString out = run_and_capture({"--image", path, "volumes"}, &code, &errors);
        QCOMPARE(code, 1);
        QVERIFY(out.isEmpty());
        QCOMPARE(errors.count('\n'), 1);
        QVERIFY(errors.startsWith("quarvel-cli: "));
    }
};

QTEST_GUILESS_MAIN(tst_enumeration)
#include "tst_enumeration.moc"
