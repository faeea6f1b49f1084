// The skinned windows' behaviour: where a press moves, resizes or hits a
// button, the buttons' states and actions, maximise and restore, the frame
// rebuilt after a resize, the close guard and the help page.
#include "platform/desktop.h"
#include "platform/folders.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "skin/help_dialog.h"
#include "skin/skin_dialog.h"
#include "skin/skin_widget.h"

#include <QAbstractButton>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QTextBrowser>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The main window's base with pages that only record what they were asked.
// Whether the window under test has work running, as a scan would.
bool scan_running = false;

class skin_window_under_test_c : public QSkinWidget {
public:
    skin_window_under_test_c()
    {
        setMinimumSize(400, 300);
        setGeometry(40, 50, 800, 600);
    }
    void show_page(int index) override { shown.append(index); }
    void leave_page() override { ++leaves; }
    bool work_running() const override { return scan_running; }
    QList<int> shown;
    int leaves = 0;
};

// Answers every box with `answer` and counts them.
struct boxes_c {
    explicit boxes_c(QMessageBox::StandardButton answer)
    {
        set_warning_driver([this, answer](QMessageBox& box) {
            texts << box.text();
            if (QAbstractButton* button = box.button(answer))
                button->click();
            else
                box.reject();
        });
    }
    ~boxes_c() { set_warning_driver(nullptr); }
    QStringList texts;
};

// A pointer move delivered straight to the window (the offscreen platform
// has no pointer to move).
void move_to(QWidget* window, QPoint p, Qt::MouseButtons held = Qt::NoButton)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(p), window->mapToGlobal(QPointF(p)), Qt::NoButton, held, {});
    QApplication::sendEvent(window, &move);
}

QImage image_of(const QString& path)
{
    return QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool shows_images(const button_c<QSkinWidget>* button, const char* name)
{
    for (int state = 0; state < 3; ++state) {
        const QString path = QStringLiteral(":/images/system/%1%2.png").arg(QLatin1String(name)).arg(state + 1);
        if (button->images[std::size_t(state)].toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied) !=
            image_of(path))
            return false;
    }
    return true;
}

}  // namespace

