// The scan service and the recovery writer on a real FAT image made by
// mkfs.fat and mtools: same-named files in two folders all come back, in
// the window's writer and in quarvel-cli; nothing in the destination is
// replaced or written through; failures are counted and leave nothing; a
// preview and a recovery read one scanner back at the same time.
#include "platform/drive_table.h"
#include "scan/safe_name.h"
#include "scan/scan_service.h"
#include "support/fixtures.h"
#include "support/read_only_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool write_file(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray random_bytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray b(size, '\0');
    for (char& c : b)
        c = char(gen.bounded(256));
    return b;
}

bool run_tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The contents of every regular file in folder and below, counted.
std::map<QByteArray, int> contents_of(const QString& folder)
{
    std::map<QByteArray, int> seen;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        ++seen[read_all(it.next())];
    return seen;
}

// A FAT image holding folders a and b, each with `per_folder` deleted files
// named f0.txt, f1.txt, ... (so every name is in both folders). Returns the
// volume, or an empty device path with *reason when the tools are missing.
volume_item_s make_image(const QString& dir, int per_folder, std::map<QByteArray, int>* contents, QString* reason)
{
    for (const char* tool : {"mkfs.fat", "mmd", "mcopy", "mdel"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty() &&
            QStandardPaths::findExecutable(tool, {"/sbin", "/usr/sbin"}).isEmpty()) {
            *reason = QStringLiteral("%1 is not installed").arg(tool);
            return {};
        }
    }
    QString mkfs = QStandardPaths::findExecutable("mkfs.fat");
    if (mkfs.isEmpty())
        mkfs = QStandardPaths::findExecutable("mkfs.fat", {"/sbin", "/usr/sbin"});
    const QString image = QDir(dir).filePath("same.img");
    QStringList doomed;
    bool ok = run_tool(mkfs, {"-C", image, "4096"}) && run_tool("mmd", {"-i", image, "::/a", "::/b"});
    for (int i = 0; ok && i < per_folder; ++i) {
        for (const QString folder : {"a", "b"}) {
            const QByteArray data = random_bytes(1500 + 700 * i + (folder == "b" ? 300 : 0), quint32(i * 2 + (folder == "b")));
            const QString source = QDir(dir).filePath("src");
            const QString target = QStringLiteral("::/%1/f%2.txt").arg(folder).arg(i);
            ok = write_file(source, data) && run_tool("mcopy", {"-i", image, source, target});
            ++(*contents)[data];
            doomed << target;
        }
    }
    ok = ok && run_tool("mdel", QStringList{"-i", image} + doomed);
    if (!ok) {
        *reason = "building the image failed";
        return {};
    }
    platform::open_disk_image(image.toStdString());
    volume_item_s v;
    v.device_path = image + ":p0";
    v.dos_device = "same.img:p0";
    v.root_path = v.device_path + "/";
    v.file_system = "FAT12";
    v.partition_number = 0;
    v.disk_number = platform::drive_number_of(image.toStdString());
    return v;
}

std::vector<recovery_item_s> ticked_rows(const recovery_base_c& scanner)
{
    std::vector<recovery_item_s> rows;
    for (auto& r : scanner.found_rows()) {
        r.item.checked = 1;
        rows.push_back(r.item);
    }
    return rows;
}

}  // namespace

class tst_recovery_writer : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;

