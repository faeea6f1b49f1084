// Container files are hostile input too: a VMDK descriptor is read by us
// before the library sees it (an extent name that leaves the descriptor's
// folder is refused), a single-file VMDK opens whatever it is called now,
// and every container kind opens in one process, each library with its
// own helpers (run it under the asan preset as well).
#include "platform/image_formats.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool write_file(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray read_file(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A 1 MiB raw disk whose every sector starts with its tag.
QByteArray disk_bytes(const QByteArray& tag)
{
    QByteArray bytes(1 << 20, '\0');
    for (int at = 0; at < bytes.size(); at += 512)
        bytes.replace(at, tag.size(), tag);
    return bytes;
}

QByteArray first_sector(const platform::byte_source_ptr& source)
{
    QByteArray sector(512, '\0');
    return source && source->read_at(0, sector.data(), 512) == 512 ? sector : QByteArray();
}

bool have(const char* tool) { return !QStandardPaths::findExecutable(tool).isEmpty(); }

}  // namespace

class tst_container_safety : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;

    QString raw(const QString& name, const QByteArray& tag)
    {
        const QString path = tmp_.path() + "/" + name;
        return write_file(path, disk_bytes(tag)) ? path : QString();
    }

private slots:
    // Extent names with a slash, "..", an absolute path or a control
    // character are refused with the reason, before the library reads them.
    void descriptor_extent_names_stay_beside_it()
    {
        if (!have("qemu-img"))
            QSKIP("qemu-img is not installed");
        const QString dir = tmp_.path();
        const QString source = raw("flat.raw", "FLATDISK");
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=monolithicFlat", source,
                                 dir + "/flat.vmdk"}));
        const QByteArray descriptor = read_file(dir + "/flat.vmdk");
        QVERIFY(descriptor.contains("\"flat-flat.vmdk\""));
        std::string error;
        QCOMPARE(first_sector(platform::open_vmdk_image((dir + "/flat.vmdk").toStdString(), &error)).left(8),
                 QByteArray("FLATDISK"));
        QVERIFY(QDir().mkpath(dir + "/sub"));
        QVERIFY(QFile::copy(dir + "/flat-flat.vmdk", dir + "/sub/flat-flat.vmdk"));
        for (const QByteArray& name : {QByteArray("sub/flat-flat.vmdk"), QByteArray("../flat-flat.vmdk"),
                                       QByteArray("/etc/passwd"), QByteArray("flat\x1b-flat.vmdk"), QByteArray("..")}) {
            QByteArray bad = descriptor;
            bad.replace("\"flat-flat.vmdk\"", "\"" + name + "\"");
            QVERIFY(write_file(dir + "/bad.vmdk", bad));
            error.clear();
            QVERIFY(!platform::open_vmdk_image((dir + "/bad.vmdk").toStdString(), &error));
            QVERIFY2(error.find("extent name") != std::string::npos, error.c_str());
        }
        // A name beside it that is a link is not followed.
        QVERIFY(QFile::link(dir + "/sub/flat-flat.vmdk", dir + "/linked-flat.vmdk"));
        QByteArray linked = descriptor;
        linked.replace("\"flat-flat.vmdk\"", "\"linked-flat.vmdk\"");
        QVERIFY(write_file(dir + "/linked.vmdk", linked));
        QVERIFY(!platform::open_vmdk_image((dir + "/linked.vmdk").toStdString(), &error));
        QVERIFY2(error.find("link") != std::string::npos, error.c_str());
    }

    // A single-file VMDK renamed opens itself, not the file of its old
    // name beside it, nor fails for want of it.
    void a_renamed_single_file_vmdk_opens_itself()
    {
        if (!have("qemu-img"))
            QSKIP("qemu-img is not installed");
        const QString dir = tmp_.path();
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", raw("mine.raw", "MINEDISK"), dir + "/fat.vmdk"}));
        QVERIFY(QFile::rename(dir + "/fat.vmdk", dir + "/copy.vmdk"));
        std::string error;
        QCOMPARE(first_sector(platform::open_vmdk_image((dir + "/copy.vmdk").toStdString(), &error)).left(8),
                 QByteArray("MINEDISK"));
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", raw("other.raw", "OTHERDSK"), dir + "/fat.vmdk"}));
        QCOMPARE(first_sector(platform::open_vmdk_image((dir + "/copy.vmdk").toStdString(), &error)).left(8),
                 QByteArray("MINEDISK"));
    }

    // E01, VHD, VHDX and VMDK (single file and split into extents) open one
    // after another, and again, in one process.
    void every_container_kind_in_one_process()
    {
        if (!have("qemu-img") || !have("ewfacquire"))
            QSKIP("qemu-img and ewfacquire are needed");
        const QString dir = tmp_.path() + "/all";
        QVERIFY(QDir().mkpath(dir));
        const QString source = raw("all.raw", "ALLDISKS");
        QStringList made;
        QVERIFY(run("ewfacquire", {"-u", "-q", "-t", dir + "/disk", "-S", "1MiB", "-c", "none", source}));
        made << dir + "/disk.E01";
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vpc", "-o", "subformat=dynamic,force_size=on", source,
                                 dir + "/disk.vhd"}));
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vhdx", source, dir + "/disk.vhdx"}));
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", source, dir + "/disk.vmdk"}));
        QVERIFY(run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", source,
                                 dir + "/split.vmdk"}));
        made << dir + "/disk.vhd" << dir + "/disk.vhdx" << dir + "/disk.vmdk" << dir + "/split.vmdk";
        std::vector<platform::byte_source_ptr> open;
        for (int round = 0; round < 2; ++round) {
            for (const QString& path : made) {
                std::string error;
                platform::byte_source_ptr s = platform::open_container(path.toStdString(), &error);
                QVERIFY2(s, (path + ": " + QString::fromStdString(error)).toLocal8Bit().constData());
                QCOMPARE(first_sector(s).left(8), QByteArray("ALLDISKS"));
                open.push_back(std::move(s));
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_container_safety)
#include "tst_container_safety.moc"
