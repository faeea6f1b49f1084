// The volume page: its model under the toolkit's model checker, the row
// painter's rules (name, usage bar colour, unknown free space, stripes and
// selection), and the page's own keys, tab order and no-selection warning.
#include "app/pages/volume_delegate.h"
#include "app/pages/volume_model.h"
#include "app/pages/volume_window.h"
#include "devices/volume_item.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QAbstractItemModelTester>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QtTest>

namespace {

volume_item_s volume(const QString& label, const QString& root, uint64_t total, uint64_t free_bytes, bool known)
{
    volume_item_s v;
    v.dos_device = "sdz1";
    v.device_path = "/dev/sdz1";
    v.label = label;
    v.root_path = root;
    v.file_system = "FAT32";
    v.total_bytes = total;
    v.free_bytes = free_bytes;
    v.free_space_known = known;
    return v;
}

// Paints one row of `list` at 600 x 30 and returns the picture.
QImage paint_row(const std::vector<volume_item_s>& list, int row, bool selected)
{
    volume_model_c model(&list);
    volume_delegate_c delegate;
    QImage image(600, 30, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 600, 30);
    option.state = selected ? QStyle::State_Selected : QStyle::State_None;
    delegate.paint(&painter, option, model.index(row, 0));
    painter.end();
    return image;
}

}  // namespace

// Stands in for the main window: counts the page's Scan requests.
class scan_receiver_c : public QWidget {
    Q_OBJECT
public:
    int scans = 0;
public slots:
    void on_click_volume_scan() { ++scans; }
    void on_click_volume_back() {}
    void on_click_volume_refresh() {}
};

class tst_volume_page : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        init_app_resources();
        register_device_types();
        QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
        translation_table = {{"local_disk", "Local Disk"}, {"recovery_free", " free of "},
                             {"scan_nosel_warning", "PICK ONE"}};
    }

    void model_is_sound()
    {
        std::vector<volume_item_s> list = {volume_item_s{}, volume("Data", "/media/DATA/", 100, 50, true),
                                           volume("", "/dev/sdz2/", 0, 0, false)};
        volume_model_c model(&list);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.rowCount(model.index(1, 0)), 0);
        QCOMPARE(model.data(model.index(1, 0)).value<volume_item_s>().label, QString("Data"));
        QVERIFY(!model.data(model.index(1, 0), Qt::DecorationRole).isValid());
        volume_model_c none(nullptr);
        QCOMPARE(none.rowCount(), 0);
    }

    void names_and_sizes()
    {
        QCOMPARE(volume_display_name(volume("Data", "/media/ana/DATA/", 1, 1, true)), QString("Data (/media/ana/DATA)"));
        QCOMPARE(volume_display_name(volume("", "/mnt/", 1, 1, true)), QString("Local Disk (/mnt)"));
        QCOMPARE(volume_display_name(volume("", "/", 1, 1, true)), QString("Local Disk (/)"));
        QCOMPARE(volume_display_name(volume("", "E:\\", 1, 1, true)), QString("Local Disk (E:)"));

        QCOMPARE(volume_size_text(volume("", "/", 2048ull << 20, 1024ull << 20, true)), QString("1024.00M free of 2.00G"));
        // Unknown free space: the total alone, never "0B free".
        QCOMPARE(volume_size_text(volume("", "/", 2048ull << 20, 0, false)), QString("2.00G"));
    }

    void bar_colour_and_presence()
    {
        QVERIFY(volume_bar_is_red(volume_free_ratio(volume("", "/", 100, 19, true))));
        QVERIFY(!volume_bar_is_red(volume_free_ratio(volume("", "/", 100, 25, true))));
        // Exactly a fifth free rounds above 0.2 in single precision: green.
        QVERIFY(!volume_bar_is_red(volume_free_ratio(volume("", "/", 100, 20, true))));
        QVERIFY(volume_free_ratio(volume("", "/", 0, 0, true)) < 0.0f);
        QVERIFY(volume_free_ratio(volume("", "/", 100, 0, false)) < 0.0f);
        // A free count above the size (a damaged record) is not a negative bar.
        QCOMPARE(volume_free_ratio(volume("", "/", 100, 500, true)), 1.0f);
    }

    void painted_rows()
    {
        const std::vector<volume_item_s> list = {volume_item_s{}, volume("Full", "/a/", 100, 0, true),
                                                 volume("Unknown", "/b/", 100, 0, false)};
        // Inside the usage frame, just right of its left edge: 0.32 * 600 + 20.
        const QPoint in_bar(212, 15);
        const QImage full = paint_row(list, 1, false);
        QVERIFY(full.pixelColor(in_bar) != QColor(Qt::white));
        const QImage unknown = paint_row(list, 2, false);
        QCOMPARE(unknown.pixelColor(in_bar), QColor(241, 250, 255));  // stripe only, no bar

        QCOMPARE(paint_row(list, 2, true).pixelColor(5, 5), QColor(81, 149, 206));
        QCOMPARE(paint_row(list, 1, false).pixelColor(5, 5), QColor(Qt::white));
        QCOMPARE(paint_row(list, 0, false).pixelColor(5, 5), QColor(232, 246, 255));
    }

    void keys_tab_order_and_no_selection()
    {
        scan_receiver_c main_window;
        volume_window_c page(&main_window);
        std::vector<volume_item_s> list = {volume_item_s{}, volume("Data", "/media/DATA/", 100, 50, true)};
        page.set_volume_list(&list);
        auto* view = page.findChild<QListView*>("lv_volumes");
        QVERIFY(view && view->model());
        QCOMPARE(view->currentIndex().row(), -1);

        int boxes = 0;
        set_warning_driver([&](QMessageBox& box) {
            ++boxes;
            QCOMPARE(box.text(), QString("PICK ONE"));
            box.button(QMessageBox::Ok)->click();
        });
        QVERIFY(page.selected_volume() == nullptr);
        QCOMPARE(boxes, 1);
        set_warning_driver(nullptr);

        view->setCurrentIndex(view->model()->index(1, 0));
        QCOMPARE(page.selected_volume()->label, QString("Data"));
        QTest::keyClick(view, Qt::Key_Return);
        QTest::keyClick(view, Qt::Key_Enter);
        emit view->doubleClicked(view->model()->index(1, 0));
        QCOMPARE(main_window.scans, 3);

        const auto next_tab_stop = [](QWidget* w) {
            do
                w = w->nextInFocusChain();
            while (!(w->focusPolicy() & Qt::TabFocus));
            return w;
        };
        QCOMPARE(next_tab_stop(view), page.findChild<QPushButton*>("btn_back"));
        QCOMPARE(next_tab_stop(page.findChild<QPushButton*>("btn_back")), page.findChild<QPushButton*>("btn_refresh"));
        QCOMPARE(next_tab_stop(page.findChild<QPushButton*>("btn_refresh")), page.findChild<QPushButton*>("btn_scan"));

        // The resize rule.
        page.resize(800, 500);
        page.show();
        QCOMPARE(page.findChild<QPushButton*>("btn_scan")->geometry(), QRect(525, 446, 100, 30));
        QCOMPARE(view->geometry(), QRect(25, 45, 750, 360));
    }
};

QTEST_MAIN(tst_volume_page)
#include "tst_volume_page.moc"
