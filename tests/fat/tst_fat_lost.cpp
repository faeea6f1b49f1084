// Folders no walk reaches, found by the search of the whole data area: a
// quick-formatted camera card and a deleted folder whose second cluster lies
// far from its first (both made by mkfs.fat and mtools), file data that must
// not pass for a folder, and folders tied together by their ".." entries.
#include "fat_image.h"

#include "engines/fat/fat_harvest.h"
#include "platform/drive_table.h"
#include "scan/fat/fat_recovery.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <map>

namespace {

bool scan(fat_recovery_c& scanner, const volume_item_s& volume, lost_pass_e mode)
{
    scanner.reset();
    scanner.set_lost_pass(mode);
    scanner.set_volume(volume);
    scanner.start();
    return scanner.wait(120000);
}

volume_item_s image_volume(const QString& path)
{
    platform::open_disk_image(path.toStdString());
    volume_item_s v;
    v.device_path = path + ":p0";
    v.root_path = v.device_path + "/";
    v.file_system = "FAT32";
    v.disk_number = platform::drive_number_of(path.toStdString());
    return v;
}

// sha256 -> name of every photo the builder wrote.
std::map<QByteArray, QString> manifest(const QString& path)
{
    std::map<QByteArray, QString> out;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray& line : f.readAll().split('\n'))
            if (const QList<QByteArray> w = line.split(' '); w.size() == 3)
                out[w[0]] = QString::fromLatin1(w[2]);
    return out;
}

// Folder and name of every shown file, by the sha256 of its copy.
std::map<QByteArray, std::pair<QString, QString>> recovered(fat_recovery_c& scanner, const QString& dir)
{
    std::map<QByteArray, std::pair<QString, QString>> out;
    int n = 0;
    scanner.visit_shown_files([&](const fat_node_s& node, const QString& folder) {
        const QString target = QDir(dir).filePath(QString::number(++n));
        if (scanner.recover_file(node.cluster, target) != 0)
            return;
        QFile f(target);
        f.open(QIODevice::ReadOnly);
        out[QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()] = {folder, node.name};
    });
    return out;
}

QByteArray noise(int size, uint32_t seed)
{
    QByteArray data(size, 0);
    uint32_t x = 2463534242u + seed;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

void put_dots(fat_image_c& image, uint32_t folder, uint32_t parent)
{
    fat_image_c::put_short(image.entry(folder, 0), ".          ", fat_attr_directory, folder, 0);
    fat_image_c::put_short(image.entry(folder, 1), "..         ", fat_attr_directory, parent, 0);
}

}  // namespace

class tst_fat_lost : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    bool cards_ = false;

