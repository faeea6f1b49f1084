// Event-loop stalls of the recovery page on a large volume. A 2 ms timer
// ticks on the window's thread; the longest gap between two ticks is what a
// user feels as the window freezing. Reported per phase: the scan, its end
// (the file list built, the tree shown), opening the largest folder,
// ticking it all, opening "All found files", typing a name filter over
// them, ticking the top folder, and the recovery of the ticked files into a
// temporary folder (only the largest folder's when more than 20,000 are
// ticked). Not a test: it prints numbers.
//
//   bench_gui_stall IMAGE [PARTITION] [--deep] [--list-on-window-thread]
//
// --list-on-window-thread builds the file list on the window's thread
// however large, as before it had a thread of its own: for comparison.
//
// PARTITION defaults to 0 (an image without a partition table, as the
// benchmark images of bench/fat and bench/ntfs are). make_million_image.sh
// makes a FAT32 image of a million deleted files for the scan's end.
#include "app/pages/recovery_window.h"
#include "app/pages/recovery_window_filter.h"
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/desktop.h"
#include "platform/drive_table.h"
#include "results/result_index.h"
#include "results/tree_model.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPainter>
#include <QToolTip>
#include <QTemporaryDir>
#include <QTimer>
#include <QTableView>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

// Records the longest gap between turns of the event loop.
class stall_meter_c {
public:
    stall_meter_c()
    {
        clock.start();
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
        timer.start(2);
    }
    void restart()
    {
        longest = 0;
        last = clock.elapsed();
    }
    // Counts the time since the last tick too, so a phase that ends inside a
    // stall is not flattered.
    qint64 result()
    {
        tick();
        return longest;
    }

private:
    void tick()
    {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    }
    QElapsedTimer clock;
    QTimer timer;
    qint64 last = 0;
    qint64 longest = 0;
};

