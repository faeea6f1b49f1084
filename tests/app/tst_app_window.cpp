// The message box convention, the main window's page flow and its guards,
// the language menu, disk images, the command line, and what the home page
// looks like.
#include "app/arguments.h"
#include "app/home_window.h"
#include "app/init_thread.h"
#include "app/main_window.h"
#include "app/pages/drive_window.h"
#include "app/pages/partition_window.h"
#include "app/pages/recovery_window.h"
#include "app/pages/volume_window.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "support/fixtures.h"

#include <QAction>
#include <QApplication>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <deque>

namespace {

// How a test answers the next box.
enum class answer_e { ok, yes, no, escape, close };

struct seen_box_s {
    QString title;
    QString text;
    QStringList buttons;
    bool has_parent = false;
    bool fixed_size_hint = false;
    bool has_picture = false;
};

// Answers boxes from a queue (OK when it runs dry) and records what they showed.
struct box_answers_c {
    std::deque<answer_e> answers;
    std::vector<seen_box_s> seen;

    box_answers_c()
    {
        set_warning_driver([this](QMessageBox& box) { answer(box); });
    }
    ~box_answers_c() { set_warning_driver(nullptr); }

    void answer(QMessageBox& box)
    {
        seen_box_s record;
        record.title = box.windowTitle();
        record.text = box.text();
        for (QAbstractButton* button : box.buttons())
            record.buttons << button->text().remove('&');
        record.has_parent = box.parentWidget() != nullptr;
        record.fixed_size_hint = box.windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint);
        record.has_picture = !box.iconPixmap().isNull();
        seen.push_back(record);

        const answer_e next = answers.empty() ? answer_e::ok : answers.front();
        if (!answers.empty())
            answers.pop_front();
        const auto press = [&box](QMessageBox::StandardButton which) {
            // A button the box lacks is a test mistake; Escape still ends the box.
            if (QAbstractButton* button = box.button(which))
                button->click();
            else
                QTest::keyClick(&box, Qt::Key_Escape);
        };
        switch (next) {
        case answer_e::ok: press(QMessageBox::Ok); break;
        case answer_e::yes: press(QMessageBox::Yes); break;
        case answer_e::no: press(QMessageBox::No); break;
        case answer_e::escape: QTest::keyClick(&box, Qt::Key_Escape); break;
        case answer_e::close: box.close(); break;
        }
    }
};

QPushButton* button_of(QWidget* page, const char* name)
{
    return page->findChild<QPushButton*>(QString::fromLatin1(name));
}

volume_item_s volume_row(const QString& dos_device, const QString& file_system)
{
    volume_item_s v;
    v.dos_device = dos_device;
    v.device_path = "/dev/" + dos_device;
    v.root_path = v.device_path + "/";
    v.file_system = file_system;
    return v;
}

drive_item_s drive_row(const QString& path)
{
    drive_item_s d;
    d.device_path = path;
    d.size_bytes = 1 << 20;
    d.geometry = std::make_shared<platform::disk_geometry_s>();
    return d;
}

}  // namespace

class tst_app_window : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void warning_answers_data();
    void warning_answers();
    void warning_dressing();

    void startup_guard();
    void resume_stays_when_nothing_loaded();
    void volume_scan_header_and_no_row();
    void volume_scan_refused_stays_quietly();
    void drive_scan_and_partition_back();
    void drive_scan_header_row();
    void recovery_back_during_scan();
    void top_commands_and_deep_scan();
    void close_during_scan();
    void language_menu();
    void open_disk_image();
    void command_line_split();
    void start_up_thread_fills_pages();
    void home_page_layout_and_screenshot();
    void button_images_per_language();

private:
    QTemporaryDir config_dir;
};

void tst_app_window::initTestCase()
{
    QVERIFY(config_dir.isValid());
    init_app_resources();
    register_device_types();
    platform::set_block_devices_enabled(false);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
}

