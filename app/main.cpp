// Quarvel Undelete: the desktop program.
#include "app/arguments.h"
#include "app/init_thread.h"
#include "app/main_window.h"
#include "devices/volume_item.h"
#include "partition/partition_item.h"
#include "platform/drive_table.h"
#include "platform/services.h"
#include "platform/single_instance.h"
#include "platform/udisks_access.h"
#include "scan/recovery_base.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <unistd.h>

namespace {

// An exception that escapes an event handler or a slot ends the program with
// a reason and status 1 rather than an abort in the middle of the toolkit.
class guarded_application_c : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quarvel: internal error: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "quarvel: internal error\n");
        }
        QCoreApplication::exit(1);
        return false;
    }
};

int run_program(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quarvel %s\n", QUARVEL_VERSION);
            return 0;
        }
    }
    command_line_s line = split_command_line(argc, argv);
    // A second start of this user's ends at once; the images it was given
    // go to the running window. The first keeps the lock until it exits.
    platform::single_instance_c instance;
    if (!instance.take()) {
        if (!line.images.empty()) {
            QCoreApplication hand_over_app(argc, argv);
            QStringList images;
            for (const std::string& image : line.images)
                images << QFileInfo(QFile::decodeName(QByteArray::fromStdString(image))).absoluteFilePath();
            if (!instance.hand_over(images))
                std::fprintf(stderr, "quarvel: another copy is running and did not take the images\n");
        }
        return -1;
    }

    load_settings();

    QStringList image_failures;
    for (const std::string& image : line.images) {
        std::string reason;
        if (platform::open_disk_image(image, &reason) != 0) {
            std::fprintf(stderr, "quarvel: %s: %s\n", image.c_str(), reason.c_str());
            image_failures << QString::fromLocal8Bit(image.c_str()) + ": " + QString::fromStdString(reason);
        }
    }

    int toolkit_argc = int(line.toolkit_args.size());
    line.toolkit_args.push_back(nullptr);
    auto app = std::make_unique<guarded_application_c>(toolkit_argc, line.toolkit_args.data());
    // The main window's on_click_* slots are not form auto-connections.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    if (::geteuid() == 0)
        std::fprintf(stderr, "quarvel: %s\n", platform::root_not_needed_note());
    // A disk the person may not read opens through udisks2 when they choose it.
    platform::install_udisks_access();
    init_app_resources();
    register_device_types();
    register_scan_types();
    register_partition_types();

    auto window = std::make_unique<main_window_c>();
    auto init = std::make_unique<init_c>();
    QObject::connect(init.get(), &init_c::init_finished, window.get(), &main_window_c::on_init_finished);
    init->start(QThread::InheritPriority);

    window->restore_window_state();
    window->show();
    // Images a later start was given: opened here, as if named on our own
    // command line.
    QObject::connect(&instance, &platform::single_instance_c::images_handed, window.get(),
                     [&window](const QStringList& images) { window->open_handed_images(images); });
    if (!instance.listen())
        std::fprintf(stderr, "quarvel: later starts cannot hand their images to this window (%s)\n",
                     qPrintable(instance.socket_path()));
    if (!image_failures.isEmpty()) {
        QTimer::singleShot(0, window.get(), [&window, &image_failures] {
            show_message(window.get(), QStringLiteral("Quarvel"),
                         text_for_key("images_not_opened").arg(image_failures.join('\n')),
                         QMessageBox::Ok);
        });
    }
    const int status = app->exec();

    // The start-up thread may still be reading the disks when the window closes early.
    init->wait();
    init.reset();
    window.reset();
    app.reset();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run_program(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarvel: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "quarvel: internal error\n");
    }
    return 1;
}
