// Disk images inside containers, made by the real tools (ewfacquire,
// qemu-img) from raw fixtures: the disk read through the container must be
// the raw image byte for byte, its partitions and volumes the same, and a
// damaged container must be refused with one line that says so.
#include "platform/drive_table.h"
#include "platform/image_formats.h"
#include "platform/partitions.h"
#include "platform/volumes.h"
#include "support/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <thread>

namespace {

// Runs a tool; false when it is not installed or fails.
bool run(const QString& program, const QStringList& args, QString* said)
{
    if (QStandardPaths::findExecutable(program).isEmpty()) {
        *said = program + " is not installed (scripts/install-deps.sh installs it)";
        return false;
    }
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *said = program + " failed: " + QString::fromLocal8Bit(p.readAllStandardError());
        return false;
    }
    return true;
}

// Makes RAW into FORMAT ("E01", "vhdx", "vpc", "vmdk") in DIR; returns the
// path to open, or empty with the reason.
QString convert(const QString& raw, const QString& format, const QString& dir, QString* said)
{
    if (format == "E01") {
        // Segments of 1 MiB, so even a small image is a set of several.
        const QString base = dir + "/disk";
        return run("ewfacquire", {"-u", "-q", "-t", base, "-S", "1MiB", "-c", "none", raw}, said) ? base + ".E01"
                                                                                                 : QString();
    }
    const QString out = dir + "/disk." + format;
    QStringList args = {"convert", "-f", "raw", "-O", format};
    if (format == "vpc")
        args << "-o" << "subformat=dynamic,force_size=on";  // no rounding to a cylinder
    return run("qemu-img", args << raw << out, said) ? out : QString();
}

QByteArray all_bytes(const platform::byte_source_c& s)
{
    QByteArray bytes(qsizetype(s.size()), '\0');
    qint64 done = 0;
    while (done < bytes.size()) {
        const int64_t n = s.read_at(uint64_t(done), bytes.data() + done, size_t(std::min<qint64>(bytes.size() - done, 1 << 20)));
        if (n <= 0)
            return {};
        done += n;
    }
    return bytes;
}

QByteArray file_bytes(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs quarvel-cli to its end; its standard output, or the output of both
// streams with the test failed when it did not exit 0.
QByteArray run_cli(const QString& cli, const QStringList& args)
{
    QProcess p;
    p.start(cli, args);
    p.waitForFinished(300000);
    const QByteArray out = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTest::qFail(qPrintable(args.join(' ') + ": " + out + p.readAllStandardError()), __FILE__, __LINE__);
        return {};
    }
    return out;
}

// Every file below root, by its path under root, with its bytes.
std::map<QString, QByteArray> files_below(const QString& root)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        files[QDir(root).relativeFilePath(f.fileName())] = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    return files;
}

}  // namespace

