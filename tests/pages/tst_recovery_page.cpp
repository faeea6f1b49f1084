// The recovery page's rules that need no disk: what a preview extracts and
// shows, the scanner choice for file systems nobody scans, a disk that cannot
// be opened said so, ticking with the keyboard, the tab order, and the folder
// tree's width, the filter box's fields and the selection's line in every
// language.
#include "app/pages/recovery_preview.h"
#include "app/pages/recovery_window.h"
#include "app/pages/recovery_window_filter.h"
#include "devices/enumerate.h"
#include "results/result_index.h"
#include "results/tree_model.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionFrame>
#include <QToolButton>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>
#include <QtTest>

class back_receiver_c : public QWidget {
    Q_OBJECT
public slots:
    void on_click_recovery_back() {}
};

// A found "/" holding one file.
class one_file_scanner_c : public recovery_base_c {
public:
    int top = 0;
    void set_volume(const volume_item_s&) override {}
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return -1; }
    bool top_folder(const void** node) const override
    {
        *node = &top;
        return true;
    }
    void folder_rows(const void*, std::vector<recovery_item_s>* out) const override
    {
        out->push_back({"IMG_0001.JPG", 100, 0, 0, 7, 0, 0});
    }

protected:
    void run_scan() override {}
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
        volume_item_s v;
        v.dos_device = "sdz1";
        v.device_path = "/dev/sdz1";
        v.file_system = "ext4";
        QCOMPARE(page.begin_scan(v, false), -1);
        QVERIFY(!page.scan_session().running());
        // A second start while a scan runs is refused too.
        page.scan_session().set_running_for_tests(true);
        v.file_system = "FAT32";
        QCOMPARE(page.begin_scan(v, false), -1);
        page.scan_session().set_running_for_tests(false);
        // A padlocked volume whose disk cannot be opened says so, with the
        // system's reason, rather than doing nothing.
        translation_table["open_failed"] = "NOT OPENED %1";
        QStringList texts;
        set_warning_driver([&](QMessageBox& box) {
            texts << box.text();
            box.done(QMessageBox::Ok);
        });
        v.file_system.clear();
        v.locked = true;
        QCOMPARE(page.begin_scan(v, false), -1);
        set_warning_driver(nullptr);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].startsWith("NOT OPENED sdz1\n\n") && texts[0].contains("/dev/sdz1"), qPrintable(texts[0]));
        QVERIFY(!page.scan_session().running());
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

    void tree_fits_its_entries_in_every_language()
    {
        const QString source = qEnvironmentVariable("QUARVEL_SOURCE_DIR");
        if (source.isEmpty())
            QSKIP("the shipped language.ini is not found (QUARVEL_SOURCE_DIR unset)");
        const std::string ini = (source + "/data/language.ini").toStdString();
        one_file_scanner_c scanner;
        auto index = std::make_shared<result_index_c>();
        QVERIFY(index->build(scanner, row_flags_e::attributes));
        for (const char* language : {"English", "Deutsch", "Español", "Français", "Italiano", "日本語", "简体中文",
                                        "繁體中文", "Nederlands", "Português"}) {
            QCOMPARE(load_language_file(ini, language, false), 0);
            QVERIFY(translation_table.count("tree_all_files"));
            back_receiver_c main_window;
            recovery_window_c page(&main_window);
            page.resize(900, 600);
            page.show();
            auto* tree = page.findChild<QTreeView*>("tv_dirtree");
            auto* table = page.findChild<QTableView*>("tv_files");
            QVERIFY(install_result_tree(tree, index));
            QCoreApplication::processEvents();
            // "All found files" is read whole, without scrolling sideways,
            // and the table starts right of it.
            QVERIFY2(tree->horizontalScrollBar()->maximum() == 0, language);
            QVERIFY2(table->geometry().left() > tree->geometry().right(), language);
            QVERIFY2(tree->width() <= 300, language);
        }
        translation_table.clear();
    }

    // At the window's first width every filter field shows its whole hint
    // and every control of the filter box is whole, in every language.
    void filter_box_fits_in_every_language()
    {
        const QString source = qEnvironmentVariable("QUARVEL_SOURCE_DIR");
        if (source.isEmpty())
            QSKIP("the shipped language.ini is not found (QUARVEL_SOURCE_DIR unset)");
        const std::string ini = (source + "/data/language.ini").toStdString();
        for (const char* language : {"English", "Deutsch", "Español", "Français", "Italiano", "日本語", "简体中文",
                                        "繁體中文", "Nederlands", "Português"}) {
            QCOMPARE(load_language_file(ini, language, false), 0);
            back_receiver_c main_window;
            recovery_window_c page(&main_window);
            page.resize(790, 600);  // a little less than it has in a window 800 pixels wide
            page.show();
            QCoreApplication::processEvents();
            auto* bar = page.findChild<recovery_filter_bar_c*>("filter_bar");
            QVERIFY(bar);
            const auto fields = bar->findChildren<QLineEdit*>();
            QCOMPARE(fields.size(), 5);
            for (const QLineEdit* field : fields) {
                // Where QLineEdit draws its text: the style's contents, less
                // the side buttons' room and two pixels each side.
                QStyleOptionFrame option;
                option.initFrom(field);
                option.rect = field->rect();
                option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
                int room = field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field).width() - 4;
                for (const QToolButton* side : field->findChildren<QToolButton*>())
                    room -= side->width() + field->style()->pixelMetric(QStyle::PM_LineEditIconMargin, nullptr, field);
                const QString hint = field->placeholderText();
                QVERIFY2(field->fontMetrics().horizontalAdvance(hint) <= room,
                         qPrintable(QString("%1: \"%2\" in %3 px").arg(language, hint).arg(room)));
            }
            for (const QWidget* w : bar->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                QVERIFY2(bar->rect().contains(w->geometry()), qPrintable(QString(language) + ": " + w->objectName()));
                QVERIFY2(w->width() >= w->minimumSizeHint().width(), qPrintable(QString(language) + ": " + w->objectName()));
            }
            // The table keeps its place below the box.
            QVERIFY2(page.findChild<QTableView*>("tv_files")->geometry().top() > bar->geometry().bottom(), language);
            // A large selection's line between the buttons is read whole.
            auto* selection = page.findChild<QLabel*>("lbl_selection");
            selection->setText(text_for_key("recovery_selected").arg(123456).arg(format_size(uint64_t(987) << 30)));
            page.resize(791, 600);
            QCoreApplication::processEvents();
            const QString said = selection->text();
            if (selection->wordWrap())
                QVERIFY2(selection->heightForWidth(selection->width()) <= selection->height(), qPrintable(said));
            else
                QVERIFY2(selection->fontMetrics().horizontalAdvance(said) <= selection->width(), qPrintable(said));
        }
        translation_table.clear();
    }
};

QTEST_MAIN(tst_recovery_page)
#include "tst_recovery_page.moc"