void tst_app_window::init()
{
    startup_done = false;
    translation_table = {
        {"startup_warning", "STARTUP"}, {"main_warning1", "DRIVE HEADER"},
        {"main_warning2", "VOLUME HEADER"}, {"back_warning", "LEAVE SCAN?"},
        {"quit_warning", "QUIT?"}, {"language_warning", "NEXT START"},
        {"scan_nosel_warning", "PICK ONE"}, {"home_text1", "Hint one"},
        {"home_text2", "Hint two"}, {"home_text3", "Hint three"},
        {"image_open_failed", "NO IMAGE %1: %2"}, {"rescue_map_refused", "NO MAP %1 FOR %2: %3"},
    };
    language_list = {"English", "Deutsch"};
    current_language_index = 0;
    current_language = "English";
    settings_store = std::make_unique<QSettings>(config_dir.filePath("Quarvel.ini"), QSettings::IniFormat);
    volume_list = {volume_item_s {}, volume_row("sdb1", "FAT32")};
    drive_list = {drive_item_s {}, drive_row("/dev/sdb")};
}

void tst_app_window::cleanup()
{
    startup_done = false;
    platform::close_disk_images();
}

void tst_app_window::warning_answers_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("expected");

    const int yes_no = int(QMessageBox::Yes | QMessageBox::No);
    QTest::newRow("OK pressed") << int(QMessageBox::Ok) << int(answer_e::ok) << int(QMessageBox::Ok);
    QTest::newRow("OK box, Escape") << int(QMessageBox::Ok) << int(answer_e::escape) << int(QMessageBox::Ok);
    QTest::newRow("OK box, closed") << int(QMessageBox::Ok) << int(answer_e::close) << int(QMessageBox::Ok);
    QTest::newRow("no buttons given, OK added") << int(QMessageBox::NoButton) << int(answer_e::ok)
                                                << int(QMessageBox::Ok);
    QTest::newRow("Yes pressed") << yes_no << int(answer_e::yes) << int(QMessageBox::Yes);
    QTest::newRow("No pressed") << yes_no << int(answer_e::no) << int(QMessageBox::No);
    QTest::newRow("Yes/No, Escape is No") << yes_no << int(answer_e::escape) << int(QMessageBox::No);
    QTest::newRow("Yes/No, closed is No") << yes_no << int(answer_e::close) << int(QMessageBox::No);
}

void tst_app_window::warning_answers()
{
    QFETCH(int, buttons);
    QFETCH(int, how);
    QFETCH(int, expected);
    box_answers_c boxes;
    boxes.answers.push_back(answer_e(how));
    const auto answer = show_warning(nullptr, "Quarvel", "back_warning", QMessageBox::StandardButtons(buttons));
    QCOMPARE(int(answer), expected);
    QCOMPARE(boxes.seen.size(), std::size_t(1));
}

void tst_app_window::warning_dressing()
{
    box_answers_c boxes;
    boxes.answers = {answer_e::no, answer_e::ok};
    QWidget parent;
    show_warning(&parent, "Quarvel", "back_warning", QMessageBox::Yes | QMessageBox::No);
    show_warning(nullptr, "Quarvel", "not_a_key");
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    QCOMPARE(boxes.seen[0].title, QString("Quarvel"));
    QCOMPARE(boxes.seen[0].text, QString("LEAVE SCAN?"));
    QVERIFY(boxes.seen[0].has_parent);
    QVERIFY(boxes.seen[0].fixed_size_hint);
    QVERIFY(boxes.seen[0].has_picture);
    QCOMPARE(boxes.seen[0].buttons.size(), 2);
    // A missing translation still shows a box, with an empty text and an OK button.
    QCOMPARE(boxes.seen[1].text, QString());
    QCOMPARE(boxes.seen[1].buttons.size(), 1);
}

void tst_app_window::startup_guard()
{
    box_answers_c boxes;
    main_window_c window;
    QCOMPARE(window.current_page_index(), 0);

    button_of(window.home_page(), "btn_start")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(1));
    QCOMPARE(boxes.seen[0].text, QString("STARTUP"));
    QCOMPARE(boxes.seen[0].title, QString("Quarvel"));
    QCOMPARE(window.current_page_index(), 0);

    button_of(window.home_page(), "btn_resume")->click();
    window.top_command(2);
    QCOMPARE(boxes.seen.size(), std::size_t(3));
    QCOMPARE(window.current_page_index(), 0);

    startup_done = true;
    button_of(window.home_page(), "btn_start")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(3));
    QCOMPARE(window.current_page_index(), 1);
    QVERIFY(window.volume_page()->isVisibleTo(&window));
    QVERIFY(!window.home_page()->isVisibleTo(&window));

    button_of(window.volume_page(), "btn_back")->click();
    QCOMPARE(window.current_page_index(), 0);
}