// Runs the event loop until done() holds.
void spin_until(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

// Stands in for the main window: receives the page's Back button.
class holder_c : public QWidget {
    Q_OBJECT
public slots:
    void on_click_recovery_back() {}
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_gui_stall IMAGE [PARTITION] [--deep] [--list-on-window-thread]\n");
        return 2;
    }
    const QString image = QString::fromLocal8Bit(argv[1]);
    int partition = 0;
    bool deep = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--deep") == 0)
            deep = true;
        else if (std::strcmp(argv[i], "--list-on-window-thread") == 0)
            set_listing_thread_threshold(INT64_MAX);
        else
            partition = std::atoi(argv[i]);
    }

    init_app_resources();
    // QUARVEL_SCREENSHOT_LANGUAGE: a language.ini section other than English.
    const QString language = qEnvironmentVariable("QUARVEL_SCREENSHOT_LANGUAGE");
    // Without its texts the page would be measured and pictured blank.
    const QString wanted = language.isEmpty() ? QStringLiteral("English") : language;
    if (load_language(wanted, true) != 0 ||
        std::find(language_list.begin(), language_list.end(), wanted) == language_list.end()) {
        std::fprintf(stderr, "no %s texts: language.ini is missing next to the program or lacks that language\n",
                     qPrintable(wanted));
        return 1;
    }
    // QUARVEL_SCREENSHOT_DIR: pictures of the page during and after the scan.
    const QString shots = qEnvironmentVariable("QUARVEL_SCREENSHOT_DIR");
    const auto shot = [&shots](QWidget& w, const char* name) {
        if (!shots.isEmpty())
            w.grab().save(shots + "/" + name + ".png");
    };
    register_device_types();
    register_scan_types();
    platform::set_block_devices_enabled(false);
    platform::set_shell_open_enabled(false);
    if (platform::open_disk_image(image.toStdString()) != 0) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    enumerate_volumes();
    startup_done = true;
    const QString device = image + ":p" + QString::number(partition);
    const volume_item_s* volume = nullptr;
    for (const auto& v : volume_list)
        if (v.device_path == device)
            volume = &v;
    if (!volume) {
        std::fprintf(stderr, "no volume %s\n", qPrintable(device));
        return 1;
    }

    set_warning_driver([](QMessageBox& box) { box.buttons().first()->click(); });
    QTemporaryDir out;
    set_path_chooser([&out](path_question_e) { return out.path(); });

    holder_c holder;
    recovery_window_c page(&holder);
    // QUARVEL_SCREENSHOT_WIDTH: the page's width (900 unless set; a window
    // of the first 800 pixels gives it 794).
    page.resize(qEnvironmentVariableIntValue("QUARVEL_SCREENSHOT_WIDTH") > 0 ? qEnvironmentVariableIntValue("QUARVEL_SCREENSHOT_WIDTH") : 900, 600);
    page.show();
    stall_meter_c meter;

    bool handled = false;
    QObject::connect(&page, &recovery_window_c::scan_handled, [&] { handled = true; });
    QElapsedTimer clock;
    clock.start();
    meter.restart();
    if (page.begin_scan(*volume, deep) != 0) {
        std::fprintf(stderr, "the page refused to scan %s (%s)\n", qPrintable(device), qPrintable(volume->file_system));
        return 1;
    }
    // The scan's end is handled inside a slot; measure the scan up to the
    // moment its thread ends, then the handler on its own.
    QTimer::singleShot(300, [&] { shot(page, "bench_page_scanning"); });
    spin_until([&] { return !page.scanner()->isRunning() || handled; });
    const qint64 scan_ms = clock.elapsed();
    const qint64 scan_stall = meter.result();
    meter.restart();
    clock.restart();
    bool listing_shot = false;
    spin_until([&] {
        if (!listing_shot && page.listing()) {
            listing_shot = true;
            shot(page, "bench_page_listing");
        }
        return handled;
    });
    const qint64 end_ms = clock.elapsed();
    const qint64 end_stall = meter.result();
    // The check of deleted files by their content, after the list is shown.
    meter.restart();
    clock.restart();
    if (page.checking_contents())
        shot(page, "bench_page_checking");
    spin_until([&] { return !page.checking_contents(); });
    const qint64 check_ms = clock.elapsed();
    const qint64 check_stall = meter.result();
    // The page takes the last verdicts on its next tick.
    QElapsedTimer settle;
    settle.start();
    spin_until([&] { return settle.elapsed() >= 250; });

    // The folder with the most files.
    auto* tree = page.findChild<QTreeView*>("tv_dirtree");
    auto* tree_model = qobject_cast<TreeModel*>(tree->model());
    const result_index_c* index = page.results();
    if (!tree_model || !index) {
        std::fprintf(stderr, "nothing was found on %s\n", qPrintable(device));
        return 1;
    }
    QModelIndex biggest;
    size_t most = 0;
    std::vector<QModelIndex> pending{tree_model->index(1, 0)};
    while (!pending.empty()) {
        const QModelIndex at = pending.back();
        pending.pop_back();
        if (!at.isValid())
            continue;
        const auto& folder = index->folder(tree_model->item(at)->folder);
        if (folder.files_end - folder.first_file >= most) {
            most = folder.files_end - folder.first_file;
            biggest = at;
        }
        for (int r = 0; r < tree_model->rowCount(at); ++r)
            pending.push_back(tree_model->index(r, 0, at));
    }
    meter.restart();
    clock.restart();
    emit tree->clicked(biggest);
    QCoreApplication::processEvents();
    const qint64 open_ms = clock.elapsed();
    const qint64 open_stall = meter.result();

    meter.restart();
    page.on_check_all(true);
    QCoreApplication::processEvents();
    const qint64 tick_stall = meter.result();
    auto* table = page.findChild<QTableView*>("tv_files");
    if (table && table->model()->rowCount() > 0)
        emit table->clicked(table->model()->index(0, 1));
    shot(page, "bench_page_found");
    // The tooltip on a "#" name: the name the file will be written under.
    // A tooltip is a window of its own; it is drawn onto the page's picture.
    if (!shots.isEmpty() && table) {
        const QString written_as = text_for_key("recovery_written_as").section('%', 0, 0);
        for (int r = 0; r < table->model()->rowCount(); ++r) {
            const QModelIndex cell = table->model()->index(r, 1);
            const QString tip = cell.data(Qt::ToolTipRole).toString();
            if (!tip.startsWith(written_as))
                continue;
            table->scrollTo(cell);
            const QRect rect = table->visualRect(cell);
            const QPoint at = table->viewport()->mapToGlobal(rect.center());
            QToolTip::showText(at, tip, table->viewport(), rect);
            QCoreApplication::processEvents();
            QImage picture = page.grab().toImage();
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->inherits("QTipLabel")) {
                    QPainter painter(&picture);
                    painter.drawPixmap(w->mapToGlobal(QPoint(0, 0)) - page.mapToGlobal(QPoint(0, 0)), w->grab());
                }
            picture.save(shots + "/bench_page_name_tip.png");
            QToolTip::hideText();
            break;
        }
    }

    // Every found file, then a name typed into the filter box key by key,
    // as a person types it; the filter runs once typing pauses.
    meter.restart();
    clock.restart();
    emit tree->clicked(tree_model->index(0, 0));
    QCoreApplication::processEvents();
    const qint64 all_ms = clock.elapsed();
    const qint64 all_stall = meter.result();
    auto* name_field = page.filter_bar()->name_field();
    const QString typed = QStringLiteral("a.");
    meter.restart();
    clock.restart();
    for (int i = 1; i <= typed.size(); ++i) {
        name_field->setText(typed.left(i));
        QElapsedTimer pause;
        pause.start();
        spin_until([&] { return pause.elapsed() >= 80; });
    }
    const int before = table->model()->rowCount();
    spin_until([&] { return table->model()->rowCount() != before || clock.elapsed() > 2000; });
    QCoreApplication::processEvents();
    const qint64 filter_ms = clock.elapsed();
    const qint64 filter_stall = meter.result();
    const int filtered = table->model()->rowCount();
    shot(page, "bench_page_filtered");
    name_field->clear();
    spin_until([&] { return table->model()->rowCount() == int(index->file_count()); });

    // The top folder's box: everything found.
    meter.restart();
    clock.restart();
    tree_model->setData(tree_model->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    QCoreApplication::processEvents();
    const qint64 tick_top_ms = clock.elapsed();
    const qint64 tick_top_stall = meter.result();
    shot(page, "bench_page_ticked");
    const long long ticked_top = static_cast<long long>(index->ticked_count());
    if (index->ticked_count() > 20000) {
        tree_model->setData(tree_model->index(1, 0), Qt::Unchecked, Qt::CheckStateRole);
        tree_model->setData(biggest, Qt::Checked, Qt::CheckStateRole);
        QCoreApplication::processEvents();
    }

    bool recovered = false;
    qint64 written = 0;
    qint64 failed = 0;
    QObject::connect(&page, &recovery_window_c::recovery_done, [&](qint64 w, qint64 f) {
        recovered = true;
        written = w;
        failed = f;
    });
    meter.restart();
    clock.restart();
    page.on_recovery_clicked();
    // While it writes, Recover reads Stop.
    shot(page, "bench_page_recovering");
    spin_until([&] { return recovered; });
    const qint64 recover_ms = clock.elapsed();
    const qint64 recover_stall = meter.result();

    std::printf("volume %s (%s%s), %lld files found, largest folder %zu files\n", qPrintable(device),
                qPrintable(volume->file_system), deep ? ", deep scan" : "",
                static_cast<long long>(page.scanner()->get_found_count()), most);
    std::printf("%-22s %10s %18s\n", "phase", "time ms", "longest stall ms");
    std::printf("%-22s %10lld %18lld\n", "scan", scan_ms, scan_stall);
    std::printf("%-22s %10lld %18lld\n", "scan end (list, tree)", end_ms, end_stall);
    std::printf("%-22s %10lld %18lld\n", "content check", check_ms, check_stall);
    std::printf("%-22s %10lld %18lld\n", "open largest folder", open_ms, open_stall);
    std::printf("%-22s %10s %18lld\n", "tick all", "-", tick_stall);
    std::printf("%-22s %10lld %18lld\n", "all found files", all_ms, all_stall);
    std::printf("%-22s %10lld %18lld   (%d of %u shown)\n", "type a name filter", filter_ms, filter_stall, filtered,
                index->file_count());
    std::printf("%-22s %10lld %18lld   (%lld ticked)\n", "tick the top folder", tick_top_ms, tick_top_stall,
                ticked_top);
    std::printf("%-22s %10lld %18lld   (%lld written, %lld failed)\n", "recovery", recover_ms, recover_stall, written,
                failed);
    return 0;
}

#include "bench_gui_stall.moc"
