// Recovery from a failing disk and into trouble, on FAT images made by
// mkfs.fat and mtools: a file over unreadable sectors comes back with zeros
// there and is listed with its sectors (or skipped when asked); a partial
// file a crash left is replaced by a rerun; a full destination says so and
// leaves nothing; Ctrl-C during quarvel-cli recover leaves no file under a
// final name that is not whole.
#include "platform/byte_source.h"
#include "scan/fat/fat_recovery.h"
#include "scan/recover_rows.h"
#include "scan/safe_name.h"
#include "support/failing_source.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
}

bool run(const QString& program, const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    p.setProcessEnvironment(env);
    p.start(program, args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Bytes no two sectors of which are alike, so a file is found in its image.
QByteArray pattern(qsizetype size, uint32_t seed)
{
    QByteArray b(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = char(x >> 24);
    }
    return b;
}

// A FAT image of size_kib holding the given files, deleted.
bool make_image(const QString& image, int size_kib, const std::vector<std::pair<QString, QByteArray>>& files)
{
    const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mdel = tool("mdel");
    if (mkfs.isEmpty() || mcopy.isEmpty() || mdel.isEmpty())
        return false;
    QFile::remove(image);
    if (!run(mkfs, {"-C", image, QString::number(size_kib)}))
        return false;
    QStringList doomed{"-i", image};
    for (const auto& [name, bytes] : files) {
        const QString src = image + ".src";
        QFile f(src);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return false;
        f.close();
        if (!run(mcopy, {"-i", image, src, "::" + name}))
            return false;
        QFile::remove(src);
        doomed << "::" + name;
    }
    return run(mdel, doomed);
}

// Every regular file below folder, by its path under it.
QStringList files_below(const QString& folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

}  // namespace

class tst_recovery_failing : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    QString image_;
    QByteArray big_;  // big.bin: 400 KiB
    QByteArray image_bytes_;

    // The FAT scanner over the image, with sectors bad (numbers of the
    // image's 512-byte sectors).
    std::unique_ptr<fat_recovery_c> scan(const std::set<uint64_t>& bad)
    {
        auto failing = std::make_shared<test_support::failing_source_c>(
            std::vector<uint8_t>(image_bytes_.begin(), image_bytes_.end()), bad);
        auto scanner = std::make_unique<fat_recovery_c>();
        volume_item_s volume;
        volume.device_path = image_;
        volume.root_path = image_ + "/";
        volume.file_system = "FAT16";
        scanner->set_volume(volume);
        scanner->set_source(image_, std::make_shared<platform::salvage_source_c>(failing));
        scanner->start();
        scanner->wait(60000);
        return scanner;
    }

    static found_row_s row_named(const recovery_base_c& scanner, const QString& written_name)
    {
        for (const auto& r : scanner.found_rows())
            if (scanner.written_name(r.item).endsWith(written_name.mid(1), Qt::CaseInsensitive))
                return r;
        return {};
    }

private slots:
    void initTestCase()
    {
        image_ = tmp_.filePath("card.img");
        big_ = pattern(400 * 1024, 7);
        if (!make_image(image_, 8192, {{"big.bin", big_}, {"small.txt", "small file\n"}}))
            QSKIP("mkfs.fat or mtools is not installed");
        image_bytes_ = read_all(image_);
    }

    // The readable bytes come back with zeros where the disk failed, the
    // file is counted and listed with its sectors; asked to skip such
    // files, nothing of it is written and it is listed as skipped.
    void unreadable_sectors_are_zeros_and_listed()
    {
        const qsizetype at = image_bytes_.indexOf(big_.left(4096));
        QVERIFY(at > 0 && at % 512 == 0);
        const uint64_t first_bad = uint64_t(at) / 512 + 100;
        const auto scanner = scan({first_bad, first_bad + 1, first_bad + 40});
        const found_row_s big = row_named(*scanner, "big.bin");
        QCOMPARE(big.item.size, int64_t(big_.size()));

        const QString out = tmp_.filePath("zeros");
        QVERIFY(QDir().mkpath(out));
        unreadable_list_c list;
        recovery_tally_s tally = recover_found_rows(*scanner, {big}, out, false, {}, nullptr, {}, &list);
        QCOMPARE(tally.written, 1);
        QCOMPARE(tally.unreadable, 1);
        QByteArray expected = big_;
        for (const uint64_t bad : {uint64_t(100), uint64_t(101), uint64_t(140)})
            expected.replace(qsizetype(bad * 512), 512, QByteArray(512, '\0'));
        const QStringList written = files_below(out);
        QCOMPARE(written.size(), 1);
        QCOMPARE(read_all(out + "/" + written[0]), expected);
        QString why;
        const QString listed = list.write_into(out, &why);
        QCOMPARE(listed, out + "/unreadable-sectors.txt");
        const QString text = QString::fromUtf8(read_all(listed));
        QVERIFY2(text.contains(QStringLiteral("written\t%1\t512 bytes each, sectors %2-%3 (Input/output error), %4 "
                                              "(Input/output error)")
                                   .arg(written[0])
                                   .arg(first_bad)
                                   .arg(first_bad + 1)
                                   .arg(first_bad + 40)),
                 qPrintable(text));
        // A second list never replaces the first.
        QCOMPARE(list.write_into(out, &why), out + "/unreadable-sectors (2).txt");

        const QString skipped = tmp_.filePath("skipped");
        QVERIFY(QDir().mkpath(skipped));
        recovery_options_s skip;
        skip.skip_unreadable = true;
        unreadable_list_c skipped_list;
        const found_row_s small = row_named(*scanner, "small.txt");
        tally = recover_found_rows(*scanner, {big, small}, skipped, false, {}, nullptr, skip, &skipped_list);
        QCOMPARE(tally.written, 1);
        QCOMPARE(tally.skipped, 1);
        QCOMPARE(tally.failed, 0);
        QCOMPARE(files_below(skipped), QStringList{scanner->written_name(small.item)});
        QVERIFY(skipped_list.write_into(skipped, &why).endsWith("unreadable-sectors.txt"));
        QVERIFY(read_all(skipped + "/unreadable-sectors.txt").contains("skipped\t"));

        // Read back from a sound disk, the same file is whole and unmarked.
        const auto sound = scan({});
        const QString clean = tmp_.filePath("clean");
        QVERIFY(QDir().mkpath(clean));
        unreadable_list_c none;
        tally = recover_found_rows(*sound, {row_named(*sound, "big.bin")}, clean, false, {}, nullptr, {}, &none);
        QCOMPARE(tally.written, 1);
        QCOMPARE(tally.unreadable, 0);
        QVERIFY(none.empty());
        QCOMPARE(read_all(clean + "/" + files_below(clean)[0]), big_);
    }

    // What a crash left (a partial file no one writes) is replaced by the
    // rerun, which writes the final name, not "name (2)"; a partial file
    // another run is writing now is left alone.
    void partial_files_from_a_crash_are_replaced()
    {
        const auto scanner = scan({});
        const found_row_s small = row_named(*scanner, "small.txt");
        const QString name = scanner->written_name(small.item);
        const QString out = tmp_.filePath("rerun");
        QVERIFY(QDir().mkpath(out));
        const QString stale = out + "/" + partial_file_name(name);
        QFile f(stale);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("cut sh") == 6);
        f.close();
        QCOMPARE(recover_found_rows(*scanner, {small}, out, false).written, 1);
        QCOMPARE(files_below(out), QStringList{name});
        QCOMPARE(read_all(out + "/" + name), QByteArray("small file\n"));

        const QString busy_out = tmp_.filePath("busy");
        QVERIFY(QDir().mkpath(busy_out));
        const QString busy = busy_out + "/" + partial_file_name(name);
        const int fd = ::open(QFile::encodeName(busy).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
        QCOMPARE(recover_found_rows(*scanner, {small}, busy_out, false).written, 1);
        ::close(fd);
        QVERIFY(QFile::exists(busy));
        QVERIFY(QFile::exists(busy_out + "/" + numbered_file_name(name, 2)));
        // A name from a disk never passes for a partial file.
        QCOMPARE(safe_file_name(partial_file_name("x.txt")), QString("x.txt.quarvel-partial_"));
    }

    // A full destination is told as such, apart from read errors, and
    // leaves nothing in the folder.
    void full_destination_says_so()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small tmpfs needs root");
        const QString out = tmp_.filePath("full");
        QVERIFY(QDir().mkpath(out));
        if (::mount("tmpfs", QFile::encodeName(out).constData(), "tmpfs", 0, "size=128k") != 0)
            QSKIP("tmpfs cannot be mounted here");
        const auto scanner = scan({});
        recovery_tally_s tally;
        QString failure;
        tally = recover_found_rows(*scanner, {row_named(*scanner, "big.bin")}, out, false,
                                   [&](size_t, size_t, const found_row_s&, int, const QString&) {
                                       failure = last_recovery_failure();
                                   });
        const QStringList left = files_below(out);
        ::umount2(QFile::encodeName(out).constData(), MNT_DETACH);
        QCOMPARE(tally.failed, 1);
        QCOMPARE(tally.destination_full, 1);
        QVERIFY2(failure.startsWith("the destination is full"), qPrintable(failure));
        QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
    }

    // Ctrl-C while quarvel-cli writes a large file: that file is removed,
    // the counts are told, and every file under a final name is whole.
    void interrupt_leaves_no_truncated_file()
    {
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString image = tmp_.filePath("large.img");
        const QByteArray large = pattern(64 << 20, 3);
        if (!make_image(image, 256 * 1024, {{"one.bin", large}, {"two.bin", large}, {"three.bin", large}}))
            QSKIP("mkfs.fat or mtools is not installed");
        const QString out = tmp_.filePath("interrupted");
        QProcess p;
        p.start(cli, {"--image", image, "--json", "recover", image, "--all", "--no-verify", "--to", out});
        QVERIFY(p.waitForStarted());
        // Signalled as soon as a file is under way: one the process holds
        // open in the folder, named or not yet (not the probe of the
        // folder's writability, made before the copies start).
        QElapsedTimer waited;
        waited.start();
        bool under_way = false;
        const QString fds = QString("/proc/%1/fd").arg(p.processId());
        while (!under_way && p.state() == QProcess::Running && waited.elapsed() < 120000) {
            for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
                const QString target = fd.symLinkTarget();
                under_way = under_way || (target.startsWith(out + "/") && !target.contains("/.quarvel-write-check-"));
            }
            if (!under_way)
                QThread::usleep(500);
        }
        QVERIFY2(under_way, "no file was seen being written");
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(120000));
        const QByteArray errors = p.readAllStandardError();
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(errors.contains("stopped by SIGINT"), errors.constData());
        const QStringList left = files_below(out);
        QVERIFY(left.size() < 3);
        for (const QString& name : left)
            QCOMPARE(QFileInfo(out + "/" + name).size(), qint64(large.size()));
        const QJsonObject counts = QJsonDocument::fromJson(p.readAllStandardOutput().trimmed()).object();
        QCOMPARE(counts["written"].toInt(), left.size());
        QCOMPARE(counts["not_written"].toInt(), 3 - left.size());
    }
};

QTEST_MAIN(tst_recovery_failing)
#include "tst_recovery_failing.moc"
