// What a recovery writes can never land on what it scans, nor multiply it:
// a mount point below the destination is not written through, and a scan
// file whose records overlap or add up past the volume is refused, as is a
// selection of carved rows larger than the volume.
#include "ondisk/gpt.h"
#include "platform/drive_table.h"
#include "scan/raw/scan_file.h"
#include "scan/scan_service.h"
#include "support/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <unistd.h>

namespace {

bool run(const QString& command, QByteArray* err = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
    env.insert("MTOOLS_SKIP_CHECK", "1");
    p.setProcessEnvironment(env);
    p.start("sh", {"-c", command});
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (err)
        *err = p.readAllStandardError();
    return ok;
}

bool have(const char* tool)
{
    return !QStandardPaths::findExecutable(tool).isEmpty() ||
           !QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty();
}

std::string record(int64_t index, int64_t offset, int64_t size)
{
    std::string r(32, '\0');
    for (int i = 0; i < 8; ++i) {
        r[size_t(i)] = char(uint64_t(index) >> (8 * i));
        r[size_t(8 + i)] = char(uint64_t(offset) >> (8 * i));
        r[size_t(16 + i)] = char(uint64_t(size) >> (8 * i));
    }
    std::memcpy(r.data() + 24, "jpg", 3);
    return r;
}

// A real PNG, 64 x 64 grey pixels of a pattern.
QByteArray png_bytes()
{
    const auto chunk = [](const char* type, const QByteArray& data) {
        QByteArray body = QByteArray(type, 4) + data;
        const auto word = [](quint32 v) {
            QByteArray w(4, '\0');
            for (int i = 0; i < 4; ++i)
                w[i] = char(v >> (24 - 8 * i));
            return w;
        };
        return word(quint32(data.size())) + body +
               word(ondisk::crc32(reinterpret_cast<const uint8_t*>(body.data()), size_t(body.size())));
    };
    QByteArray header("\0\0\0\x40\0\0\0\x40\x08\0\0\0\0", 13);
    QByteArray pixels;
    for (int y = 0; y < 64; ++y) {
        pixels += char(0);
        for (int x = 0; x < 64; ++x)
            pixels += char((x * 7 + y * 13) & 0xff);
    }
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", qCompress(pixels).mid(4)) +
           chunk("IEND", {});
}

QStringList files_below(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next().mid(folder.size() + 1);
    found.sort();
    return found;
}

}  // namespace

class tst_write_safety : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;

