// The scan session without a window: how a scan's end is judged (the deep
// scan offered, a result to save) and how a saved scan is matched to the
// volume it names, on a camera card quick-formatted over its photos
// (mkfs.fat and mtools).
#include "platform/drive_table.h"
#include "scan/scan_session.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_scan_session : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    QString card_;

    // Runs the session's scan to its end, as the page's timer would see it.
    static void wait_for_scan(scan_session_c& session)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!session.service().scanning(), 120000);
    }

private slots:
    void initTestCase()
    {
        platform::set_block_devices_enabled(false);
        QProcess builder;
        builder.start("bash", {qEnvironmentVariable("QUARVEL_SOURCE_DIR") + "/bench/fat/make_lost_images.sh",
                               tmp_.path(), "20", "64"});
        if (builder.waitForFinished(120000) && builder.exitStatus() == QProcess::NormalExit && builder.exitCode() == 0)
            card_ = tmp_.filePath("formatted.img");
    }

    void scan_end_and_saved_scan_matched_to_its_volume()
    {
        if (card_.isEmpty())
            QSKIP("make_lost_images.sh could not run (mkfs.fat, mtools or python3 missing)");
        platform::open_disk_image(card_.toStdString());
        volume_item_s card;
        card.device_path = card_ + ":p0";
        card.root_path = card.device_path + "/";
        card.file_system = "FAT32";
        card.dos_device = "card";
        card.disk_number = platform::drive_number_of(card_.toStdString());

        // The quick format left no file the FAT knows: the deep scan is
        // offered, and nothing can start while the end is not handled.
        const QString sav = tmp_.filePath("card.sav");
        {
            scan_session_c session;
            session.service().set_lost_pass(lost_pass_e::off);
            QCOMPARE(session.start(card, false), 0);
            QVERIFY(session.running());
            QCOMPARE(session.start(card, true), -1);
            wait_for_scan(session);
            QVERIFY(session.running());
            scan_session_c::scan_end_s end = session.end_scan(session.stop_code(), true, false);
            QVERIFY(end.failure.isEmpty());
            QVERIFY(end.offer_deep_scan);
            QVERIFY(!end.offer_saving);
            QVERIFY(!session.running());

            // The deep scan it offers finds the photos; its result may be saved.
            QCOMPARE(session.restart(true), 0);
            QVERIFY(session.deep());
            wait_for_scan(session);
            end = session.end_scan(session.stop_code(), false, true);
            QVERIFY(!end.offer_deep_scan);
            QVERIFY(end.offer_saving);
            QVERIFY(session.service().raw_scanner().records().size() >= 20);
            QCOMPARE(session.service().raw_scanner().save_results(QFile::encodeName(sav)), 0);
            // Stopped by the person, nothing found: no question.
            QCOMPARE(session.restart(false), 0);
            QVERIFY(session.request_stop());
            wait_for_scan(session);
            QVERIFY(!session.end_scan(session.stop_code(), true, false).offer_deep_scan);
        }

        // A saved scan opens only on a volume of a drive offered now, named
        // exactly: not one without its drive, not the disk its volume is on.
        scan_session_c session;
        using outcome = scan_service_c::opened_scan_file_s::outcome_e;
        volume_item_s no_drive = card;
        no_drive.dos_device.clear();
        volume_item_s whole_disk = card;
        whole_disk.device_path = card_;
        const std::vector<volume_item_s> wrong{no_drive, whole_disk};
        const auto missing = session.open_scan_file(QFile::encodeName(sav), scan_session_c::offered_in(wrong));
        QCOMPARE(missing.outcome, outcome::volume_missing);
        QCOMPARE(missing.device, card.device_path);
        QVERIFY(!session.running());

        const std::vector<volume_item_s> offered{whole_disk, card};
        const auto opened = session.open_scan_file(QFile::encodeName(sav), scan_session_c::offered_in(offered));
        QCOMPARE(opened.outcome, outcome::opened);
        QCOMPARE(session.volume().dos_device, QString("card"));
        QVERIFY(session.running() && session.loaded() && session.deep());
        // Its end is handled as a scan's, without saving it again.
        QCOMPARE(session.open_scan_file(QFile::encodeName(sav), scan_session_c::offered_in(offered)).outcome,
                 outcome::unreadable);
        const scan_session_c::scan_end_s end = session.end_scan(session.stop_code(), false, true);
        QVERIFY(!end.offer_saving && !end.offer_deep_scan);
        QVERIFY(session.service().raw_scanner().records().size() >= 20);
        // An image's file system holds no folder of its own disk.
        QVERIFY(session.destination_notes(QDir(tmp_.path())).empty());
    }
};

QTEST_GUILESS_MAIN(tst_scan_session)
#include "tst_scan_session.moc"