void tst_app_window::resume_stays_when_nothing_loaded()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    // The file chooser is cancelled.
    set_path_chooser([](path_question_e) { return QString(); });
    button_of(window.home_page(), "btn_resume")->click();
    set_path_chooser(nullptr);
    QCOMPARE(window.current_page_index(), 0);
    QVERIFY(boxes.seen.empty());
}

void tst_app_window::volume_scan_header_and_no_row()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    window.on_init_finished();
    window.show_page(1);
    auto* list = window.volume_page()->findChild<QListView*>("lv_volumes");
    QVERIFY(list && list->model());

    // No row: only the volume page's own warning.
    button_of(window.volume_page(), "btn_scan")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(1));
    QCOMPARE(boxes.seen[0].text, QString("PICK ONE"));

    // The header row: the main window's warning, unparented, its own title.
    list->setCurrentIndex(list->model()->index(0, 0));
    button_of(window.volume_page(), "btn_scan")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    QCOMPARE(boxes.seen[1].text, QString("VOLUME HEADER"));
    QCOMPARE(boxes.seen[1].title, QString("Quarvel Undelete"));
    QVERIFY(!boxes.seen[1].has_parent);
    QCOMPARE(window.current_page_index(), 1);

    // A double-click counts as Scan.
    emit list->doubleClicked(list->model()->index(0, 0));
    QCOMPARE(boxes.seen.size(), std::size_t(3));
    QCOMPARE(boxes.seen[2].text, QString("VOLUME HEADER"));

    // Refresh leaves no row selected.
    volume_list.clear();
    button_of(window.volume_page(), "btn_refresh")->click();
    QCOMPARE(list->currentIndex().row(), -1);
    QVERIFY(!volume_list.empty());  // the enumeration put its header row back
}

void tst_app_window::volume_scan_refused_stays_quietly()
{
    box_answers_c boxes;
    startup_done = true;
    volume_list = {volume_item_s {}, volume_row("sdb1", "ext4")};
    main_window_c window;
    window.on_init_finished();
    window.show_page(1);
    auto* list = window.volume_page()->findChild<QListView*>("lv_volumes");
    list->setCurrentIndex(list->model()->index(1, 0));
    button_of(window.volume_page(), "btn_scan")->click();
    QVERIFY(boxes.seen.empty());
    QCOMPARE(window.current_page_index(), 1);
}

void tst_app_window::drive_scan_and_partition_back()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    window.on_init_finished();
    window.top_command(2);
    QCOMPARE(window.current_page_index(), 2);

    // The first drive is selected once the lists arrive.
    button_of(window.drive_page(), "btn_scan")->click();
    QCOMPARE(window.current_page_index(), 3);
    // Not search_running(): the search of a drive that is not there may
    // already have ended by now.
    QCOMPARE(window.partition_page()->searched_drive().device_path, QString("/dev/sdb"));

    // Back from the partition page goes to the volume page, search stopped.
    button_of(window.partition_page(), "btn_back")->click();
    QVERIFY(!window.partition_page()->search_running());
    QCOMPARE(window.current_page_index(), 1);
    QVERIFY(boxes.seen.empty());
}

void tst_app_window::drive_scan_header_row()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    window.on_init_finished();
    window.show_page(2);
    auto* list = window.drive_page()->findChild<QListView*>("lv_drives");
    list->setCurrentIndex(list->model()->index(0, 0));
    button_of(window.drive_page(), "btn_scan")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(1));
    QCOMPARE(boxes.seen[0].text, QString("DRIVE HEADER"));
    QVERIFY(!boxes.seen[0].has_parent);
    QCOMPARE(window.current_page_index(), 2);

    // After a refresh no row is current; Scan must not read outside the list.
    button_of(window.drive_page(), "btn_refresh")->click();
    button_of(window.drive_page(), "btn_scan")->click();
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    QCOMPARE(boxes.seen[1].text, QString("DRIVE HEADER"));

    button_of(window.drive_page(), "btn_back")->click();
    QCOMPARE(window.current_page_index(), 0);
}

