// quarvel-cli's deep scan end to end: recover everything with a scan file,
// load the scan file again, and the one-line refusals.
#include "carve/carve_samples.h"
#include "support/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <set>
#include <sys/stat.h>

using namespace carve_test;

namespace {

struct run_s {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

run_s cli(const QStringList& args, int timeout_ms = 300000)
{
    QProcess p;
    p.start(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli", args);
    run_s r;
    if (!p.waitForFinished(timeout_ms))
        return r;
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

std::set<QByteArray> contents_of(const QString& folder)
{
    std::set<QByteArray> all;
    // Carved files of several kinds come back in a folder per kind.
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            all.insert(f.readAll());
    }
    return all;
}

}  // namespace

class tst_carve_cli : public QObject {
    Q_OBJECT

    QString dir_;

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("carve-cli"));
        QVERIFY(!dir_.isEmpty());
    }

    void recover_save_and_load()
    {
        std::vector<sample_s> samples;
        QString reason;
        if (!make_samples(dir_ + "/samples", &samples, &reason))
            QSKIP(qPrintable(reason));
        const QString image = dir_ + "/card.img";
        const auto planted = write_image(image, samples, background::random, false, 3);
        QVERIFY(!planted.empty());
        std::set<QByteArray> expected;
        for (const auto& p : planted)
            expected.insert(p.bytes);

        const QString sav = dir_ + "/scan.sav";
        const run_s recovered = cli({"recover", image, "--deep", "--all", "--to", dir_ + "/out", "--save", sav});
        QVERIFY2(recovered.code == 0, recovered.err.constData());
        QCOMPARE(contents_of(dir_ + "/out"), expected);

        const run_s scanned = cli({"--json", "scan", image, "--deep"});
        QCOMPARE(scanned.code, 0);
        QCOMPARE(scanned.out.count('\n'), qsizetype(planted.size()));
        const run_s loaded = cli({"--image", image, "--json", "load", sav});
        QVERIFY2(loaded.code == 0, loaded.err.constData());
        QCOMPARE(loaded.out, scanned.out);

        const run_s again = cli({"--image", image, "load", sav, "--to", dir_ + "/again", "--all"});
        QVERIFY2(again.code == 0, again.err.constData());
        QCOMPARE(contents_of(dir_ + "/again"), expected);

        // The scanned image is gone: the scan file names no present device.
        QVERIFY(QFile::rename(image, image + ".moved"));
        const run_s missing = cli({"load", sav});
        QCOMPARE(missing.code, 1);
        QCOMPARE(missing.err.count('\n'), qsizetype(1));
        QVERIFY(missing.err.contains("not connected now"));
    }

    // A deleted file on a real FAT32 partition of a partitioned image comes
    // back from the deep scan of that partition, byte for byte.
    void deleted_file_on_a_fat_partition()
    {
        for (const char* tool : {"sfdisk", "mkfs.fat", "mcopy", "mdel"})
            if (QStandardPaths::findExecutable(tool).isEmpty() &&
                QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        std::vector<sample_s> samples;
        QString reason;
        if (!make_samples(dir_ + "/fat-samples", &samples, &reason))
            QSKIP(qPrintable(reason));
        const QString image = dir_ + "/fat.img";
        auto sh = [](const QString& command) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("MTOOLS_SKIP_CHECK", "1");
            env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
            p.setProcessEnvironment(env);
            p.start("sh", {"-c", command});
            p.waitForFinished(60000);
            return p.exitCode() == 0 ? QByteArray() : p.readAll() + " ";
        };
        const QString png = dir_ + "/fat-samples/sample.png";
        const QString docx = dir_ + "/fat-samples/sample.docx";
        QCOMPARE(sh(QString("truncate -s 40M '%1' && printf 'label: dos\\n2048,,c\\n' | sfdisk -q '%1' && "
                            "mkfs.fat -F 32 --offset 2048 '%1' >/dev/null && mcopy -i '%1'@@1M '%2' ::/a.png && "
                            "mcopy -i '%1'@@1M '%3' ::/b.docx && mdel -i '%1'@@1M ::/a.png")
                        .arg(image, png, docx)),
                 QByteArray());
        const run_s r = cli({"recover", image + ":p1", "--deep", "--all", "--to", dir_ + "/fat-out"});
        QVERIFY2(r.code == 0, r.err.constData());
        std::set<QByteArray> expected;
        for (const auto& path : {png, docx}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            expected.insert(f.readAll());
        }
        QCOMPARE(contents_of(dir_ + "/fat-out"), expected);
    }