private slots:
    void initTestCase()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
        QProcess builder;
        builder.start("bash", {QString(qgetenv("QUARVEL_SOURCE_DIR")) + "/bench/fat/make_lost_images.sh", tmp_.path(),
                               "90", "64"});
        cards_ = builder.waitForFinished(120000) && builder.exitStatus() == QProcess::NormalExit &&
                 builder.exitCode() == 0;
        if (!cards_)
            qWarning() << "cards not built:" << builder.readAllStandardError();
    }

    void formatted_card_lists_its_photos_by_name_in_their_folder()
    {
        if (!cards_)
            QSKIP("make_lost_images.sh could not run (mkfs.fat, mtools or python3 missing)");
        fat_recovery_c scanner;
        QVERIFY(scan(scanner, image_volume(tmp_.filePath("formatted.img")), lost_pass_e::automatic));
        QVERIFY(scanner.outcome().formatted);
        QVERIFY(scanner.notice_key() != nullptr);
        const auto written = manifest(tmp_.filePath("formatted.txt"));
        QCOMPARE(int(written.size()), 90);
        QTemporaryDir out;
        const auto got = recovered(scanner, out.path());
        for (const auto& [sha, name] : written) {
            const auto it = got.find(sha);
            QVERIFY2(it != got.end(), qPrintable(name));
            QCOMPARE(it->second.second, name);
            QCOMPARE(it->second.first, QString("/Lost folders/Folder at cluster 3/100NIKON"));
        }
    }

    void deleted_folder_whose_second_cluster_lies_far_away()
    {
        if (!cards_)
            QSKIP("make_lost_images.sh could not run (mkfs.fat, mtools or python3 missing)");
        const volume_item_s card = image_volume(tmp_.filePath("lostsecond.img"));
        const auto written = manifest(tmp_.filePath("lostsecond.txt"));
        fat_recovery_c walk_only;
        QVERIFY(scan(walk_only, card, lost_pass_e::off));
        QTemporaryDir first;
        QVERIFY(recovered(walk_only, first.path()).size() < written.size());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, card, lost_pass_e::automatic));
        QVERIFY(scanner.outcome().lost_pass_run);
        QTemporaryDir out;
        const auto got = recovered(scanner, out.path());
        for (const auto& [sha, name] : written) {
            const auto it = got.find(sha);
            QVERIFY2(it != got.end(), qPrintable(name));
            // FAT keeps no first letter of a deleted short name.
            QCOMPARE(it->second.second.mid(1), name.mid(1));
            QCOMPARE(it->second.first, QString("/DCIM/#00CANON"));
        }
    }

    void file_data_is_not_taken_for_a_folder()
    {
        fat_image_c image(16, 5000, 1);
        const QByteArray text = QByteArray("Dear diary, today the card was formatted by mistake. ").repeated(10).left(512);
        QByteArray jpeg = noise(512, 7);
        jpeg.replace(0, 4, QByteArray("\xFF\xD8\xFF\xE0", 4));
        std::memcpy(image.cluster(40), text.constData(), 512);
        std::memcpy(image.cluster(41), jpeg.constData(), 512);
        // Text laid out on 32-byte lines, every slot starting with a letter.
        for (int i = 0; i < 16; ++i)
            std::memcpy(image.cluster(42) + i * 32, "NOTES   TXT this line is 32 b.\r\n", 32);
        put_dots(image, 50, 0);
        fat_image_c::put_short(image.entry(50, 2), "PHOTO   JPG", 0x20, 41, 512);

        fat_volume_s fs;
        fs.fs_type = fat_16;
        fs.cluster_size = 1;
        fs.fat_entries = 5002;
        for (const uint32_t c : {40u, 41u, 42u})
            QCOMPARE(int(fat_harvest_classify(&fs, c, image.cluster(c), 512).kind), int(fat_harvest_kind_e::none));
        QCOMPARE(int(fat_harvest_classify(&fs, 50, image.cluster(50), 512).kind), int(fat_harvest_kind_e::first));
        // A "." that names another cluster is a copy, not this folder.
        QCOMPARE(int(fat_harvest_classify(&fs, 51, image.cluster(50), 512).kind), int(fat_harvest_kind_e::none));

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, image.save(tmp_.path(), "data.img"), lost_pass_e::on));
        QCOMPARE(scanner.outcome().lost_folders, int64_t(1));
        QVERIFY(!scanner.node(40) && !scanner.node(42));
        QVERIFY(scanner.node(41) && scanner.node(41)->parent == 50);
        QVERIFY(!(scanner.node(41)->attributes & fat_attr_directory));
    }

    void harvested_folders_link_by_their_dot_dot_entries()
    {
        // A (cluster 10, under the old root) holds A.TXT and the entry of
        // CAMERA (30); B (20) names A only by its "..". Nothing names B.
        fat_image_c image(16, 5000, 1);
        put_dots(image, 10, 0);
        fat_image_c::put_short(image.entry(10, 2), "A       TXT", 0x20, 11, 100);
        fat_image_c::put_short(image.entry(10, 3), "CAMERA     ", fat_attr_directory, 30, 0);
        put_dots(image, 20, 10);
        fat_image_c::put_short(image.entry(20, 2), "B       TXT", 0x20, 21, 100);
        put_dots(image, 30, 10);
        fat_image_c::put_short(image.entry(30, 2), "C       TXT", 0x20, 31, 100);
        // A hostile pair naming each other through ".." must not hide or hang.
        put_dots(image, 60, 61);
        fat_image_c::put_short(image.entry(60, 2), "D       TXT", 0x20, 62, 100);
        put_dots(image, 61, 60);
        for (const uint32_t c : {11u, 21u, 31u, 62u})
            std::memcpy(image.cluster(c), noise(100, c).constData(), 100);

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, image.save(tmp_.path(), "dotdot.img"), lost_pass_e::on));
        std::map<QString, QString> folder_of;
        scanner.visit_shown_files([&](const fat_node_s& n, const QString& folder) { folder_of[n.name] = folder; });
        QCOMPARE(folder_of["A.TXT"], QString("/Lost folders/Folder at cluster 10"));
        QCOMPARE(folder_of["B.TXT"], QString("/Lost folders/Folder at cluster 10/Folder at cluster 20"));
        QCOMPARE(folder_of["C.TXT"], QString("/Lost folders/Folder at cluster 10/CAMERA"));
        QCOMPARE(folder_of["D.TXT"], QString("/Lost folders/Folder at cluster 61/Folder at cluster 60"));
        QString path;
        QCOMPARE(scanner.get_full_path(21, &path), 0);
        QVERIFY(path.endsWith("/Lost folders/Folder at cluster 10/Folder at cluster 20/B.TXT"));
    }
};

QTEST_GUILESS_MAIN(tst_fat_lost)
#include "tst_fat_lost.moc"