class tst_image_formats : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }

    // Every format holds the fixture's disk: the same bytes, the same table
    // (read from the bytes, against libblkid's reading of the raw file), the
    // same volumes offered, each partition a window of the same bytes.
    void container_reads_as_its_raw_disk_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("format");
        for (const char* format : {"E01", "vhdx", "vpc", "vmdk"})
            QTest::newRow(qPrintable(QString("fat32 ") + format)) << "fat32" << format;
        QTest::newRow("ntfs E01") << "ntfs" << "E01";
        QTest::newRow("mbr_logical vhdx") << "mbr_logical" << "vhdx";
        QTest::newRow("gpt vmdk") << "gpt" << "vmdk";
    }
    void container_reads_as_its_raw_disk()
    {
        QFETCH(QString, kind);
        QFETCH(QString, format);
        QUARVEL_FIXTURE(f, kind.toStdString());
        const QString dir = QString::fromStdString(test_support::make_temp_dir("formats"));
        QString said;
        const QString path = convert(QString::fromStdString(f.image), format, dir, &said);
        if (path.isEmpty())
            QSKIP(qPrintable(said));
        const std::string container = path.toStdString();

        QVERIFY(platform::image_format_of(container) != platform::image_format_e::raw);
        std::string error;
        const platform::byte_source_ptr disk = platform::open_byte_source(container, &error);
        QVERIFY2(disk, error.c_str());
        const QByteArray raw = file_bytes(f.image);
        QCOMPARE(qint64(disk->size()), qint64(raw.size()));
        QVERIFY(all_bytes(*disk) == raw);

        const auto ours = platform::read_partitions(*disk);
        const auto blkid = platform::read_partitions(f.image);
        QCOMPARE(ours.size(), blkid.size());
        for (size_t i = 0; i < ours.size(); ++i) {
            QCOMPARE(ours[i].number, blkid[i].number);
            QCOMPARE(ours[i].start_bytes, blkid[i].start_bytes);
            QCOMPARE(ours[i].size_bytes, blkid[i].size_bytes);
            const auto part = platform::open_byte_source(container + ":p" + std::to_string(ours[i].number), &error);
            QVERIFY2(part, error.c_str());
            QVERIFY(all_bytes(*part) == raw.mid(qsizetype(ours[i].start_bytes), qsizetype(ours[i].size_bytes)));
        }

        // The volume list offers what it offers for the raw image.
        QCOMPARE(platform::open_disk_image(f.image), 0);
        QCOMPARE(platform::open_disk_image(container, &error), 0);
        std::vector<platform::platform_volume_s> from_raw, from_container;
        for (const auto& v : platform::list_volumes())
            (v.disk_path == container ? from_container : from_raw).push_back(v);
        QVERIFY(!from_raw.empty());
        QCOMPARE(from_container.size(), from_raw.size());
        for (size_t i = 0; i < from_raw.size(); ++i) {
            QCOMPARE(from_container[i].file_system, from_raw[i].file_system);
            QCOMPARE(from_container[i].start_bytes, from_raw[i].start_bytes);
            QCOMPARE(from_container[i].total_bytes, from_raw[i].total_bytes);
        }
    }

    // What a person gets from a container is what the raw image gives: the
    // same rows listed and the same files written, byte for byte, on FAT,
    // NTFS and exFAT.
    void container_scans_as_its_raw_image_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("format");
        for (const char* format : {"E01", "vhdx", "vmdk"}) {
            QTest::newRow(qPrintable(QString("fat32 ") + format)) << "demo" << ":p1" << format;
            QTest::newRow(qPrintable(QString("ntfs ") + format)) << "demo" << ":p2" << format;
            QTest::newRow(qPrintable(QString("exfat ") + format)) << "exfat" << "" << format;
        }
    }
    void container_scans_as_its_raw_image()
    {
        QFETCH(QString, kind);
        QFETCH(QString, volume);
        QFETCH(QString, format);
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        QString raw;
        if (kind == "exfat") {
            raw = qEnvironmentVariable("QUARVEL_FIXTURE_DIR") + "/exfat/main.img";
            if (!QFile::exists(raw))
                QSKIP("the exFAT fixtures were not built (exfatprogs missing?)");
        } else {
            QUARVEL_FIXTURE(f, kind.toStdString());
            raw = QString::fromStdString(f.image);
        }
        const QString dir = QString::fromStdString(test_support::make_temp_dir("formats-scan"));
        QString said;
        const QString container = convert(raw, format, dir, &said);
        if (container.isEmpty())
            QSKIP(qPrintable(said));

        const QByteArray rows = run_cli(cli, {"scan", raw + volume});
        QVERIFY2(rows.count('\n') > 1, rows.constData());  // a header and rows
        QCOMPARE(run_cli(cli, {"scan", container + volume}), rows);
        run_cli(cli, {"recover", raw + volume, "--all", "--to", dir + "/from-raw"});
        run_cli(cli, {"recover", container + volume, "--all", "--to", dir + "/from-container"});
        const auto written = files_below(dir + "/from-raw");
        QVERIFY(!written.empty());
        QVERIFY(files_below(dir + "/from-container") == written);
    }

    // The deep scan reads from several threads at once; the libraries'
    // handles are not safe for that unless every read is serialised.
    void reads_from_many_threads_agree()
    {
        QUARVEL_FIXTURE(f, "fat32");
        const QString dir = QString::fromStdString(test_support::make_temp_dir("formats-threads"));
        QString said;
        const QString path = convert(QString::fromStdString(f.image), "E01", dir, &said);
        if (path.isEmpty())
            QSKIP(qPrintable(said));
        const auto disk = platform::open_byte_source(path.toStdString(), nullptr);
        QVERIFY(disk);
        const QByteArray raw = file_bytes(f.image);
        std::atomic<int> wrong{0};
        std::vector<std::thread> readers;
        for (unsigned t = 0; t < 4; ++t)
            readers.emplace_back([&, t] {
                std::mt19937_64 pick(t);
                std::vector<char> buffer(70000);
                for (int i = 0; i < 150; ++i) {
                    const uint64_t at = pick() % (disk->size() - buffer.size());
                    if (disk->read_at(at, buffer.data(), buffer.size()) != int64_t(buffer.size()) ||
                        std::memcmp(buffer.data(), raw.constData() + at, buffer.size()) != 0)
                        ++wrong;
                }
            });
        for (auto& r : readers)
            r.join();
        QCOMPARE(wrong.load(), 0);
    }

    // A set missing a segment, or a container cut short, is refused when it
    // is opened, in one line that names the file; a raw image opens as ever.
    void damaged_container_is_refused_in_one_line_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("damage");
        QTest::newRow("E01 without its last segment") << "E01" << "drop";
        QTest::newRow("E01 cut short") << "E01" << "cut";
        QTest::newRow("vhdx cut short") << "vhdx" << "cut";
        QTest::newRow("vmdk cut short") << "vmdk" << "cut";
        QTest::newRow("vpc cut short") << "vpc" << "cut";
    }
    void damaged_container_is_refused_in_one_line()
    {
        QFETCH(QString, format);
        QFETCH(QString, damage);
        QUARVEL_FIXTURE(f, "fat32");
        const QString dir = QString::fromStdString(test_support::make_temp_dir("formats-damaged"));
        QString said;
        const QString path = convert(QString::fromStdString(f.image), format, dir, &said);
        if (path.isEmpty())
            QSKIP(qPrintable(said));
        if (damage == "drop") {
            QStringList segments = QDir(dir).entryList({"disk.E*"}, QDir::Files, QDir::Name);
            QVERIFY(segments.size() > 2);
            QVERIFY(QFile::remove(dir + "/" + segments.last()));
        } else {
            QFile file(path);
            QVERIFY(file.resize(file.size() * 2 / 3));
        }
        std::string error;
        QVERIFY(!platform::open_byte_source(path.toStdString(), &error));
        QVERIFY2(error.find(path.toStdString()) != std::string::npos, error.c_str());
        QVERIFY2(error.find('\n') == std::string::npos, error.c_str());
        QCOMPARE(platform::open_disk_image(path.toStdString(), &error), -1);
        QVERIFY(platform::drive_table().empty());
    }
};

QTEST_GUILESS_MAIN(tst_image_formats)
#include "tst_image_formats.moc"