    // Nothing is written onto the scanned image, and a scan file cannot make
    // the program read anything but a volume it offers, named exactly.
    void source_protection_and_hostile_scan_files()
    {
        const QString image = dir_ + "/source.img";
        QByteArray bytes(1 << 20, '\0');
        bytes.replace(4096, 10, "keep this!");
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        const QString fifo = dir_ + "/pipe";
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const auto onto = [&](const QString& save, const char* expected) {
            const run_s r = cli({"recover", image, "--deep", "--all", "--to", dir_ + "/safe", "--save", save}, 20000);
            return r.code == 1 && r.err.contains(expected) && r.err.count('\n') == 1;
        };
        QVERIFY(onto(image, "scanned disk image itself"));
        QVERIFY(onto(fifo, "not a regular file"));
        QVERIFY(!cli({"recover", image, "--deep", "--all", "--to", image}).err.isEmpty());
        QFile again(image);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), bytes);

        const QByteArray volume = QFile::encodeName(QFileInfo(image).canonicalFilePath()) + ":p0";
        const QString secret = dir_ + "/secret";
        QFile s(secret);
        QVERIFY(s.open(QIODevice::WriteOnly) && s.write("top secret") == 10);
        s.close();
        QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner);
        const QString sav = dir_ + "/hostile.sav";
        const auto load = [&](const QByteArray& device, qint64 length) {
            QFile h(sav);
            if (!h.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return run_s{};
            QByteArray file = device;
            file.resize(256, '\0');
            file += QByteArray::fromHex("0000000000000000" "0000000000000000" "0a00000000000000") + QByteArray("txt\0\0\0\0\0", 8);
            h.write(file);
            h.resize(length);
            h.close();
            return cli({"--image", image, "load", sav, "--to", dir_ + "/leak", "--all"}, 20000);
        };
        // Another file, a prefix of the volume's name, the image's bare path.
        for (const QByteArray& device : {QFile::encodeName(secret), volume.left(volume.size() - 1),
                                         volume.left(volume.size() - 3)}) {
            const run_s r = load(device, 288);
            QCOMPARE(r.code, 1);
            QVERIFY2(r.err.contains("not connected now"), r.err.constData());
        }
        QVERIFY(!QFileInfo::exists(dir_ + "/leak"));
        QCOMPARE(load(volume, 288).code, 0);  // the exact name is taken
        const run_s huge = load(volume, (qint64(1) << 30) + 256);
        QCOMPARE(huge.code, 1);
        QVERIFY2(huge.err.contains("more records"), huge.err.constData());
        const run_s piped = cli({"--image", image, "load", fifo}, 20000);
        QCOMPARE(piped.code, 1);
        QVERIFY(piped.err.contains("not a regular file"));
    }

    // Plain text is carved only when asked for, and only the types asked.
    void text_only_when_asked()
    {
        QByteArray csv;
        for (int row = 0; row < 12; ++row)
            csv += QByteArray("2026-03-") + QByteArray::number(10 + row) + ",groceries," + QByteArray::number(row * 7) + ".50\n";
        QByteArray bytes(1 << 20, '\0');
        bytes.replace(64 * 512, csv.size(), csv);
        const QString image = dir_ + "/text.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        const auto rows = [&](const QStringList& options) {
            const run_s r = cli(QStringList{"--json", "scan", image, "--deep"} + options, 60000);
            return r.code == 0 ? r.out.count("\"folder\"") : -1;
        };
        QCOMPARE(rows({}), 0);
        QCOMPARE(rows({"--text", "txt,html"}), 0);
        QCOMPARE(rows({"--text", "TXT,csv"}), 1);
        // A bare --text before the volume asks for every text type.
        const run_s all = cli({"recover", "--deep", "--text", image, "--all", "--to", dir_ + "/text-out"}, 60000);
        QVERIFY2(all.code == 0, all.err.constData());
        QCOMPARE(contents_of(dir_ + "/text-out"), std::set<QByteArray>{csv});

        const run_s unknown = cli({"scan", image, "--deep", "--text", "txt,cvs"});
        QCOMPARE(unknown.code, 2);
        QVERIFY2(unknown.err.contains("\"cvs\" is not a text type (the text types are txt, csv"), unknown.err.constData());
        const run_s shallow = cli({"scan", image, "--text"});
        QCOMPARE(shallow.code, 2);
        QVERIFY(shallow.err.contains("needs --deep"));
    }

    void refusals()
    {
        QFile bad(dir_ + "/bad.sav");
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray(300, 'x'));
        bad.close();
        const run_s wrong_length = cli({"load", dir_ + "/bad.sav"});
        QCOMPARE(wrong_length.code, 1);
        QCOMPARE(wrong_length.err.count('\n'), qsizetype(1));
        QCOMPARE(cli({"load"}).code, 2);
        QCOMPARE(cli({"load", dir_ + "/bad.sav", "--all"}).code, 2);
        const run_s no_file = cli({"load", dir_ + "/none.sav"});
        QCOMPARE(no_file.code, 1);
        QVERIFY(no_file.err.contains("no such file"));
        // Nothing found: no scan file is written, and that is said.
        QFile empty(dir_ + "/empty.img");
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.write(QByteArray(1 << 20, '\0'));
        empty.close();
        const run_s nothing = cli({"recover", dir_ + "/empty.img", "--deep", "--all", "--to", dir_ + "/none",
                                   "--save", dir_ + "/none.sav"});
        QCOMPARE(nothing.code, 0);
        QVERIFY(nothing.err.contains("no scan file written"));
        QVERIFY(!QFile::exists(dir_ + "/none.sav"));
    }
};

QTEST_GUILESS_MAIN(tst_carve_cli)
#include "tst_carve_cli.moc"
