// Times the skinned main window's periodic recomposition at 1280 x 800:
//  - the frame and its buttons alone (what the paint event itself adds),
//  - the whole window as its 400 ms repaint draws it (frame, buttons and the
//    page in front), on each of the five pages,
//  - the frame rebuild that follows a resize.
// The budget is 5 ms per frame for the recomposition.
//
//   QT_QPA_PLATFORM=offscreen build/release/bin/bench_skin [ROUNDS]
#include "app/main_window.h"
#include "devices/volume_item.h"
#include "partition/partition_item.h"
#include "platform/drive_table.h"
#include "scan/recovery_base.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct timing_s {
    double mean_ms, worst_ms;
};

template <class F>
timing_s time_rounds(int rounds, F&& work)
{
    work();  // warm caches
    std::vector<double> ms;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    double sum = 0;
    for (double v : ms)
        sum += v;
    return {sum / rounds, *std::max_element(ms.begin(), ms.end())};
}

void report(const char* what, timing_s t, double budget_ms)
{
    std::printf("%-38s mean %7.3f ms  worst %7.3f ms  %s\n", what, t.mean_ms, t.worst_ms,
                budget_ms <= 0 ? "" : t.mean_ms <= budget_ms ? "(within 5 ms)" : "(OVER 5 ms)");
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    init_app_resources();
    register_device_types();
    register_scan_types();
    register_partition_types();
    platform::set_block_devices_enabled(false);
    load_language(QStringLiteral("English"), true);

    main_window_c window;
    window.resize(1280, 800);
    window.show();
    QApplication::processEvents();

    // The target the window system would hand the paint event: ARGB, window-sized.
    QImage target(window.size(), QImage::Format_ARGB32_Premultiplied);
    std::printf("bench_skin: %dx%d, %d rounds\n", window.width(), window.height(), rounds);

    report("frame + buttons (paint event)", time_rounds(rounds, [&] {
               target.fill(Qt::transparent);
               QPainter painter(&target);
               window.compose(painter);
           }),
           5.0);
    static const char* const pages[] = {"home", "volume", "drive", "partition", "recovery"};
    for (int page = 0; page < 5; ++page) {
        window.show_page(page);
        QApplication::processEvents();
        const QByteArray label = QByteArray("whole window, page ") + pages[page];
        report(label.constData(), time_rounds(rounds, [&] {
                   target.fill(Qt::transparent);
                   window.render(&target);
               }),
               5.0);
    }
    bool wide = false;
    report("frame rebuild after a resize", time_rounds(std::max(1, rounds / 4), [&] {
               wide = !wide;
               window.resize(wide ? 1281 : 1280, 800);
               window.updateStyle();
           }),
           0);
    return 0;
}