void tst_app_window::recovery_back_during_scan()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    window.show_page(4);
    window.recovery_page()->scan_session().set_running_for_tests(true);
    QPushButton* back = button_of(window.recovery_page(), "btn_back");

    boxes.answers = {answer_e::no, answer_e::escape, answer_e::close};
    back->click();
    back->click();
    back->click();
    QCOMPARE(boxes.seen.size(), std::size_t(3));
    QCOMPARE(boxes.seen[0].text, QString("LEAVE SCAN?"));
    QCOMPARE(window.current_page_index(), 4);
    QCOMPARE(window.recovery_page()->abandon_calls(), 0);

    boxes.answers = {answer_e::yes};
    back->click();
    QCOMPARE(window.recovery_page()->abandon_calls(), 1);
    QCOMPARE(window.recovery_page()->reset_calls(), 1);
    QCOMPARE(window.current_page_index(), 1);

    // Without a scan there is no question.
    window.recovery_page()->scan_session().set_running_for_tests(false);
    window.show_page(4);
    back->click();
    QCOMPARE(boxes.seen.size(), std::size_t(4));
    QCOMPARE(window.current_page_index(), 1);
    QCOMPARE(window.recovery_page()->reset_calls(), 2);
}

void tst_app_window::top_commands_and_deep_scan()
{
    box_answers_c boxes;
    startup_done = true;
    main_window_c window;
    window.top_command(3);
    QVERIFY(window.deep_scan_chosen());
    QCOMPARE(window.current_page_index(), 1);
    // Text files are offered with the deep scan only, none ticked until asked.
    volume_window_c* volumes = window.volume_page();
    QVERIFY(volumes->text_choice_shown());
    QVERIFY(volumes->chosen_text_types().empty());
    volumes->text_menu()->actions().front()->trigger();
    QCOMPARE(volumes->chosen_text_types().size(), std::size_t(8));
    volumes->text_menu()->actions().front()->trigger();
    volumes->text_menu()->actions().at(3)->trigger();
    QCOMPARE(volumes->chosen_text_types(), std::vector<std::string>{"csv"});
    // The home buttons keep the last top-bar choice.
    window.show_page(0);
    button_of(window.home_page(), "btn_start")->click();
    QVERIFY(window.deep_scan_chosen());
    window.top_command(2);
    QVERIFY(window.deep_scan_chosen());
    window.top_command(1);
    QVERIFY(!window.deep_scan_chosen());
    QVERIFY(!volumes->text_choice_shown());

    // During a scan the move asks first; No stays.
    window.show_page(4);
    window.recovery_page()->scan_session().set_running_for_tests(true);
    boxes.answers = {answer_e::no};
    window.top_command(3);
    QCOMPARE(window.current_page_index(), 4);
    QVERIFY(!window.deep_scan_chosen());
    boxes.answers = {answer_e::yes};
    window.top_command(3);
    QCOMPARE(window.current_page_index(), 1);
    QVERIFY(window.deep_scan_chosen());
}

void tst_app_window::close_during_scan()
{
    box_answers_c boxes;
    main_window_c window;
    window.show();
    window.recovery_page()->scan_session().set_running_for_tests(true);
    boxes.answers = {answer_e::escape, answer_e::no};
    window.on_click_close();
    window.close();
    QVERIFY(window.isVisible());
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    QCOMPARE(boxes.seen[0].text, QString("QUIT?"));
    boxes.answers = {answer_e::yes};
    window.on_click_close();
    QVERIFY(!window.isVisible());
}

void tst_app_window::language_menu()
{
    box_answers_c boxes;
    main_window_c window;
    auto* languages = window.settings_menu()->findChild<QMenu*>("menu_language");
    QVERIFY(languages);
    const QList<QAction*> actions = languages->actions();
    QCOMPARE(actions.size(), 2);
    // Listed from the last entry to the first.
    QCOMPARE(actions[0]->text(), QString("Deutsch"));
    QCOMPARE(actions[0]->data().toInt(), 1);

    actions[1]->trigger();  // English, already current
    QVERIFY(boxes.seen.empty());
    QVERIFY(!settings_store->contains("language"));

    actions[0]->trigger();
    QCOMPARE(boxes.seen.size(), std::size_t(1));
    QCOMPARE(boxes.seen[0].text, QString("NEXT START"));
    QCOMPARE(current_language, QString("Deutsch"));
    QCOMPARE(QSettings(config_dir.filePath("Quarvel.ini"), QSettings::IniFormat).value("language").toString(),
             QString("Deutsch"));
    settings_store->remove("language");
}

