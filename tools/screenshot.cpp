// Renders the main window on each of its five pages, hovered and maximised
// variants of the frame, and the skinned dialog to PNG files, one folder per
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
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "partition/partition_item.h"
#include "platform/drive_table.h"
#include "scan/recovery_base.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "skin/skin_dialog.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
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

    // The settings menu, with the entries that open disk images.
    QMenu* menu = window.settings_menu();
    menu->popup(QPoint(0, 0));
    QApplication::processEvents();
    ok &= save_shot(*menu, dir.filePath(QStringLiteral("settings_menu.png")));
    menu->hide();

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
    set_warning_driver(nullptr);
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
