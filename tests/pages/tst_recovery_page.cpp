// The recovery page's rules that need no disk: what a preview extracts and
// shows, the scanner choice for file systems nobody scans, ticking with the
// keyboard and the tab order.
#include "app/pages/recovery_preview.h"
#include "app/pages/recovery_window.h"
#include "shell/app_flags.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QPushButton>
#include <QTableView>
#include <QTreeView>
#include <QtTest>

class back_receiver_c : public QWidget {
    Q_OBJECT
public slots:
    void on_click_recovery_back() {}
};

class tst_recovery_page : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        init_app_resources();
        register_device_types();
        register_scan_types();
        QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    }

    void preview_rules()
    {
        QVERIFY(preview_size_ok(0));
        QVERIFY(preview_size_ok(5242880));
        QVERIFY(!preview_size_ok(5242881));
        QVERIFY(!preview_size_ok(-1));  // a hostile size field
        QVERIFY(preview_size_ok(0x500000) && !preview_size_ok(int64_t(1) << 32));

        QVERIFY(preview_is_image("photo.JPG"));
        QVERIFY(preview_is_image("scan.tiff"));
        QVERIFY(preview_is_image("a.jpeg"));
        QVERIFY(!preview_is_image("notes.txt"));
        QVERIFY(!preview_is_image("jpg"));

        // UTF-16 after FF FE, cut at the first zero character.
        QCOMPARE(preview_text(QByteArray("\xFF\xFEH\0i\0\0\0x\0", 10)), QString("Hi"));
        // An odd trailing byte is not half a character.
        QCOMPARE(preview_text(QByteArray("\xFF\xFEO\0K\0!", 7)), QString("OK"));
        QCOMPARE(preview_text(QByteArray("\xEF\xBB\xBF\xC3\xBC" "ber")), QString::fromUtf8("über"));
        QCOMPARE(preview_text(QByteArray("plain\0hidden", 12)), QString("plain"));
        // Two bytes of a mark and nothing after: shown as they are.
        QCOMPARE(preview_text(QByteArray("\xFF\xFE", 2)).size(), 2);
    }

    void refuses_what_no_scanner_reads()
    {
        back_receiver_c main_window;
        recovery_window_c page(&main_window);
        scan_running = false;
        volume_item_s v;
        v.dos_device = "sdz1";
        v.device_path = "/dev/sdz1";
        v.file_system = "ext4";
        QCOMPARE(page.begin_scan(v, false), -1);
        QVERIFY(!scan_running);
        // A second start while a scan runs is refused too.
        scan_running = true;
        v.file_system = "FAT32";
        QCOMPARE(page.begin_scan(v, false), -1);
        scan_running = false;
        // Nothing to save or recover on an empty page; no box, no crash.
        page.on_save_result_clicked();
        page.on_recovery_clicked();
    }

    void keyboard()
    {
        back_receiver_c main_window;
        recovery_window_c page(&main_window);
        const auto next_tab_stop = [](QWidget* w) {
            do
                w = w->nextInFocusChain();
            while (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(w->window()));
            return w;
        };
        page.show();
        auto* tree = page.findChild<QTreeView*>("tv_dirtree");
        auto* table = page.findChild<QTableView*>("tv_files");
        QCOMPARE(next_tab_stop(tree), static_cast<QWidget*>(table));
        QCOMPARE(next_tab_stop(table), static_cast<QWidget*>(page.findChild<QPushButton*>("btn_back")));
        QCOMPARE(next_tab_stop(page.findChild<QPushButton*>("btn_back")),
                 static_cast<QWidget*>(page.findChild<QPushButton*>("btn_recovery")));
    }
};

QTEST_MAIN(tst_recovery_page)
#include "tst_recovery_page.moc"