void tst_app_window::open_disk_image()
{
    box_answers_c boxes;
    main_window_c window;
    QTemporaryDir dir;

    // Before start-up has finished the lists belong to the start-up thread.
    QCOMPARE(window.open_disk_image_file(dir.filePath("none.img")), -1);
    QCOMPARE(boxes.seen.back().text, QString("STARTUP"));

    startup_done = true;
    window.on_init_finished();
    QCOMPARE(window.open_disk_image_file(dir.filePath("none.img")), -1);
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    QVERIFY2(boxes.seen[1].text.contains("none.img"), qPrintable(boxes.seen[1].text));

    const QString image = dir.filePath("card.img");
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(1 << 20));
    }
    QCOMPARE(window.open_disk_image_file(image), 0);
    QCOMPARE(boxes.seen.size(), std::size_t(2));
    bool listed = false;
    for (const drive_item_s& d : drive_list)
        listed |= d.device_path == image;
    QVERIFY2(listed, "the opened image is in the drive list");

    // A rescue map that covers half the image is refused when it is chosen,
    // named with its reason; the image's own map beside it is read the same way.
    const QString map = dir.filePath("card.log");
    for (const QString& path : {map, image + ".map"}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# made by hand\n0x00000000 +\n0x00000000 0x00080000 +\n");
    }
    QCOMPARE(window.open_disk_image_file(image, map), -1);
    QVERIFY2(boxes.seen.back().text.contains("card.log"), qPrintable(boxes.seen.back().text));
    QCOMPARE(window.open_disk_image_file(image), -1);
    QVERIFY2(boxes.seen.back().text.contains("card.img.map"), qPrintable(boxes.seen.back().text));
    {
        QFile file(image + ".map");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("0x00000000 +\n0x00000000 0x00080000 +\n0x00080000 0x00080000 -\n");
    }
    const std::size_t seen = boxes.seen.size();
    QCOMPARE(window.open_disk_image_file(image), 0);
    QCOMPARE(boxes.seen.size(), seen);

    // Not while a scan runs.
    window.recovery_page()->scan_session().set_running_for_tests(true);
    QCOMPARE(window.open_disk_image_file(image), -1);
}

