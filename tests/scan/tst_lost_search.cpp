// The search for lost folders as a pass after the listing, on a camera card
// quick-formatted over its photos (mkfs.fat and mtools): the listing comes
// first without it, the pass grows it by the photos with their names, a
// stopped pass leaves the listing as it was, and quarvel-cli prints the
// pass's rows after the listing's.
#include "platform/drive_table.h"
#include "scan/scan_service.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <set>

namespace {

volume_item_s card_volume(const QString& path)
{
    platform::open_disk_image(path.toStdString());
    volume_item_s v;
    v.device_path = path + ":p0";
    v.root_path = v.device_path + "/";
    v.file_system = "FAT32";
    v.disk_number = platform::drive_number_of(path.toStdString());
    return v;
}

int lost_rows(const std::vector<found_row_s>& rows)
{
    int n = 0;
    for (const found_row_s& r : rows)
        n += r.folder.startsWith(QLatin1String("/Lost folders/")) && r.item.name.endsWith(QLatin1String(".JPG"));
    return n;
}

}  // namespace

class tst_lost_search : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    QString card_;

private slots:
    void initTestCase()
    {
        platform::set_block_devices_enabled(false);
        QProcess builder;
        builder.start("bash", {qEnvironmentVariable("QUARVEL_SOURCE_DIR") + "/bench/fat/make_lost_images.sh",
                               tmp_.path(), "90", "64"});
        if (builder.waitForFinished(120000) && builder.exitStatus() == QProcess::NormalExit && builder.exitCode() == 0)
            card_ = tmp_.filePath("formatted.img");
    }

    void search_after_the_listing_grows_it_or_is_stopped()
    {
        if (card_.isEmpty())
            QSKIP("make_lost_images.sh could not run (mkfs.fat, mtools or python3 missing)");
        scan_service_c service;
        service.set_lost_pass_deferred(true);
        QString why;
        QCOMPARE(service.scan_to_end(card_volume(card_), false, &why), 0);
        const std::vector<found_row_s> listed = service.scanner().found_rows();
        QCOMPARE(lost_rows(listed), 0);
        QVERIFY(service.lost_pass_waiting());

        // Stopped: nothing of it is taken in, and the listing stays current.
        const recovery_base_c* listing = &service.scanner();
        QCOMPARE(service.start_lost_pass(), 0);
        service.request_lost_pass_stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.lost_pass_running(), 60000);
        QVERIFY(!service.adopt_lost_pass());
        QCOMPARE(&service.scanner(), listing);
        QCOMPARE(service.scanner().found_rows().size(), listed.size());

        // Run again to its end: every photo with its name, and every row
        // the listing had keeps its id.
        QVERIFY(service.lost_pass_waiting());
        QCOMPARE(service.lost_pass_to_end(), 0);
        QVERIFY(!service.lost_pass_waiting());
        const std::vector<found_row_s> grown = service.scanner().found_rows();
        QCOMPARE(lost_rows(grown), 90);
        std::set<int64_t> ids;
        for (const found_row_s& r : grown)
            ids.insert(r.item.id);
        for (const found_row_s& r : listed)
            QVERIFY(ids.count(r.item.id));

        // Without the search nothing waits; undeferred it runs in the scan.
        service.set_lost_pass(lost_pass_e::off);
        QCOMPARE(service.scan_to_end(card_volume(card_), false, &why), 0);
        QVERIFY(!service.lost_pass_waiting());
        service.set_lost_pass(lost_pass_e::on);
        service.set_lost_pass_deferred(false);
        QCOMPARE(service.scan_to_end(card_volume(card_), false, &why), 0);
        QVERIFY(!service.lost_pass_waiting());
        QCOMPARE(lost_rows(service.scanner().found_rows()), 90);
    }

    void cli_prints_the_search_rows_after_the_listing()
    {
        if (card_.isEmpty())
            QSKIP("make_lost_images.sh could not run (mkfs.fat, mtools or python3 missing)");
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli was not built");
        QProcess p;
        p.start(cli, {"--image", card_, "--json", "scan", card_});
        QVERIFY(p.waitForFinished(120000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).count("Lost folders/"), 90);
        QVERIFY(p.readAllStandardError().contains("searched the volume for lost files"));
    }
};

QTEST_GUILESS_MAIN(tst_lost_search)
#include "tst_lost_search.moc"