private slots:

    void service_chooses_and_refuses()
    {
        volume_item_s v;
        v.device_path = "/nonexistent";
        v.file_system = "NTFS";
        QCOMPARE(choose_scanner(v, false), scanner_kind_e::ntfs);
        QCOMPARE(choose_scanner(v, true), scanner_kind_e::raw);
        v.file_system = "FAT32";
        QCOMPARE(choose_scanner(v, false), scanner_kind_e::fat);
        v.file_system = "exFAT";
        QCOMPARE(choose_scanner(v, false), scanner_kind_e::exfat);
        for (const QString fs : {"ext4", ""}) {
            v.file_system = fs;
            QCOMPARE(choose_scanner(v, false), scanner_kind_e::none);
            scan_service_c service;
            QString reason;
            QCOMPARE(service.start_scan(v, false, &reason), -1);
            QVERIFY(reason.contains("--deep"));
            QCOMPARE(service.kind(), scanner_kind_e::none);
            QCOMPARE(service.scanner().get_stop(), int(stop_idle));
        }
    }

    // Stop or pause pressed between a scanner's start and its first step
    // must not be wiped by run()'s own reset: the page would otherwise ask
    // the deep-scan question after a Stop, or an abandoned scan run on.
    void a_stop_asked_before_the_thread_runs_is_kept()
    {
        std::map<QByteArray, int> expected;
        QString reason;
        const QString dir = QDir(tmp_.path()).filePath("stop");
        QVERIFY(QDir().mkpath(dir));
        const volume_item_s volume = make_image(dir, 1, &expected, &reason);
        if (volume.device_path.isEmpty())
            QSKIP(qPrintable(reason));
        scan_service_c service;
        for (recovery_base_c* scanner : std::initializer_list<recovery_base_c*>{
                 &service.fat_scanner(), &service.ntfs_scanner(), &service.raw_scanner(), &service.exfat_scanner()}) {
            scanner->reset();
            scanner->set_volume(volume);
            scanner->set_pause(1);
            scanner->set_stop(stop_keep_results);
            scanner->start();
            QVERIFY(scanner->wait(60000));
            QCOMPARE(scanner->get_stop(), int(stop_keep_results));
            QCOMPARE(scanner->get_pause(), 1);
            scanner->reset();
        }
    }

    // Two deleted files of one name in two folders, a file of that name
    // already in the destination, and a hard link to a file outside it
    // standing at the next free name: every row is written, nothing that
    // was there changes, and the counts match the folder.
    void same_names_all_come_back_and_nothing_is_replaced()
    {
        std::map<QByteArray, int> expected;
        QString reason;
        const volume_item_s volume = make_image(tmp_.path(), 1, &expected, &reason);
        if (volume.device_path.isEmpty())
            QSKIP(qPrintable(reason));

        scan_service_c service;
        QVERIFY2(service.scan_to_end(volume, false, &reason) == 0, qPrintable(reason));
        std::vector<recovery_item_s> rows = ticked_rows(service.scanner());
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(rows[0].name, rows[1].name);

        const QString out = QDir(tmp_.path()).filePath("out");
        QVERIFY(QDir().mkpath(out));
        const QString first = QDir(out).filePath(safe_file_name(rows[0].name));
        const QString second = QDir(out).filePath(numbered_file_name(rows[0].name, 2));
        const QString outside = QDir(tmp_.path()).filePath("outside.txt");
        QVERIFY(write_file(first, "already here"));
        QVERIFY(write_file(outside, "outside"));
        QCOMPARE(::link(QFile::encodeName(outside).constData(), QFile::encodeName(second).constData()), 0);

        rows.push_back(rows[0]);
        rows.back().checked = 0;  // not ticked: not written
        int opened_calls = 0;
        service.set_folder_opener([&](const QString&) { ++opened_calls; });
        QSignalSpy done(&service, &scan_service_c::recovery_finished);
        QCOMPARE(service.start_recovery(QDir(out), rows), 0);
        rows.clear();  // the writer works on its own copy
        QVERIFY(done.wait(30000));
        QCOMPARE(done.at(0).at(0).toLongLong(), 2);
        QCOMPARE(done.at(0).at(1).toLongLong(), 0);
        QCOMPARE(opened_calls, 1);

        QCOMPARE(read_all(first), QByteArray("already here"));
        QCOMPARE(read_all(outside), QByteArray("outside"));
        std::map<QByteArray, int> got = contents_of(out);
        QCOMPARE(got[QByteArray("already here")], 1);
        QCOMPARE(got[QByteArray("outside")], 1);
        got.erase("already here");
        got.erase("outside");
        QVERIFY(got == expected);

        // quarvel-cli writes the same rows with counts true to the folder,
        // and its table is for people.
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString cli_out = QDir(tmp_.path()).filePath("cli-out");
        QProcess p;
        p.start(cli, {"--json", "recover", volume.device_path, "--all", "--to", cli_out});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("{\"written\":2,\"failed\":0}"));
        QVERIFY(contents_of(cli_out) == expected);
        p.start(cli, {"scan", volume.device_path});
        QVERIFY(p.waitForFinished(60000));
        const QString table = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(table.contains(QRegularExpression(R"(\d\.\d\dK +\d{4}-\d\d-\d\d \d\d:\d\d +\d{4}-\d\d-\d\d \d\d:\d\d)")),
                 qPrintable(table));
        p.start(cli, {});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("usage:"));
    }

    // Memory that runs out ends quarvel-cli with a reason and status 1, not
    // an abort, and leaves no file: under an address-space limit just above
    // what the program needs to start, no thread can be had for the scan.
    void cli_without_memory_fails_cleanly()
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("a sanitizer's shadow memory does not run under an address-space limit");
#endif
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        std::map<QByteArray, int> expected;
        QString reason;
        const QString dir = QDir(tmp_.path()).filePath("oom");
        QVERIFY(QDir().mkpath(dir + "/out"));
        const volume_item_s volume = make_image(dir, 1, &expected, &reason);
        if (volume.device_path.isEmpty())
            QSKIP(qPrintable(reason));

        // Threads take 8 MiB of stack, as under a default shell.
        const auto run = [&](rlim_t kib, const QStringList& args, QProcess* p) {
            p->setChildProcessModifier([kib] {
                const rlimit stack{8u << 20, 8u << 20};
                const rlimit space{kib << 10, kib << 10};
                ::setrlimit(RLIMIT_STACK, &stack);
                ::setrlimit(RLIMIT_AS, &space);
            });
            p->start(cli, args);
            return p->waitForFinished(60000) && p->exitStatus() == QProcess::NormalExit;
        };
        // The least limit, to 256 KiB, at which the program starts at all.
        rlim_t low = 16 << 10, high = 1 << 20;
        QProcess probe;
        if (!run(high, {"--version"}, &probe) || probe.exitCode() != 0)
            QSKIP("quarvel-cli does not run under a 1 GiB address-space limit here");
        while (high - low > 256) {
            const rlim_t mid = (low + high) / 2;
            (run(mid, {"--version"}, &probe) && probe.exitCode() == 0 ? high : low) = mid;
        }
        QProcess p;
        QVERIFY(run(high + 4096, {"recover", volume.device_path, "--all", "--to", dir + "/out"}, &p));
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(p.exitCode(), 1);
        const QByteArray last = err.trimmed().split('\n').last();
        QVERIFY2(last.startsWith("quarvel-cli: ") && last.contains("memory"), err.constData());
        QVERIFY(QDir(dir + "/out").entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    // A deep-scan record that runs past the device's end and one that names
    // no record fail, leave no file, and are counted; the folder still opens.
    void failures_are_counted_and_leave_nothing()
    {
        const QString image = QDir(tmp_.path()).filePath("raw.img");
        QByteArray bytes(4096, 'x');
        bytes.replace(1000, 5, "hello");
        QVERIFY(write_file(image, bytes));
        QByteArray sav = QFile::encodeName(image) + ":p0";
        sav.resize(256, '\0');
        auto record = [](int64_t index, int64_t offset, int64_t size) {
            QByteArray r(32, '\0');
            for (int i = 0; i < 8; ++i) {
                r[i] = char(uint64_t(index) >> (8 * i));
                r[8 + i] = char(uint64_t(offset) >> (8 * i));
                r[16 + i] = char(uint64_t(size) >> (8 * i));
            }
            r.replace(24, 3, "txt");
            return r;
        };
        sav += record(0, 1000, 5) + record(1, 3584, 100000);
        const QString sav_path = QDir(tmp_.path()).filePath("raw.sav");
        QVERIFY(write_file(sav_path, sav));

        scan_service_c service;
        std::vector<recovery_item_s> nothing_chosen(1);
        nothing_chosen[0].checked = 1;
        QCOMPARE(service.start_recovery(QDir(tmp_.path()), nothing_chosen), -1);  // the inert scanner writes nothing
        QCOMPARE(service.recover_one(QDir(tmp_.path()), nothing_chosen[0]), -1);
        // A scan file loads only for an offered volume its records fit; the
        // image then shrinks under the loaded scan.
        QVERIFY(QFile::resize(image, 3584 + 100000));
        QCOMPARE(platform::open_disk_image(image.toStdString()), 0);
        QCOMPARE(service.load_scan_file(QFile::encodeName(sav_path)), image + ":p0");
        QVERIFY(QFile::resize(image, 4096));
        QCOMPARE(service.kind(), scanner_kind_e::raw);
        std::vector<recovery_item_s> rows = ticked_rows(service.scanner());
        QCOMPARE(rows.size(), size_t(2));
        rows.push_back(rows[0]);
        rows.back().id = 7;
        const QString out = QDir(tmp_.path()).filePath("raw-out");
        QVERIFY(QDir().mkpath(out));
        int opened_calls = 0;
        service.set_folder_opener([&](const QString&) { ++opened_calls; });
        int opened_when_told = -1;
        connect(&service, &scan_service_c::recovery_finished, this,
                [&] { opened_when_told = opened_calls; });
        QSignalSpy done(&service, &scan_service_c::recovery_finished);
        {
            // A preview holding the scanner keeps the writer at its first row.
            std::lock_guard preview(service.scanner().read_back_lock());
            QCOMPARE(service.start_recovery(QDir(out), rows), 0);
            QCOMPARE(service.start_recovery(QDir(out), rows), -1);  // one recovery at a time
        }
        QVERIFY(done.wait(30000));
        QCOMPARE(service.writer().tally().written, 1);
        QCOMPARE(service.writer().tally().failed, 2);
        // Each failed file is kept with its own reason, for the end message.
        const std::vector<failed_file_s> failures = service.writer().failures();
        QCOMPARE(failures.size(), size_t(2));
        for (const failed_file_s& f : failures)
            QVERIFY2(!f.name.isEmpty() && !f.reason.isEmpty(), qPrintable(f.name + ": " + f.reason));
        // The counts are told first, then the folder opens.
        QCOMPARE(opened_when_told, 0);
        QCOMPARE(opened_calls, 1);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 1);

        // Nothing ticked: nothing starts.
        for (auto& r : rows)
            r.checked = 0;
        QCOMPARE(service.start_recovery(QDir(out), rows), -1);
    }

    // A folder no file can be made in, or without room for the selection,
    // is refused before anything is copied, by the service and by
    // quarvel-cli recover, with the system's reason or the numbers.
    void destination_checked_before_the_first_copy()
    {
        std::map<QByteArray, int> expected;
        QString reason;
        const QString dir = QDir(tmp_.path()).filePath("check");
        QVERIFY(QDir().mkpath(dir));
        const volume_item_s volume = make_image(dir, 1, &expected, &reason);
        if (volume.device_path.isEmpty())
            QSKIP(qPrintable(reason));
        scan_service_c service;
        QVERIFY2(service.scan_to_end(volume, false, &reason) == 0, qPrintable(reason));
        const std::vector<recovery_item_s> rows = ticked_rows(service.scanner());
        QVERIFY(!rows.empty());
        const auto empty = [](const QString& folder) {
            return QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        };

        const QString roomy = QDir(dir).filePath("roomy");
        QVERIFY(QDir().mkpath(roomy));
        QVERIFY(service.check_output(QDir(roomy)).ok());
        const uint64_t huge = uint64_t(1) << 62;
        const output_check_s short_of_room = service.check_output(QDir(roomy), huge);
        QCOMPARE(short_of_room.problem, output_check_s::problem_e::no_room);
        QVERIFY(short_of_room.free < huge);
        QVERIFY2(short_of_room.text().contains(QString::number(huge)), qPrintable(short_of_room.text()));
        QVERIFY(empty(roomy));  // the check's own file is gone

        const QString locked = QDir(dir).filePath("locked");
        QVERIFY(QDir().mkpath(locked));
        const test_support::read_only_folder_c read_only(locked.toStdString());
        if (!read_only.failure().empty())
            QSKIP(read_only.failure().c_str());
        const output_check_s refused = service.check_output(QDir(locked));
        QCOMPARE(refused.problem, output_check_s::problem_e::not_writable);
        QVERIFY(!refused.detail.isEmpty());
        QSignalSpy done(&service, &scan_service_c::recovery_finished);
        QCOMPARE(service.start_recovery(QDir(locked), rows), -1);

        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        QProcess p;
        p.start(cli, {"recover", volume.device_path, "--all", "--to", locked});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
        const QString said = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(said.contains("nothing can be written into") && said.contains(refused.detail), qPrintable(said));
        QVERIFY(p.readAllStandardOutput().isEmpty());
        QVERIFY(empty(locked));
        QCOMPARE(done.count(), 0);
    }

    // A scan file whose type name holds a line break and an escape: the
    // plain table shows them escaped, JSON as \u escapes, and the file
    // written carries "_" in their place.
    void control_characters_in_names()
    {
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString image = QDir(tmp_.path()).filePath("ctl.img");
        QVERIFY(write_file(image, QByteArray(1024, 'z')));
        QByteArray sav = QFile::encodeName(image) + ":p0";
        sav.resize(256, '\0');
        QByteArray record(32, '\0');
        record[16] = 10;  // ten bytes from offset 0
        record.replace(24, 6, "a\nb\x1b[J");
        const QString sav_path = QDir(tmp_.path()).filePath("ctl.sav");
        QVERIFY(write_file(sav_path, sav + record));

        QProcess p;
        p.start(cli, {"--image", image, "load", sav_path});
        QVERIFY(p.waitForFinished(30000));
        const QByteArray table = p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(table.contains("00000000.a\\nb\\x1b[J"), table.constData());
        QVERIFY(!table.contains('\x1b'));
        QCOMPARE(table.count('\n'), 2);  // the heading and one row
        p.start(cli, {"--image", image, "--json", "load", sav_path});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY(p.readAllStandardOutput().contains("a\\nb\\u001b[J"));

        const QString out = QDir(tmp_.path()).filePath("ctl-out");
        p.start(cli, {"--image", image, "load", sav_path, "--to", out, "--all"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"00000000.a_b_[J"});
        QCOMPARE(read_all(QDir(out).filePath("00000000.a_b_[J")), QByteArray(10, 'z'));
    }

    void copy_by_path_and_the_live_branch()
    {
        const QString source = QDir(tmp_.path()).filePath("live.bin");
        const QByteArray data = random_bytes(300000, 9);
        QVERIFY(write_file(source, data));
        const QString out = QDir(tmp_.path()).filePath("copy.bin");
        QCOMPARE(copy_by_path(source, out), 0);
        QCOMPARE(read_all(out), data);
        QCOMPARE(copy_by_path(source, out), recover_target_exists);
        QCOMPARE(read_all(out), data);
        const QString link = QDir(tmp_.path()).filePath("live-link");
        QVERIFY(QFile::link(source, link));
        QCOMPARE(copy_by_path(link, QDir(tmp_.path()).filePath("via-link")), -1);
        QCOMPARE(copy_by_path(tmp_.path(), QDir(tmp_.path()).filePath("a-folder")), -1);
        QVERIFY(!QFile::exists(QDir(tmp_.path()).filePath("via-link")));

        QVERIFY(is_mount_point("/"));
        QVERIFY(QDir().mkpath(QDir(tmp_.path()).filePath("plain")));
        QVERIFY(!is_mount_point(QDir(tmp_.path()).filePath("plain")));
        QVERIFY(!is_mount_point(source + ":p1/"));

        // A row without the engine bit goes through the file system only
        // when the volume's root really is a mount point.
        ntfs_recovery_c ntfs;
        volume_item_s v;
        v.device_path = source + ":p1";
        v.root_path = v.device_path + "/";
        ntfs.set_volume(v);
        recovery_item_s row;
        row.id = 64;
        QString from = "unchanged";
        QVERIFY(!ntfs.live_source(row, &from));
        v.root_path = "/";
        ntfs.set_volume(v);
        QVERIFY(ntfs.live_source(row, &from));
        QVERIFY(from.isEmpty());  // not in the store: the copy will fail
        row.flags = int32_t(0x80000000u);
        QVERIFY(!ntfs.live_source(row, &from));
    }

    // The writer recovers every row many times over while this thread asks
    // for previews of the same rows: every copy is whole, and resetting the
    // scanner waits for the writer.
    void preview_and_recovery_at_once()
    {
        std::map<QByteArray, int> expected;
        QString reason;
        const QString dir = QDir(tmp_.path()).filePath("busy");
        QVERIFY(QDir().mkpath(dir));
        const volume_item_s volume = make_image(dir, 6, &expected, &reason);
        if (volume.device_path.isEmpty())
            QSKIP(qPrintable(reason));
        scan_service_c service;
        QVERIFY2(service.scan_to_end(volume, false, &reason) == 0, qPrintable(reason));
        const std::vector<recovery_item_s> once = ticked_rows(service.scanner());
        QCOMPARE(once.size(), size_t(12));
        std::vector<recovery_item_s> rows;
        constexpr int rounds = 20;
        for (int i = 0; i < rounds; ++i)
            rows.insert(rows.end(), once.begin(), once.end());

        const QString out = QDir(tmp_.path()).filePath("busy-out");
        const QString previews = QDir(tmp_.path()).filePath("busy-previews");
        QVERIFY(QDir().mkpath(out) && QDir().mkpath(previews));
        QCOMPARE(service.start_recovery(QDir(out), rows), 0);
        int preview_count = 0;
        while (service.recovering() || preview_count < int(once.size())) {
            const recovery_item_s& row = once[size_t(preview_count) % once.size()];
            QString written;
            QCOMPARE(service.recover_one(QDir(previews), row, &written), 0);
            ++preview_count;
        }
        service.reset_scanner();
        QVERIFY(!service.recovering());
        QCOMPARE(service.writer().tally().written, int64_t(rows.size()));
        QCOMPARE(service.writer().tally().failed, 0);

        for (const auto& [data, count] : contents_of(out))
            QCOMPARE(count, expected.at(data) * rounds);
        for (const auto& [data, count] : contents_of(previews))
            QVERIFY(expected.count(data));
    }
};

QTEST_GUILESS_MAIN(tst_recovery_writer)
#include "tst_recovery_writer.moc"
