// bench_results: the result tree and file table on a synthetic NTFS-like
// store of 1,000,000 deleted files in 10,000 folders, one of them holding
// 200,000. Times the tree build, opening the big folder, one sort by name
// and one by size, and painting screens of the big table while scrolling;
// reports the peak resident set. Not a test: it prints numbers.
//
//   QT_QPA_PLATFORM=offscreen build/release/bin/bench_results [files] [folders] [big]
#include "results/header_view.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"
#include "results/table_view.h"
#include "results/tree_model.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/result_tree.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QScrollBar>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/resource.h>

namespace {

using store_t = std::unordered_map<int64_t, ntfs_node_s>;

// A finished NTFS scan without the engine: the store and the scanner's own
// rules for which records are shown as folders and rows.
class synthetic_ntfs_c : public recovery_base_c {
public:
    store_t store;

    void set_volume(const volume_item_s&) override {}
    void reset() override { store.clear(); }
    int recover_file(int64_t, const QString&) override { return -1; }
    bool top_folder(const void** node) const override
    {
        const auto it = store.find(ntfs_recovery_c::root_number);
        *node = it == store.end() ? nullptr : &it->second;
        return *node != nullptr;
    }
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override
    {
        for (const ntfs_node_s* child : static_cast<const ntfs_node_s*>(folder)->children)
            if (ntfs_recovery_c::is_shown_folder(*child))
                out->push_back({child->name, child});
    }
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        for (const ntfs_node_s* child : static_cast<const ntfs_node_s*>(folder)->children)
            if (ntfs_recovery_c::is_shown_file(*child))
                out->push_back(ntfs_recovery_c::row_of(*child));
    }

protected:
    void run_scan() override {}
};

// 100 top folders each holding 99 more; the big folder is the first top
// folder, the other files spread evenly over the rest.
void fill_store(store_t* store, int64_t files, int64_t folders, int64_t big)
{
    std::mt19937_64 random(42);
    store->reserve(size_t(files + folders + 1));
    ntfs_node_s root;
    root.number = root.parent = ntfs_recovery_c::root_number;
    root.flags = ntfs_engine::flag_directory;
    root.name = ".";
    (*store)[root.number] = root;
    const int64_t first_folder = 16;
    const int64_t top_count = std::max<int64_t>(1, folders / 100);
    for (int64_t i = 0; i < folders; ++i) {
        ntfs_node_s f;
        f.number = first_folder + i;
        f.parent = i < top_count ? ntfs_recovery_c::root_number : first_folder + (i % top_count);
        f.flags = ntfs_engine::flag_directory | ntfs_engine::flag_deleted;
        f.name = QStringLiteral("folder %1").arg(i);
        (*store)[f.number] = f;
    }
    const int64_t first_file = first_folder + folders;
    for (int64_t i = 0; i < files; ++i) {
        ntfs_node_s n;
        n.number = first_file + i;
        n.parent = i < big ? first_folder : first_folder + 1 + (i % std::max<int64_t>(1, folders - 1));
        n.flags = ntfs_engine::flag_file | ntfs_engine::flag_deleted | ntfs_engine::flag_engine_extract;
        n.size = int64_t(random() % (64u << 20));
        n.time_a = 1500000000 + int64_t(random() % 200000000);
        n.time_b = n.time_a + int64_t(random() % 1000000);
        n.name = QStringLiteral("IMG_%1.JPG").arg(random() % 100000000, 8, 10, QLatin1Char('0'));
        (*store)[n.number] = n;
    }
    result_tree::link_children(*store);
    result_tree::mark_folders(*store, [](const ntfs_node_s& n) { return bool(n.flags & ntfs_engine::flag_file); });
}

double ms(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e6; }

long peak_rss_mib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    register_scan_types();
    const int64_t files = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const int64_t folders = argc > 2 ? std::atoll(argv[2]) : 10000;
    const int64_t big = argc > 3 ? std::atoll(argv[3]) : 200000;

    synthetic_ntfs_c scanner;
    QElapsedTimer t;
    t.start();
    fill_store(&scanner.store, files, folders, big);
    std::printf("store: %lld files in %lld folders (largest %lld), made and linked in %.0f ms\n", (long long)files,
                (long long)folders, (long long)big, ms(t));

    QTreeView tree;
    t.restart();
    const bool found = install_result_tree(&tree, scanner);
    const double tree_ms = ms(t);
    auto* model = qobject_cast<TreeModel*>(tree.model());
    const TreeItem* big_folder = nullptr;
    for (const TreeItem* item : model->root()->child(0)->children)
        if (item->name == QStringLiteral("folder 0"))
            big_folder = item;
    if (!found || !big_folder) {
        std::fprintf(stderr, "bench_results: the tree has no big folder\n");
        return 1;
    }

    std::vector<recovery_item_s> rows;
    MyQTableView table;
    auto* header = new MyHeaderView(&table);
    setup_file_table(&table, header, new recovery_delegate_c(&table));
    table.resize(900, 600);
    t.restart();
    fill_folder_rows(scanner, big_folder->node, &rows);
    install_table_model(&table, &rows, header);
    const double fill_ms = ms(t);

    auto* files_model = qobject_cast<recovery_model_c*>(table.model());
    t.restart();
    files_model->sort_by_column(1);
    const double sort_name_ms = ms(t);
    t.restart();
    files_model->sort_by_column(2);
    const double sort_size_ms = ms(t);

    // Screens painted at ten places down the table, as a scroll does.
    QImage screen(table.size(), QImage::Format_ARGB32);
    table.render(&screen);
    double worst_paint = 0;
    QScrollBar* bar = table.verticalScrollBar();
    for (int i = 1; i <= 10; ++i) {
        bar->setValue(bar->maximum() / 10 * i);
        t.restart();
        table.render(&screen);
        worst_paint = std::max(worst_paint, ms(t));
    }

    std::printf("tree build (%d folders shown): %.0f ms (aim <= 1000)\n", int(folders), tree_ms);
    std::printf("open the folder of %zu files: %.0f ms (aim <= 100)\n", rows.size(), fill_ms);
    std::printf("sort by name: %.0f ms, by size: %.0f ms (aim <= 300 each)\n", sort_name_ms, sort_size_ms);
    std::printf("worst screen painted while scrolling: %.1f ms\n", worst_paint);
    std::printf("peak RSS: %ld MiB (aim <= 400)\n", peak_rss_mib());
    return 0;
}