void tst_app_window::command_line_split()
{
    QTemporaryDir dir;
    QByteArray image = dir.filePath("a.img").toLocal8Bit();
    QByteArray sheet = dir.filePath("look.qss").toLocal8Bit();
    for (const QByteArray& path : {image, sheet}) {
        QFile file(QString::fromLocal8Bit(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QByteArray arg0("quarvel"), platform("-platform"), offscreen("offscreen"), style("-stylesheet"),
        missing("/no/such/file.img"), folder = dir.path().toLocal8Bit();
    char* argv[] = {arg0.data(), platform.data(), offscreen.data(), style.data(), sheet.data(),
                    image.data(), missing.data(), folder.data()};
    const command_line_s line = split_command_line(8, argv);
    QCOMPARE(line.images.size(), std::size_t(1));
    QCOMPARE(QByteArray(line.images[0].c_str()), image);
    QCOMPARE(line.toolkit_args.size(), std::size_t(7));
    QCOMPARE(QByteArray(line.toolkit_args[4]), sheet);  // the style sheet stays with the toolkit
}

// The real start-up thread over a partitioned FAT16 image: the lists reach
// both pages through the queued signal, with the first drive selected.
void tst_app_window::start_up_thread_fills_pages()
{
    QUARVEL_FIXTURE(fat, "fat16");
    QCOMPARE(platform::open_disk_image(fat.image), 0);
    box_answers_c boxes;
    volume_list.clear();
    drive_list.clear();
    main_window_c window;
    init_c init;
    connect(&init, &init_c::init_finished, &window, &main_window_c::on_init_finished);
    init.start(QThread::InheritPriority);
    QVERIFY(init.wait(60000));
    QVERIFY(startup_done);

    auto* volumes = window.volume_page()->findChild<QListView*>("lv_volumes");
    QTRY_VERIFY(volumes->model() != nullptr);
    QVERIFY(volumes->model()->rowCount() >= 2);
    QVERIFY(volume_list[0].dos_device.isEmpty());
    bool fat16 = false;
    for (const volume_item_s& v : volume_list)
        fat16 |= v.file_system == "FAT16" && v.device_path.startsWith(QString::fromStdString(fat.image));
    QVERIFY2(fat16, "the image's FAT16 partition is offered");

    QCOMPARE(window.drive_page()->selected_drive().device_path, QString::fromStdString(fat.image));
    button_of(window.home_page(), "btn_start")->click();
    QCOMPARE(window.current_page_index(), 1);
    QVERIFY(boxes.seen.empty());
}

void tst_app_window::home_page_layout_and_screenshot()
{
    main_window_c window;
    window.resize(800, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const int h = window.home_page()->height();
    QPushButton* start = button_of(window.home_page(), "btn_start");
    QPushButton* resume = button_of(window.home_page(), "btn_resume");
    QCOMPARE(start->geometry(), QRect(40, int(0.45 * h - 106), 330, 106));
    QCOMPARE(resume->geometry(), QRect(425, int(0.45 * h - 106), 323, 106));
    QVERIFY(!window.home_page()->findChild<QWidget*>("lbl_wenzi")->isVisible());
    QVERIFY(start->styleSheet().contains(":/images/multilang/en/btn_start_scan1.png"));
    QVERIFY(QFile::exists(":/images/multilang/en/btn_start_scan3.png"));

    const QImage shot = window.grab().toImage();
    if (const QByteArray path = qgetenv("QUARVEL_SCREENSHOT"); !path.isEmpty())
        shot.save(QString::fromLocal8Bit(path));
    // The page sits inside the window's frame.
    const QPoint page = window.home_page()->mapTo(&window, QPoint(0, 0));
    QCOMPARE(page, QPoint(3, 100));
    // The button pictures are drawn: blue where the start button's face is.
    const QColor face = shot.pixelColor(page + start->geometry().center() + QPoint(-100, 30));
    QVERIFY2(face.blue() > 150 && face.red() < 150, qPrintable(face.name()));
    // The hint texts are painted in their blue over the light panel.
    bool text_pixels = false;
    for (int x = 70; x < 200 && !text_pixels; ++x) {
        for (int y = h - 200; y < h - 186; ++y) {
            const QColor c = shot.pixelColor(page + QPoint(x, y));
            text_pixels |= c.blue() > c.red() + 40 && c.red() < 170;
        }
    }
    QVERIFY(text_pixels);
}

void tst_app_window::button_images_per_language()
{
    language_list = {"English", "Deutsch", "العربية"};
    current_language_index = 1;
    QCOMPARE(home_button_style("btn_start_scan"),
             QString("QPushButton{ border-image: url(:/images/multilang/de/btn_start_scan1.png); }"
                     "QPushButton:hover{ border-image: url(:/images/multilang/de/btn_start_scan2.png);}"
                     "QPushButton:pressed{  border-image: url(:/images/multilang/de/btn_start_scan3.png);}"));
    // Every shipped language has its full set of word-carrying pictures.
    for (const char* code : {"en", "de", "fr", "es", "it", "jp", "cn", "hk", "nl", "pt"}) {
        for (const char* name : {"btn_start_scan", "btn_resume_recovery", "btn_top1", "btn_top2", "btn_top3"}) {
            for (int state = 1; state <= 3; ++state) {
                const QString path = QString(":/images/multilang/%1/%2%3.png").arg(code, name).arg(state);
                QVERIFY2(!QPixmap(path).isNull(), qPrintable(path));
            }
        }
    }
    QCOMPARE(QPixmap(":/images/multilang/fr/btn_resume_recovery2.png").size(), QSize(323, 106));
    QCOMPARE(QPixmap(":/images/multilang/jp/btn_top31.png").size(), QSize(95, 70));
    // A language without pictures of its own borrows the English ones.
    current_language_index = 2;
    QCOMPARE(language_code(), QString("ar"));
    QVERIFY(home_button_style("btn_resume_recovery").contains(":/images/multilang/en/btn_resume_recovery1.png"));
}

QTEST_MAIN(tst_app_window)
#include "tst_app_window.moc"
