// bench_results: the result index, tree and file table on a synthetic
// NTFS-like store of 1,000,000 deleted files in 10,000 folders, one of them
// holding 200,000. Times the index build, the tree, opening the big folder,
// one sort by name and one by size, painting screens of the big table while
// scrolling, a name filter over "All found files", and ticking the top
// folder; reports the peak resident set. Not a test: it prints numbers.
// With --deleted-names every file's name starts with "#" and the scanner
// gives back its first character, as a FAT volume's deleted entries with
// long names do: the index then asks for every row's written name.
//
//   QT_QPA_PLATFORM=offscreen build/release/bin/bench_results [files] [folders] [big] [--deleted-names]
#include "results/header_view.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"
#include "results/result_index.h"
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
#include <cstring>
#include <random>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using store_t = std::unordered_map<int64_t, ntfs_node_s>;

// A finished NTFS scan without the engine: the store and the scanner's own
// rules for which records are shown as folders and rows.
class synthetic_ntfs_c : public recovery_base_c {
public:
    store_t store;

    bool deleted_names = false;

    void set_volume(const volume_item_s&) override {}
    QString written_name(const recovery_item_s& row) const override
    {
        // What the FAT scanner does: the record looked up, its "#" undone.
        const auto it = store.find(row.id);
        if (!deleted_names || it == store.end() || it->second.name != row.name)
            return row.name;
        QString whole = row.name;
        whole[0] = QLatin1Char('I');
        return whole;
    }
    void reset() override { store.clear(); }
    int recover_file(int64_t, const QString&) override { return -1; }
    int64_t get_found_count() const override { return int64_t(store.size()); }
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
        visit_folder_rows(folder, [out](const recovery_item_s& row) { out->push_back(row); });
    }
    void visit_folder_rows(const void* folder, const row_visit_fn& visit) const override
    {
        for (const ntfs_node_s* child : static_cast<const ntfs_node_s*>(folder)->children)
            if (ntfs_recovery_c::is_shown_file(*child))
                visit(ntfs_recovery_c::row_of(*child));
    }

protected:
    void run_scan() override {}
};

// 100 top folders each holding 99 more; the big folder is the first top
// folder, the other files spread evenly over the rest.
void fill_store(store_t* store, int64_t files, int64_t folders, int64_t big, bool deleted_names)
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
        n.name = QStringLiteral("%1MG_%2.JPG")
                     .arg(QLatin1Char(deleted_names ? '#' : 'I'))
                     .arg(random() % 100000000, 8, 10, QLatin1Char('0'));
        (*store)[n.number] = n;
    }
    result_tree::link_children(*store);
    result_tree::mark_folders(*store, [](const ntfs_node_s& n) { return bool(n.flags & ntfs_engine::flag_file); });
}

double ms(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e6; }

// This thread's processor time in ms: on a machine other work shares, the
// clock on the wall flatters nothing and this says what the work itself
// costs.
double cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

