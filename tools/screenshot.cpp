// Renders the main window on each of its five pages, the recovery page
// while a volume of the last image named is searched for lost files after
// its listing and after that, hovered and maximised variants of the frame,
// the skinned dialog, the messages of refusals and of a recovery's end, the
// list of failed files and the help window to PNG files, one folder per
// language, so every change to the look can be seen without a display:
//
//   QT_QPA_PLATFORM=offscreen quarvel_screenshot OUT_DIR [--disks] [--image IMG]... [LANGUAGE]...
//
// LANGUAGE is a section name of "language.ini" (default: English, Deutsch,
// 简体中文). Disk images named with --image fill the volume and drive pages;
// the machine's own disks are left out so the pictures do not depend on it,
// unless --disks (run as a user, the disks they may not read show locked).
#include "app/main_window.h"
#include "app/pages/partition_window.h"
#include "app/pages/recovery_window.h"
#include "app/pages/volume_window.h"
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "partition/partition_item.h"
#include "platform/desktop.h"
#include "platform/drive_table.h"
#include "results/failure_text.h"
#include "scan/recovery_base.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "skin/help_dialog.h"
#include "skin/skin_dialog.h"
#include "skin/skin_widget.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <cstdio>

namespace {

bool save_shot(QWidget& widget, const QString& path)
{
    QApplication::processEvents();
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The first FAT, exFAT or NTFS volume of the last disk image named; null
// without one.
const volume_item_s* volume_to_scan()
{
    if (drive_list.size() < 2 || drive_list.back().device_path.isEmpty())
        return nullptr;
    const QString image = drive_list.back().device_path + QStringLiteral(":p");
    for (const volume_item_s& v : volume_list)
        if (v.device_path.startsWith(image) &&
            (v.file_system.startsWith(QLatin1String("FAT")) || v.file_system == QLatin1String("exFAT") ||
             v.file_system == QLatin1String("NTFS")))
            return &v;
    return nullptr;
}

bool shoot_language(const QString& language, const QDir& out)
{
    translation_table.clear();
    load_language(QStringLiteral("English"), false);
    if (load_language(language, true) != 0)
        std::fprintf(stderr, "no language.ini found; texts stay empty\n");
    current_language = language;
    const QString code = language_code();
    if (!out.mkpath(code))
        return false;
    const QDir dir(out.filePath(code));

    bool ok = true;
    main_window_c window;
    window.resize(800, 600);
    window.show();
    window.on_init_finished();
    static const char* const names[] = {"home", "volume", "drive", "partition", "recovery"};
    for (int page = 0; page < 5; ++page) {
        window.show_page(page);
        ok &= save_shot(window, dir.filePath(QStringLiteral("page%1_%2.png").arg(page).arg(names[page])));
    }
    // The partition page after a search of the last image named, with its
    // GPT state when it has one.
    if (drive_list.size() > 1 && !drive_list.back().device_path.isEmpty()) {
        partition_window_c* page = window.partition_page();
        page->start_search(drive_list.back());
        window.show_page(3);
        while (page->search_thread().isRunning())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        QApplication::processEvents();
        ok &= save_shot(window, dir.filePath(QStringLiteral("page3_partition_found.png")));
    }

    // The recovery page while a volume of the last image named is searched
    // for lost folders and records after its listing, and once the search
    // has grown the list.
    if (const volume_item_s* volume = volume_to_scan()) {
        recovery_window_c* page = window.recovery_page();
        // The formatted volume's notice and the deep scan's question.
        set_warning_driver([](QMessageBox& box) { box.done(QMessageBox::No); });
        bool searched_shot = false;
        bool handled = false;
        bool searched = false;
        const QMetaObject::Connection on_listing =
            QObject::connect(page, &recovery_window_c::scan_handled, page, [&] {
                handled = true;
                // Grabbed at once: events let in now could end a short search.
                const QString path = dir.filePath(QStringLiteral("page4_recovery_lost_search.png"));
                if (page->searching_lost_files() && window.grab().save(path)) {
                    searched_shot = true;
                    std::printf("%s\n", qPrintable(path));
                }
            });
        const QMetaObject::Connection on_search =
            QObject::connect(page, &recovery_window_c::lost_search_handled, page, [&] { searched = true; });
        window.show_page(4);
        if (page->begin_scan(*volume, false) == 0) {
            while (!handled || page->searching_lost_files() || page->checking_contents())
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            ok &= searched_shot && searched;
            if (!searched_shot)
                std::fprintf(stderr, "%s: no search for lost files followed the listing\n",
                             qPrintable(volume->device_path));
            ok &= save_shot(window, dir.filePath(QStringLiteral("page4_recovery_lost_found.png")));
            // What the scan skipped, as the summary line's link lists it.
            if (!page->scan_notes_shown().notes.isEmpty()) {
                page->show_notes_list();
                if (auto* notes = page->findChild<QDialog*>(QStringLiteral("dlg_scan_notes"))) {
                    ok &= save_shot(*notes, dir.filePath(QStringLiteral("dialog_scan_notes.png")));
                    notes->close();
                }
            }
        }
        QObject::disconnect(on_listing);
        QObject::disconnect(on_search);
        set_warning_driver(nullptr);
        page->reset_page();
    }

    // The settings menu, with the entries that open disk images.
    QMenu* menu = window.settings_menu();
    menu->popup(QPoint(0, 0));
    QApplication::processEvents();
    ok &= save_shot(*menu, dir.filePath(QStringLiteral("settings_menu.png")));
    menu->hide();

    // The volume page of the deep scan, with its choice of text files: four
    // ticked (as many as longer languages have room for), and the menu open.
    window.top_command(3);
    QMenu* text_menu = window.volume_page()->text_menu();
    for (int i : {2, 3, 4, 5})
        text_menu->actions().at(i)->trigger();
    ok &= save_shot(window, dir.filePath(QStringLiteral("page1_volume_deep.png")));
    text_menu->popup(QPoint(0, 0));
    QApplication::processEvents();
    ok &= save_shot(*text_menu, dir.filePath(QStringLiteral("page1_text_menu.png")));
    text_menu->hide();
    for (int i : {2, 3, 4, 5})
        text_menu->actions().at(i)->trigger();
    window.top_command(1);

    // The frame's buttons in their other states.
    window.show_page(0);
    const auto& buttons = window.skin_buttons();
    buttons[0]->state = button_hover;
    buttons[3]->state = button_hover;
    buttons[6]->state = button_pressed;
    ok &= save_shot(window, dir.filePath(QStringLiteral("frame_buttons.png")));
    for (auto* button : buttons)
        button->state = button_normal;
    window.resize(1100, 720);
    ok &= save_shot(window, dir.filePath(QStringLiteral("frame_1100x720.png")));

    QSkinDialog dialog;
    dialog.resize(500, 300);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(text_for_key("language_warning"), &dialog);
    label->setObjectName(QStringLiteral("lbl_text"));
    label->setWordWrap(true);
    layout->addWidget(label);
    dialog.show();
    ok &= save_shot(dialog, dir.filePath(QStringLiteral("dialog.png")));

    // The longest message a scan ends with: the reason comes from the scanner.
    bool box_ok = false;
    set_warning_driver([&](QMessageBox& box) {
        box_ok = save_shot(box, dir.filePath(QStringLiteral("box_scan_failed.png")));
        box.done(QMessageBox::Ok);
    });
    show_message(&window, QStringLiteral("Quarvel"),
                 text_for_key("scan_failed").arg(QStringLiteral("/dev/sdb1 holds no valid FAT file system (boot sector rejected)")),
                 QMessageBox::Ok);
    // What a scan of a freshly formatted volume ends with.
    bool formatted_ok = false;
    set_warning_driver([&](QMessageBox& box) {
        formatted_ok = save_shot(box, dir.filePath(QStringLiteral("box_formatted_notice.png")));
        box.done(QMessageBox::Ok);
    });
    show_message(&window, QStringLiteral("Quarvel"), text_for_key("lost_formatted_notice"), QMessageBox::Ok);
    ok &= formatted_ok;
    // The second question before a backup goes back onto another disk.
    bool other_disk_ok = false;
    set_warning_driver([&](QMessageBox& box) {
        other_disk_ok = save_shot(box, dir.filePath(QStringLiteral("box_restore_other_disk.png")));
        box.done(QMessageBox::No);
    });
    show_message(&window, QStringLiteral("Quarvel"),
                 text_for_key("partition_restore_other_disk")
                     .arg(QStringLiteral("the backup was taken on 2026-12-07 20:48 from another disk (/dev/sdb): its "
                                         "identity (model \"Ultra Fit\", serial \"4C530001\" then, model "
                                         "\"Cruzer\", serial \"20044318\" now) differs")),
                 QMessageBox::Yes | QMessageBox::No);
    // A disk this account may not open, and a folder nothing can be written
    // into: why, and what to do.
    const std::pair<const char*, QString> refusals[] = {
        {"box_open_refused.png",
         open_refusal_text(platform::open_refusal_e::no_agent, QStringLiteral("/dev/sdb"),
                           QStringLiteral("cannot open /dev/sdb: no password prompt could be shown (no polkit "
                                          "authentication agent runs in this session)"),
                           text_for_key)},
        {"box_output_not_writable.png",
         output_check_text({output_check_s::problem_e::not_writable, QStringLiteral("/media/backup/recovered"),
                            QStringLiteral("Read-only file system"), 0, 0},
                           text_for_key)},
        {"box_output_no_room.png",
         output_check_text({output_check_s::problem_e::no_room, QStringLiteral("/media/stick"), {},
                            uint64_t(3) << 30, uint64_t(700) << 20},
                           text_for_key)}};
    for (const auto& [name, text] : refusals) {
        bool shot = false;
        set_warning_driver([&, name = name](QMessageBox& box) {
            shot = save_shot(box, dir.filePath(QString::fromLatin1(name)));
            box.done(QMessageBox::Ok);
        });
        show_message(&window, QStringLiteral("Quarvel"), text, QMessageBox::Ok);
        ok &= shot;
    }
    // The end of a recovery with failures: its message with the folder and
    // the list to open, and the list.
    bool done_ok = false;
    set_warning_driver([&](QMessageBox& box) {
        done_ok = save_shot(box, dir.filePath(QStringLiteral("box_recovery_done.png")));
        box.done(QMessageBox::Ok);
    });
    show_message_choice(&window, QStringLiteral("Quarvel"), text_for_key("recovery_done").arg(9).arg(3),
                        {text_for_key("recovery_open_folder"), text_for_key("recovery_show_failed")});
    ok &= done_ok;
    set_warning_driver(nullptr);
    const std::vector<failed_file_s> failures = {
        {QStringLiteral("DCIM/100CANON/IMG_0042.JPG"), QStringLiteral("cannot write: No space left on device")},
        {QStringLiteral("Music/track 07.mp3"), QStringLiteral("its clusters run past the end of the volume")},
        {QStringLiteral("#118"), QStringLiteral("no longer listed")}};
    QDialog* failed = window.recovery_page()->show_failed_files(failures, 3);
    ok &= save_shot(*failed, dir.filePath(QStringLiteral("dialog_failed_files.png")));
    failed->close();

    // Help in the program's own window, on the page of this language.
    help_dialog_c help(QSkinWidget::help_page_path(), &window);
    help.show();
    ok &= save_shot(help, dir.filePath(QStringLiteral("help.png")));
    help.browser()->scrollToAnchor(QStringLiteral("failing"));
    ok &= save_shot(help, dir.filePath(QStringLiteral("help_failing.png")));
    help.close();
    return ok && box_ok && other_disk_ok;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    init_app_resources();
    register_device_types();
    register_scan_types();
    register_partition_types();

    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: %s OUT_DIR [--disks] [--image IMG]... [LANGUAGE]...\n", argv[0]);
        return 2;
    }
    const QDir out(args.takeFirst());
    QStringList languages;
    platform::set_block_devices_enabled(false);
    platform::set_shell_open_enabled(false);
    while (!args.isEmpty()) {
        const QString arg = args.takeFirst();
        if (arg == QStringLiteral("--disks")) {
            platform::set_block_devices_enabled(true);
        } else if (arg == QStringLiteral("--image") && !args.isEmpty()) {
            std::string reason;
            const std::string image = QFile::encodeName(args.takeFirst()).toStdString();
            if (platform::open_disk_image(image, &reason) != 0)
                std::fprintf(stderr, "%s: %s\n", image.c_str(), reason.c_str());
        } else {
            languages << arg;
        }
    }
    if (languages.isEmpty())
        languages = {QStringLiteral("English"), QStringLiteral("Deutsch"), QStringLiteral("简体中文")};
    enumerate_volumes();
    enumerate_drives();
    startup_done = true;

    if (!QDir().mkpath(out.path()))
        return 1;
    bool ok = true;
    for (const QString& language : languages)
        ok &= shoot_language(language, out);
    return ok ? 0 : 1;
}