class tst_skin_window : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        init_app_resources();
        platform::set_shell_open_enabled(false);
    }
    void init()
    {
        startup_done = true;
        scan_running = false;
        translation_table = {{"startup_warning", "STARTUP"}, {"back_warning", "LEAVE SCAN?"},
                             {"quit_warning", "QUIT?"}, {"menu_help", "Help"}, {"menu_exit", "Exit"}};
        language_list = {"English", "Deutsch", "Français"};
        current_language_index = 0;
        current_language = "English";
    }
    void cleanup()
    {
        startup_done = false;
        scan_running = false;
        platform::set_program_data_dir({});
    }

    void press_zones()
    {
        skin_window_under_test_c window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        using press = skin_window_c::press_e;
        // Released away from every button, so no action runs.
        const auto press_at = [&window](QPoint p) {
            QTest::mousePress(&window, Qt::LeftButton, {}, p);
            QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(400, 300));
            return window.last_press();
        };
        // The title band up to and including row 100 moves; row 101 does not.
        QCOMPARE(press_at(QPoint(400, 100)), press::move);
        QCOMPARE(press_at(QPoint(400, 10)), press::move);
        QCOMPARE(press_at(QPoint(400, 101)), press::none);
        // A button never moves the window, its edges included.
        QCOMPARE(press_at(QPoint(10, 25)), press::button);
        QCOMPARE(press_at(QPoint(104, 94)), press::button);
        QCOMPARE(press_at(QPoint(105, 60)), press::move);
        QCOMPARE(press_at(QPoint(798, 1)), press::button);   // close, at its last column
        QCOMPARE(press_at(QPoint(680, 12)), press::button);  // settings
        // The window's edges resize.
        QCOMPARE(press_at(QPoint(1, 300)), press::resize);
        QCOMPARE(press_at(QPoint(400, 598)), press::resize);
        QCOMPARE(press_at(QPoint(400, 0)), press::resize);
        // Other mouse buttons do nothing.
        QTest::mousePress(&window, Qt::RightButton, {}, QPoint(400, 50));
        QCOMPARE(window.last_press(), press::none);
        QTest::mouseRelease(&window, Qt::RightButton, {}, QPoint(400, 50));
    }

    void resize_edges_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<int>("edges");
        const int l = Qt::LeftEdge, r = Qt::RightEdge, t = Qt::TopEdge, b = Qt::BottomEdge;
        QTest::newRow("inside") << QPoint(400, 300) << 0;
        QTest::newRow("left") << QPoint(0, 300) << l;
        QTest::newRow("left, zone's last column") << QPoint(3, 300) << l;
        QTest::newRow("past the left zone") << QPoint(4, 300) << 0;
        QTest::newRow("right") << QPoint(799, 300) << r;
        QTest::newRow("bottom") << QPoint(400, 599) << b;
        QTest::newRow("top") << QPoint(400, 0) << t;
        QTest::newRow("bottom-right corner") << QPoint(799, 599) << (r | b);
        QTest::newRow("corner zone along the bottom") << QPoint(790, 598) << (r | b);
        QTest::newRow("corner zone along the left") << QPoint(1, 5) << (l | t);
        QTest::newRow("top-right corner") << QPoint(795, 2) << (r | t);
        QTest::newRow("outside") << QPoint(800, 300) << 0;
    }
    void resize_edges()
    {
        QFETCH(QPoint, point);
        QFETCH(int, edges);
        QCOMPARE(int(skin_window_c::resize_edges(point, QSize(800, 600))), edges);
    }

    void drag_moves_and_resizes()
    {
        // The offscreen platform has no window-system move, so the window
        // moves itself: the same result a user sees.
        skin_window_under_test_c window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();
        QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(400, 60));
        move_to(&window, QPoint(402, 61), Qt::LeftButton);  // below the drag distance
        QCOMPARE(window.pos(), start);
        move_to(&window, QPoint(440, 80), Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(40, 20));
        QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(440, 80));

        const QSize before = window.size();
        const QPoint corner(window.width() - 1, window.height() - 1);
        QTest::mousePress(&window, Qt::LeftButton, {}, corner);
        move_to(&window, corner + QPoint(30, 20), Qt::LeftButton);
        QCOMPARE(window.size(), before + QSize(30, 20));
        // Never below the minimum size.
        move_to(&window, QPoint(5, 5), Qt::LeftButton);
        QCOMPARE(window.size(), QSize(400, 300));
        QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(5, 5));
    }

    void button_states_and_actions()
    {
        skin_window_under_test_c window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto& buttons = window.skin_buttons();
        QCOMPARE(buttons.size(), 7);
        button_c<QSkinWidget>* deep = buttons[2];

        move_to(&window, QPoint(250, 60));
        QCOMPARE(deep->state, int(button_hover));
        QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(250, 60));
        QCOMPARE(deep->state, int(button_pressed));
        QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(250, 60));
        QCOMPARE(deep->state, int(button_hover));
        QCOMPARE(window.shown, QList<int>{1});
        QCOMPARE(window.leaves, 1);
        QVERIFY(window.deep_scan_chosen());
        move_to(&window, QPoint(400, 60));
        QCOMPARE(deep->state, int(button_normal));

        // Partition search keeps the deep-scan choice; undelete clears it.
        QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(150, 60));
        QVERIFY(window.deep_scan_chosen());
        QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(50, 60));
        QVERIFY(!window.deep_scan_chosen());
        QCOMPARE(window.shown, (QList<int>{1, 2, 1}));

        // Before start-up has finished: a box and no page change.
        startup_done = false;
        boxes_c boxes(QMessageBox::Ok);
        move_to(&window, QPoint(400, 60));
        QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(150, 60));
        QCOMPARE(boxes.texts, QStringList{"STARTUP"});
        QCOMPARE(window.shown.size(), 3);

        // A pointer that leaves the window leaves no button lit.
        move_to(&window, QPoint(150, 60));
        QCOMPARE(buttons[1]->state, int(button_hover));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&window, &leave);
        QCOMPARE(buttons[1]->state, int(button_normal));
    }

    void top_bar_during_scan()
    {
        skin_window_under_test_c window;
        scan_running = true;
        {
            boxes_c boxes(QMessageBox::No);
            window.top_command(3);
            QCOMPARE(boxes.texts, QStringList{"LEAVE SCAN?"});
            QVERIFY(window.shown.isEmpty());
            QVERIFY(!window.deep_scan_chosen());
        }
        boxes_c boxes(QMessageBox::Yes);
        window.top_command(3);
        QCOMPARE(window.leaves, 1);
        QCOMPARE(window.shown, QList<int>{1});
        QVERIFY(window.deep_scan_chosen());
    }

    void maximise_and_restore()
    {
        skin_window_under_test_c window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect normal = window.geometry();
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        button_c<QSkinWidget>* max = window.maximise_button();
        QVERIFY(shows_images(max, "maxButton"));

        // A double click on a button is not a title double click.
        QTest::mouseDClick(&window, Qt::LeftButton, {}, QPoint(50, 60));
        QVERIFY(window.is_restored());

        QTest::mouseDClick(&window, Qt::LeftButton, {}, QPoint(400, 100));
        QVERIFY(!window.is_restored());
        QCOMPARE(window.geometry(), available);
        QVERIFY(shows_images(max, "resumeButton"));
        // No edge resizing while maximised.
        QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(window.width() - 1, 300));
        QCOMPARE(window.last_press(), skin_window_c::press_e::none);
        QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(window.width() - 1, 300));

        // The restore button brings the saved geometry back.
        const QPoint restore_button(window.width() - 40, 10);
        move_to(&window, restore_button);
        QTest::mouseClick(&window, Qt::LeftButton, {}, restore_button);
        QVERIFY(window.is_restored());
        QCOMPARE(window.geometry(), normal);
        QVERIFY(shows_images(max, "maxButton"));
    }

    void frame_follows_resize()
    {
        skin_window_under_test_c window;
        QCOMPARE(window.contentsMargins(), QMargins(3, 100, 3, 4));
        window.resize(640, 480);
        QVERIFY(window.restyle_pending());
        QImage shot(window.size(), QImage::Format_ARGB32_Premultiplied);
        shot.fill(Qt::transparent);
        QPainter painter(&shot);
        window.compose(painter);
        painter.end();
        QVERIFY(!window.restyle_pending());
        QCOMPARE(window.canvas_image().size(), QSize(640, 480));
        // The bottom band and both edges sit at the new size; the client area is white.
        QCOMPARE(shot.pixelColor(320, 479), window.frame_images().bottom.toImage().pixelColor(5, 3));
        QCOMPARE(shot.pixelColor(639, 300), window.frame_images().right.toImage().pixelColor(2, 100));
        QCOMPARE(shot.pixelColor(320, 300), QColor(Qt::white));
        // The title band is opaque right across.
        QCOMPARE(shot.pixelColor(320, 50).alpha(), 255);
        QCOMPARE(shot.pixelColor(600, 50).alpha(), 255);
        // A new title is drawn into a rebuilt frame.
        window.setWindowTitle("Quarvel Undelete - card.img");
        QVERIFY(window.restyle_pending());

        QSkinDialog dialog;
        QCOMPARE(dialog.contentsMargins(), QMargins(3, 34, 3, 3));
        QCOMPARE(dialog.skin_buttons().size(), 1);
        dialog.resize(500, 300);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        move_to(&dialog, QPoint(480, 10));
        QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(480, 10));
        QVERIFY(!dialog.isVisible());
    }

    void close_guard()
    {
        skin_window_under_test_c window;
        QSignalSpy closing(&window, &skin_window_c::aboutToClose);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        scan_running = true;
        {
            boxes_c boxes(QMessageBox::No);
            move_to(&window, QPoint(780, 10));
            QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(780, 10));
            QCOMPARE(boxes.texts, QStringList{"QUIT?"});
            QVERIFY(window.isVisible());
            QCOMPARE(closing.count(), 0);
        }
        boxes_c boxes(QMessageBox::Yes);
        window.settings_menu()->findChild<QAction*>("action_exit")->trigger();
        QVERIFY(!window.isVisible());
        QCOMPARE(closing.count(), 1);
    }

    void menu_and_help()
    {
        skin_window_under_test_c window;
        const QList<QAction*> items = window.settings_menu()->actions();
        QCOMPARE(items.size(), 5);
        QVERIFY(items[0]->menu());
        QCOMPARE(items[2]->text(), QString("Help"));
        QCOMPARE(items[4]->text(), QString("Exit"));
        QStringList languages;
        for (QAction* action : items[0]->menu()->actions())
            languages << action->text();
        QCOMPARE(languages, (QStringList{"Français", "Deutsch", "English"}));

        // The page in the current language, else the English one.
        QTemporaryDir data;
        QVERIFY(QDir(data.path()).mkpath("help"));
        for (const char* name : {"help/help_en.html", "help/help_fr.html"}) {
            QFile page(data.filePath(name));
            QVERIFY(page.open(QIODevice::WriteOnly));
        }
        platform::set_program_data_dir(data.path().toStdString());
        QCOMPARE(QSkinWidget::help_page_path(), data.filePath("help/help_en.html"));
        current_language_index = 2;
        QCOMPARE(QSkinWidget::help_page_path(), data.filePath("help/help_fr.html"));
        current_language_index = 1;
        QCOMPARE(QSkinWidget::help_page_path(), data.filePath("help/help_en.html"));
        // Help opens in our own window, not through the desktop: there may
        // be no browser. A second Help brings the same window forward.
        const int opened = platform::shell_open_calls();
        {
            QFile page(data.filePath("help/help_en.html"));
            QVERIFY(page.open(QIODevice::WriteOnly));
            page.write("<h1>Shown here</h1><p><a href=\"#end\">down</a></p><h2 id=\"end\">End</h2>");
        }
        items[2]->trigger();
        QCOMPARE(platform::shell_open_calls(), opened);
        QPointer<help_dialog_c> help = window.help_dialog();
        QVERIFY(help && help->isVisible());
        QVERIFY2(help->browser()->toPlainText().contains("Shown here"), qPrintable(help->browser()->toPlainText()));
        items[2]->trigger();
        QCOMPARE(window.help_dialog(), help.data());
        help->close();
        QTRY_VERIFY(!help);

        // No page installed: said so, no empty window.
        platform::set_program_data_dir(QTemporaryDir().path().toStdString());
        boxes_c boxes(QMessageBox::Ok);
        items[2]->trigger();
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(!window.help_dialog());
    }

    // The pages the build makes, one per language, from one template: each
    // whole, on every road, and needing no network.
    void shipped_help_pages()
    {
        const QDir built(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/help");
        QString english;
        for (const char* code : {"en", "de", "es", "fr", "it", "jp", "cn", "hk", "nl", "pt"}) {
            QFile page(built.filePath(QStringLiteral("help_%1.html").arg(QLatin1String(code))));
            QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(page.fileName()));
            const QString text = QString::fromUtf8(page.readAll());
            QVERIFY2(!text.contains("{{"), code);
            QVERIFY2(!text.contains("http"), "the help pages need no network");
            for (const char* kept : {"exFAT", "NTFS", "GPT", "<code>.sav</code>", "id=\"failing\"", "quarvel-cli"})
                QVERIFY2(text.contains(QLatin1String(kept)), qPrintable(QStringLiteral("%1: %2").arg(code, kept)));
            if (QLatin1String(code) == QLatin1String("en"))
                english = text;
            else
                QVERIFY2(text != english, code);
        }
        for (const char* topic : {"Deep Scan", "Lost partitions", "different drive", "Lost folders", "Scan this volume",
                                  "Save an image of this disk", "unreadable sectors", "not checked",
                                  "Open output folder", "Show what failed"})
            QVERIFY2(english.contains(QLatin1String(topic)), topic);
        // What the old page said and is no longer true.
        for (const char* gone : {"GPT disks,", "administrator rights (or", "have no\noriginal names"})
            QVERIFY2(!english.contains(QLatin1String(gone)), gone);
    }
};

QTEST_MAIN(tst_skin_window)
#include "tst_skin_window.moc"