long current_rss_mib()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

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
    std::vector<int64_t> numbers;
    bool deleted_names = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--deleted-names") == 0)
            deleted_names = true;
        else
            numbers.push_back(std::atoll(argv[i]));
    }
    const int64_t files = numbers.size() > 0 ? numbers[0] : 1000000;
    const int64_t folders = numbers.size() > 1 ? numbers[1] : 10000;
    const int64_t big = numbers.size() > 2 ? numbers[2] : 200000;

    synthetic_ntfs_c scanner;
    scanner.deleted_names = deleted_names;
    QElapsedTimer t;
    t.start();
    fill_store(&scanner.store, files, folders, big, deleted_names);
    std::printf("store: %lld files in %lld folders (largest %lld), made and linked in %.0f ms\n", (long long)files,
                (long long)folders, (long long)big, ms(t));

    const long store_rss = peak_rss_mib();


    QTreeView tree;
    t.restart();
    double cpu = cpu_ms();
    rusage usage_before{};
    getrusage(RUSAGE_THREAD, &usage_before);
    auto index = std::make_shared<result_index_c>();
    index->build(scanner, row_flags_e::ntfs);
    const double index_ms = ms(t);
    const double index_cpu = cpu_ms() - cpu;
    rusage usage_after{};
    getrusage(RUSAGE_THREAD, &usage_after);
    // The kernel's share is mostly memory faulted in for the index.
    const double index_system_ms = double(usage_after.ru_stime.tv_sec - usage_before.ru_stime.tv_sec) * 1e3 +
                                   double(usage_after.ru_stime.tv_usec - usage_before.ru_stime.tv_usec) / 1e3;
    const long index_faults = usage_after.ru_minflt - usage_before.ru_minflt;
    const long index_rss = peak_rss_mib();
    const long index_held = current_rss_mib();
    t.restart();
    const bool found = install_result_tree(&tree, index);
    const double tree_ms = ms(t);
    auto* model = qobject_cast<TreeModel*>(tree.model());
    const TreeItem* big_folder = nullptr;
    for (const TreeItem* item : model->top_item()->children)
        if (item->name == QStringLiteral("folder 0"))
            big_folder = item;
    if (!found || !big_folder) {
        std::fprintf(stderr, "bench_results: the tree has no big folder\n");
        return 1;
    }

    MyQTableView table;
    auto* header = new MyHeaderView(&table);
    setup_file_table(&table, header, new recovery_delegate_c(&table));
    table.resize(900, 600);
    t.restart();
    install_table_model(&table, new recovery_model_c(index, big_folder->folder), header);
    const double fill_ms = ms(t);
    const int big_rows = table.model()->rowCount();

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

    // Every found file, then a name filter typed over them, then lifted.
    t.restart();
    install_table_model(&table, new recovery_model_c(index, result_index_c::none), header);
    const double all_ms = ms(t);
    const long all_rss = peak_rss_mib();
    auto* all_model = qobject_cast<recovery_model_c*>(table.model());
    result_filter_s filter;
    filter.name = QStringLiteral("img_0001");
    t.restart();
    cpu = cpu_ms();
    all_model->set_filter(filter);
    table.render(&screen);
    const double filter_ms = ms(t);
    const double filter_cpu = cpu_ms() - cpu;
    const int filtered_rows = all_model->rowCount();
    filter.name = QStringLiteral("*_00?1*.jpg");
    t.restart();
    all_model->set_filter(filter);
    const double wildcard_ms = ms(t);
    const int wildcard_rows = all_model->rowCount();
    t.restart();
    all_model->set_filter({});
    const double unfilter_ms = ms(t);
    // Sorting every file by name orders the whole index once; a filter
    // typed afterwards keeps that order.
    t.restart();
    cpu = cpu_ms();
    all_model->sort_by_column(1);
    const double sort_all_ms = ms(t);
    const double sort_all_cpu = cpu_ms() - cpu;
    filter.name = QStringLiteral("img_0001");
    t.restart();
    all_model->set_filter(filter);
    const double sorted_filter_ms = ms(t);
    all_model->set_filter({});

    // The top folder's box: every one of the million rows.
    t.restart();
    cpu = cpu_ms();
    model->setData(tree.model()->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    all_model->refresh_ticks();
    const double tick_ms = ms(t);
    const double tick_cpu = cpu_ms() - cpu;
    const int64_t ticked = index->ticked_count();
    t.restart();
    cpu = cpu_ms();
    all_model->tick_shown(false);
    model->refresh_ticks();
    const double untick_ms = ms(t);
    const double untick_cpu = cpu_ms() - cpu;
    const long end_rss = peak_rss_mib();

    // What walking the store costs on its own, for comparison: every row
    // the tree shows, with its folder, as quarvel-cli listed them before.
    t.restart();
    cpu = cpu_ms();
    const size_t walked = scanner.found_rows().size();
    const double walk_ms = ms(t);
    const double walk_cpu = cpu_ms() - cpu;

    std::printf("times: on the wall clock (processor time of this thread)\n");
    std::printf("walking the store (%zu rows, for comparison): %.0f ms (%.0f)\n", walked, walk_ms, walk_cpu);
    std::printf("index build (%lld rows%s): %.0f ms (%.0f, of it %.0f in the kernel, %ld page faults) (aim <= 300)\n",
                (long long)index->file_count(), deleted_names ? ", every name \"#\" and written otherwise" : "",
                index_ms, index_cpu, index_system_ms, index_faults);
    std::printf("tree build (%d folders shown): %.0f ms (aim <= 1000)\n", int(folders), tree_ms);
    std::printf("open the folder of %d files: %.0f ms (aim <= 100)\n", big_rows, fill_ms);
    std::printf("sort by name: %.0f ms, by size: %.0f ms (aim <= 300 each)\n", sort_name_ms, sort_size_ms);
    std::printf("worst screen painted while scrolling: %.1f ms\n", worst_paint);
    std::printf("open \"All found files\": %.0f ms\n", all_ms);
    std::printf("name filter over all files (%d shown): %.0f ms (%.0f) (aim <= 100); wildcard (%d shown): %.0f ms; "
                "lifted: %.0f ms\n",
                filtered_rows, filter_ms, filter_cpu, wildcard_rows, wildcard_ms, unfilter_ms);
    std::printf("sort all files by name: %.0f ms (%.0f); name filter over them sorted: %.0f ms\n", sort_all_ms, sort_all_cpu,
                sorted_filter_ms);
    std::printf("tick the top folder (%lld rows): %.0f ms (%.0f) (aim <= 100); untick all shown: %.0f ms (%.0f)\n",
                (long long)ticked, tick_ms, tick_cpu, untick_ms, untick_cpu);
    // Past the index, the views' own share: Qt's table keeps a few bytes
    // for every row it shows.
    std::printf("peak RSS: %ld MiB with the store alone, %ld MiB with the index built (%ld held after it), %ld MiB "
                "with the tree and every file listed, %ld MiB at the end (aim <= 300)\n",
                store_rss, index_rss, index_held, all_rss, end_rss);
    return 0;
}
