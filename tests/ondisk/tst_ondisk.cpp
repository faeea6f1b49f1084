// The shared decoders on boot sectors written by the real tools (mkfs.fat,
// mkntfs), and on the bytes a damaged or foreign sector holds.
#include "ondisk/fat_boot_sector.h"
#include "ondisk/ntfs_boot_sector.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Formats a new image of size bytes with program and args (the image path
// last); returns its first sectors, or empty when the tool is missing.
QByteArray formatted(const QString& dir, const QString& program, QStringList args, qint64 size)
{
    const QString tool = QStandardPaths::findExecutable(program, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    if (tool.isEmpty())
        return {};
    const QString image = dir + "/" + program + args.join("").remove(' ') + ".img";
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(size))
        return {};
    f.close();
    if (QProcess::execute(tool, args << image) != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    return f.read(4096);
}

const uint8_t* bytes(const QByteArray& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

}  // namespace

class tst_ondisk : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;

private slots:
    void fat_boot_sectors_and_fsinfo()
    {
        const QByteArray fat32 = formatted(tmp_.path(), "mkfs.fat", {"-F", "32", "-s", "8", "-f", "1"}, 64 << 20);
        const QByteArray fat16 = formatted(tmp_.path(), "mkfs.fat", {"-F", "16", "-s", "4"}, 16 << 20);
        if (fat32.isEmpty() || fat16.isEmpty())
            QSKIP("mkfs.fat is not installed");
        const ondisk::fat_boot_sector_s b32 = ondisk::decode_fat_boot_sector(bytes(fat32));
        QVERIFY(b32.signature && b32.fat_label32 && b32.fat32_label && !b32.fat_label16);
        QCOMPARE(b32.bytes_per_sector, uint16_t(512));
        QCOMPARE(b32.sectors_per_cluster, uint8_t(8));
        QCOMPARE(b32.fat_count, uint8_t(1));
        QCOMPARE(b32.root_entries, uint16_t(0));
        QCOMPARE(b32.total_sectors, uint32_t(64 << 11));  // the 16-bit count is 0: the 32-bit one
        QCOMPARE(b32.fat_sectors, b32.fat_sectors32);
        QCOMPARE(b32.root_cluster, 2u);
        QCOMPARE(b32.fsinfo_sector, uint16_t(1));
        QCOMPARE(b32.backup_boot, uint16_t(6));
        QCOMPARE(b32.ext_flags & 0x80, 0);  // the FATs are mirrored
        const ondisk::fsinfo_s info = ondisk::decode_fsinfo(bytes(fat32) + 512 * b32.fsinfo_sector);
        QVERIFY(info.valid);
        QVERIFY(info.free_clusters > 0 && info.free_clusters < b32.total_sectors / 8);

        const ondisk::fat_boot_sector_s b16 = ondisk::decode_fat_boot_sector(bytes(fat16));
        QVERIFY(b16.signature && b16.fat_label16 && !b16.fat32_label);
        QCOMPARE(b16.sectors_per_cluster, uint8_t(4));
        QCOMPARE(b16.root_entries, uint16_t(512));
        QCOMPARE(b16.total_sectors, uint32_t(16 << 11));  // the 16-bit count stands
        QVERIFY(b16.fat_sectors > 0 && b16.fat_sectors32 != b16.fat_sectors);

        // A broken trail signature, or a boot sector in its place: not FSInfo.
        QByteArray torn = fat32.mid(512 * b32.fsinfo_sector, 512);
        torn[508] = 1;
        QVERIFY(!ondisk::decode_fsinfo(bytes(torn)).valid);
        QVERIFY(!ondisk::decode_fsinfo(bytes(fat32)).valid);
        QVERIFY(!ondisk::has_boot_signature(bytes(QByteArray(512, 0))));
    }

    void ntfs_boot_sector()
    {
        const QByteArray ntfs = formatted(tmp_.path(), "mkntfs", {"-q", "-F", "-f", "-s", "512", "-c", "4096"}, 32 << 20);
        if (ntfs.isEmpty())
            QSKIP("mkntfs is not installed");
        const ondisk::ntfs_boot_sector_s b = ondisk::decode_ntfs_boot_sector(bytes(ntfs));
        QVERIFY(b.signature && b.ntfs_oem_id);
        QCOMPARE(b.bytes_per_sector, uint16_t(512));
        QCOMPARE(b.sectors_per_cluster, uint8_t(8));
        QCOMPARE(b.total_sectors, uint64_t((32 << 11) - 1));  // the backup boot sector is left out
        QCOMPARE(b.clusters_per_record, int8_t(-10));       // 1,024-byte records
        QVERIFY(b.mft_lcn > 0 && b.mftmirr_lcn > 0 && b.mft_lcn != b.mftmirr_lcn);
        // A FAT boot sector is no NTFS one.
        const QByteArray fat = formatted(tmp_.path(), "mkfs.fat", {"-F", "16"}, 16 << 20);
        if (!fat.isEmpty())
            QVERIFY(!ondisk::decode_ntfs_boot_sector(bytes(fat)).ntfs_oem_id);
    }
};

QTEST_GUILESS_MAIN(tst_ondisk)
#include "tst_ondisk.moc"