private slots:
    // A card mounted at the very folder a recovery would write its carved
    // PNGs into: they go into "png (2)" beside it, the person is told, and
    // not one byte of the mounted card changes.
    void a_mount_point_below_the_destination_is_not_entered()
    {
        if (::geteuid() != 0 || !have("losetup") || !have("mkfs.ext2"))
            QSKIP("needs root, losetup and mkfs.ext2 for a loop mount below the destination");
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString dir = tmp_.path();
        const QString tool = qEnvironmentVariable("QUARVEL_SOURCE_DIR") + "/tests/fixtures/fixture_tool.py";
        // The card's file system only holds the files the deep scan carves.
        QVERIFY(QDir().mkpath(dir + "/files"));
        QFile png(dir + "/files/a.png");
        QVERIFY(png.open(QIODevice::WriteOnly) && png.write(png_bytes()) > 0);
        png.close();
        QVERIFY(run(QString("python3 '%2' gen pdf mount-b 30000 '%1/files/b.pdf' && truncate -s 8M '%1/card.img' && "
                            "mkfs.ext2 -q -b 4096 -d '%1/files' '%1/card.img'")
                        .arg(dir, tool)));
        QVERIFY(QDir().mkpath(dir + "/out/png"));
        if (!run(QString("mount -o loop,noatime '%1/card.img' '%1/out/png'").arg(dir)))
            QSKIP("a loop mount could not be made here");
        // Mounting writes the superblock: the image is measured once it is mounted.
        run("sync");
        const std::string before = test_support::sha256_of_file((dir + "/card.img").toStdString());
        const QStringList on_card = files_below(dir + "/out/png");
        QProcess p;
        p.start(cli, {"--image", dir + "/card.img", "recover", dir + "/card.img", "--deep", "--all", "--to",
                      dir + "/out"});
        const bool finished = p.waitForFinished(120000);
        const QByteArray err = p.readAllStandardError();
        const QStringList after_on_card = files_below(dir + "/out/png");
        run("sync");
        const std::string after = test_support::sha256_of_file((dir + "/card.img").toStdString());
        run(QString("umount '%1/out/png'").arg(dir));
        QVERIFY(finished);
        QVERIFY2(p.exitCode() == 0, err.constData());
        QCOMPARE(after_on_card, on_card);
        QCOMPARE(after, before);
        QVERIFY2(err.contains("mount point") && err.contains("png (2)"), err.constData());
        QCOMPARE(QDir(dir + "/out/png (2)").entryList(QDir::Files).size(), 1);
        QCOMPARE(QDir(dir + "/out/pdf").entryList(QDir::Files).size(), 1);
    }

    // 200 records of the whole volume in a 6.6 KB file would have a
    // recovery write the volume 200 times; overlapping records and a total
    // past the volume are each refused, naming the record.
    void a_scan_file_that_multiplies_the_volume_is_refused()
    {
        const std::string device = "/dev/test-volume";
        const uint64_t volume = 1 << 20;
        const auto size_of = [&](const std::string& path, uint64_t* size) {
            *size = volume;
            return path == device;
        };
        const auto load = [&](const std::string& name, const std::string& records) {
            std::string bytes = device;
            bytes.resize(scan_file_header_bytes, '\0');
            bytes += records;
            const std::string path = tmp_.path().toStdString() + "/" + name;
            QFile f(QString::fromStdString(path));
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()))
                return std::string("not written");
            f.close();
            scan_file_contents_s contents;
            return read_scan_file(path, size_of, &contents);
        };
        std::string whole;
        for (int i = 0; i < 200; ++i)
            whole += record(i, 0, int64_t(volume));
        QVERIFY(load("whole.sav", whole).find("record 1 brings the files' total past") != std::string::npos);
        const std::string overlap = record(0, 0, 4096) + record(1, 8192, 4096) + record(2, 12000, 100);
        QVERIFY(load("overlap.sav", overlap).find("record 2 shares bytes") != std::string::npos);
        // Files side by side, and a header cut by the volume's end with a
        // file inside what it claims (the carving engine reports both).
        const std::string sound =
            record(0, 0, 4096) + record(1, 4096, 4096) + record(2, 900000, int64_t(volume) - 900000) +
            record(3, 950000, 2000);
        QCOMPARE(load("sound.sav", sound), std::string());
    }

    // A row the window's table lists several times is written as often as
    // it is listed, but not when that adds up to more than the volume the
    // rows were carved from.
    void carved_rows_past_the_volume_are_not_written()
    {
        QUARVEL_FIXTURE(f, "carve");
        scan_service_c service;
        QCOMPARE(platform::open_disk_image(f.image), 0);
        volume_item_s volume;
        volume.device_path = QString::fromStdString(f.image) + ":p0";
        volume.total_bytes = uint64_t(QFileInfo(QString::fromStdString(f.image)).size());
        QString reason;
        QVERIFY2(service.scan_to_end(volume, true, &reason) == 0, qPrintable(reason));
        std::vector<recovery_item_s> rows;
        recovery_base_c& scanner = service.scanner();
        const void* top = nullptr;
        QVERIFY(scanner.top_folder(&top));
        std::vector<result_folder_s> kinds;
        scanner.sub_folders(top, &kinds);
        recovery_item_s biggest;
        for (const auto& kind : kinds) {
            std::vector<recovery_item_s> of_kind;
            scanner.folder_rows(kind.node, &of_kind);
            for (const auto& row : of_kind)
                if (row.size > biggest.size)
                    biggest = row;
        }
        QVERIFY(biggest.size > 0);
        biggest.checked = 1;
        const auto image_size = int64_t(volume.total_bytes);
        rows.assign(size_t(image_size / biggest.size + 1), biggest);
        QTemporaryDir out;
        QSignalSpy finished(&service.writer(), &QThread::finished);
        QCOMPARE(service.start_recovery(QDir(out.path()), rows), 0);
        QVERIFY(finished.wait(60000) || finished.size() == 1);
        QCOMPARE(service.writer().tally().written, 0);
        QVERIFY(service.writer().job_outcome().reason.contains("add up to"));
        QVERIFY(files_below(out.path()).isEmpty());
        // Once is fine.
        rows.resize(1);
        QCOMPARE(service.start_recovery(QDir(out.path()), rows), 0);
        QVERIFY(finished.wait(60000) || finished.size() == 2);
        QCOMPARE(service.writer().tally().written, 1);
    }
};

QTEST_GUILESS_MAIN(tst_write_safety)
#include "tst_write_safety.moc"
