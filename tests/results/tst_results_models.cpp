// The result tree and file table on real scans of the fixture images (FAT,
// NTFS and a deep scan), checked by QAbstractItemModelTester; a damaged
// store whose folder is its own ancestor; ticking, sorting, the header's
// hit areas, keyboard moves and the delegate's painting.
#include "engines/fat/fat_trust.h"
#include "engines/ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "results/header_view.h"
#include "results/index_build_job.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"
#include "results/result_index.h"
#include "results/row_state.h"
#include "scan/content_pass.h"
#include "results/table_view.h"
#include "results/tree_model.h"
#include "scan/exfat/exfat_recovery.h"
#include "scan/raw/raw_pieces.h"
#include "scan/scan_service.h"
#include "shell/settings.h"
#include "support/fixtures.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <atomic>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <set>

namespace {

bool volume_of(const std::string& image, int partition, volume_item_s* out)
{
    if (platform::open_disk_image(image) != 0)
        return false;
    platform::platform_volume_s v;
    if (!platform::find_volume(image + ":p" + std::to_string(partition), &v))
        return false;
    out->device_path = QString::fromStdString(v.device_path);
    out->file_system = QString::fromStdString(v.file_system);
    out->root_path = QString::fromStdString(v.root_path);
    out->total_bytes = v.total_bytes;
    out->partition_number = v.partition_number;
    out->disk_number = v.disk_number;
    return true;
}

// Every folder item of a tree, depth first.
void collect(const TreeItem* item, std::vector<const TreeItem*>* out)
{
    out->push_back(item);
    for (const TreeItem* child : item->children)
        collect(child, out);
}

// A store whose folder a holds b, and b holds a again: a folder that is its
// own ancestor, as a damaged volume can make.
class looped_scanner_c : public recovery_base_c {
public:
    int top = 0, a = 1, b = 2;
    void set_volume(const volume_item_s&) override {}
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return -1; }
    bool top_folder(const void** node) const override
    {
        *node = &top;
        return true;
    }
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override
    {
        if (folder == &top || folder == &b)
            out->push_back({"a", &a});
        if (folder == &a)
            out->push_back({"b", &b});
    }
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        recovery_item_s row;
        row.name = folder == &a ? "in-a.txt" : "in-b.txt";
        if (folder != &top)
            out->push_back(row);
    }

protected:
    void run_scan() override {}
};

// One folder "/" holding rows, as a scanner's store would.
class flat_scanner_c : public recovery_base_c {
public:
    std::vector<recovery_item_s> rows;
    std::map<QString, QString> whole;  // shown name -> written name
    int top = 0;
    QString written_name(const recovery_item_s& row) const override
    {
        const auto it = whole.find(row.name);
        return it == whole.end() ? row.name : it->second;
    }
    void set_volume(const volume_item_s&) override {}
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return -1; }
    bool top_folder(const void** node) const override
    {
        *node = &top;
        return true;
    }
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        if (folder == &top)
            out->insert(out->end(), rows.begin(), rows.end());
    }

protected:
    void run_scan() override {}
};

// Folders named by their paths, each holding rows with ids of their own.
class tree_scanner_c : public recovery_base_c {
public:
    struct folder_s {
        QString name;
        std::vector<folder_s*> subs;
        std::vector<recovery_item_s> rows;
    };
    std::deque<folder_s> folders{folder_s{"/", {}, {}}};
    int64_t next_id = 100;

    void add(const QString& folder, const QString& name, int64_t size)
    {
        folder_s* at = &folders.front();
        for (const QString& part : folder.split('/', Qt::SkipEmptyParts)) {
            folder_s* next = nullptr;
            for (folder_s* sub : at->subs)
                if (sub->name == part)
                    next = sub;
            if (!next) {
                next = &folders.emplace_back(folder_s{part, {}, {}});
                at->subs.push_back(next);
            }
            at = next;
        }
        recovery_item_s r;
        r.name = name;
        r.size = size;
        r.id = next_id++;
        at->rows.push_back(r);
    }
    void set_volume(const volume_item_s&) override {}
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return -1; }
    bool top_folder(const void** node) const override
    {
        *node = &folders.front();
        return true;
    }
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override
    {
        for (const folder_s* sub : static_cast<const folder_s*>(folder)->subs)
            out->push_back({sub->name, sub});
    }
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        const auto& rows = static_cast<const folder_s*>(folder)->rows;
        out->insert(out->end(), rows.begin(), rows.end());
    }

protected:
    void run_scan() override {}
};

// A store whose first read of a folder's rows waits at a gate: a list
// build caught in the middle.
class gated_scanner_c : public tree_scanner_c {
public:
    mutable QSemaphore entered, gate;
    mutable std::atomic<int> reads{0};
    bool out_of_memory = false;
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        if (out_of_memory && reads > 10)
            throw std::bad_alloc();
        if (reads++ == 0) {
            entered.release();
            gate.acquire();
        }
        tree_scanner_c::folder_rows(folder, out);
    }
};

// A table of the rows (all in "/"), read as a scanner of that kind means
// their flags.
recovery_model_c* flat_model(const std::vector<recovery_item_s>& rows,
                             row_flags_e reading = row_flags_e::attributes)
{
    flat_scanner_c scanner;
    scanner.rows = rows;
    auto index = std::make_shared<result_index_c>();
    index->build(scanner, reading);
    return new recovery_model_c(index, 0);
}

recovery_item_s item(const char* name, int64_t size, int64_t date1)
{
    recovery_item_s r;
    r.name = name;
    r.size = size;
    r.date1 = date1;
    r.date2 = -date1;
    return r;
}

}  // namespace

class tst_results_models : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        register_scan_types();
        platform::set_block_devices_enabled(false);
        const QString source = qEnvironmentVariable("QUARVEL_SOURCE_DIR", QUARVEL_DEFAULT_SOURCE);
        QCOMPARE(load_language_file((source + "/data/language.ini").toStdString(), "English", true), 0);
    }
    void cleanup() { platform::close_disk_images(); }

    void models_on_real_scans_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fat") << "fat";
        QTest::newRow("ntfs") << "ntfs";
        QTest::newRow("raw") << "raw";
    }

    void models_on_real_scans()
    {
        QFETCH(QString, kind);
        volume_item_s volume;
        if (kind == "raw") {
            QUARVEL_FIXTURE(f, "carve");
            QCOMPARE(platform::open_disk_image(f.image), 0);
            volume.device_path = QString::fromStdString(f.image) + ":p0";
            volume.total_bytes = uint64_t(QFileInfo(QString::fromStdString(f.image)).size());
        } else {
            QUARVEL_FIXTURE(f, "demo");
            QVERIFY(volume_of(f.image, kind == "fat" ? 1 : 2, &volume));
        }
        scan_service_c service;
        QString reason;
        QVERIFY2(service.scan_to_end(volume, kind == "raw", &reason) == 0, qPrintable(reason));
        const recovery_base_c& scanner = service.scanner();

        QTreeView tree;
        reset_result_tree(&tree);
        QVERIFY(install_result_tree(&tree, scanner));
        auto* model = qobject_cast<TreeModel*>(tree.model());
        QVERIFY(model);
        QAbstractItemModelTester tree_tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->index(0, 0).data().toString(), text_for_key("tree_all_files"));
        QCOMPARE(model->index(1, 0).data().toString(), QString("/"));
        QCOMPARE(model->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Title"));
        QVERIFY(tree.isExpanded(model->index(1, 0)));
        const auto index = model->result_index();

        // Opening every folder lists exactly the rows the scan found.
        std::vector<const TreeItem*> folders;
        collect(model->top_item(), &folders);
        size_t listed = 0;
        for (const TreeItem* folder : folders) {
            recovery_model_c files(index, folder->folder);
            QAbstractItemModelTester table_tester(&files, QAbstractItemModelTester::FailureReportingMode::QtTest);
            for (int r = 0; r < files.rowCount(); ++r) {
                const recovery_item_s row = index->row(files.file_at(r));
                QCOMPARE(row.checked, 0);
                if (kind == "ntfs")
                    QVERIFY(row.id > 11);
                if (kind == "raw") {
                    QVERIFY2(row.name.contains(QRegularExpression("^\\d{8}\\." + QRegularExpression::escape(folder->name) + "$")),
                             qPrintable(row.name));
                    QCOMPARE(row.date1, 0);
                    QCOMPARE(row.date2, 0);
                }
            }
            if (folder == model->top_item() && kind == "raw")
                QCOMPARE(files.rowCount(), 0);
            if (files.rowCount() > 0) {
                const QVariant whole = files.index(files.rowCount() - 1, 3).data();
                QCOMPARE(whole.value<recovery_item_s>().id, index->id(files.file_at(files.rowCount() - 1)));
            }
            listed += size_t(files.rowCount());
        }
        const auto found = scanner.found_rows();
        QCOMPARE(listed, found.size());
        QVERIFY(listed > 0);

        // "All found files" lists them all with their folders; a filter
        // narrows it under the tester's eye, and lifting it brings all back.
        recovery_model_c all(index, result_index_c::none);
        QAbstractItemModelTester all_tester(&all, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(size_t(all.rowCount()), found.size());
        std::multiset<QString> expected, seen;
        for (const auto& r : found)
            expected.insert(r.folder + '|' + r.item.name);
        for (int r = 0; r < all.rowCount(); ++r)
            seen.insert(all.index(r, 5).data(recovery_model_c::folder_role).toString() + '|' +
                        all.index(r, 1).data().value<recovery_item_s>().name);
        QVERIFY(seen == expected);
        result_filter_s narrow;
        narrow.name = QString(found.front().item.name).toUpper();
        all.set_filter(narrow);
        QVERIFY(all.rowCount() >= 1);
        for (int r = 0; r < all.rowCount(); ++r)
            QVERIFY(index->name(all.file_at(r)).contains(found.front().item.name, Qt::CaseInsensitive));
        all.sort_by_column(2);
        all.set_filter({});
        QCOMPARE(size_t(all.rowCount()), found.size());
    }

    void damaged_store_whose_folder_is_its_own_ancestor()
    {
        looped_scanner_c scanner;
        TreeModel model;
        QVERIFY(model.build(scanner));
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const TreeItem* top = model.top_item();
        QCOMPARE(top->child_count(), 1);
        QCOMPARE(top->child(0)->name, QString("a"));
        QCOMPARE(top->child(0)->child(0)->name, QString("b"));
        QCOMPARE(top->child(0)->child(0)->child_count(), 0);
        QCOMPARE(scanner.found_rows().size(), size_t(2));

        // A store with no top folder: nothing found, the view keeps its model.
        recovery_stop_c nothing;
        QTreeView view;
        reset_result_tree(&view);
        QAbstractItemModel* kept = view.model();
        QVERIFY(!install_result_tree(&view, nothing));
        QCOMPARE(view.model(), kept);
    }

    void ticking_and_sorting()
    {
        std::unique_ptr<recovery_model_c> owned(flat_model({item("b", 10, 5), item("B", -1, 7), item("a", 3, -2)}));
        recovery_model_c& model = *owned;
        const result_index_c& index = *model.result_index();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Size"));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.set_checked(1, 1);
        model.set_checked(1, 0);
        QVERIFY(!index.ticked(model.file_at(1)));
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), model.index(1, 0));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), model.index(1, 0));

        auto names = [&] {
            QString s;
            for (int r = 0; r < model.rowCount(); ++r)
                s += index.name(model.file_at(r));
            return s;
        };
        model.sort_by_column(2);  // smallest first; the size is unsigned
        QCOMPARE(names(), QString("abB"));
        model.sort_by_column(2);
        QCOMPARE(names(), QString("Bba"));
        model.sort_by_column(1);  // case-sensitive: upper case first
        QCOMPARE(names(), QString("Bab"));
        model.sort_by_column(4);
        QCOMPARE(names(), QString("Bba"));
        QCOMPARE(changed.size(), 6);
        QCOMPARE(changed.last().at(1).toModelIndex(), model.index(2, recovery_model_c::column_count - 1));
        model.sort_by_column(0);
        QCOMPARE(changed.size(), 6);

        // Ticking what is shown ticks every row and keeps the order.
        model.tick_shown(true);
        QVERIFY(model.all_shown_ticked());
        QCOMPARE(index.ticked_count(), 3);
        QCOMPARE(names(), QString("Bba"));

        recovery_model_c empty;
        QSignalSpy quiet(&empty, &QAbstractItemModel::dataChanged);
        empty.sort_by_column(2);
        QCOMPARE(quiet.size(), 0);
    }

    // A record keeps every value whole: sizes over 4 GiB and times outside
    // 1970-2106 stand beside it, names of one byte a character and of two
    // sort together as the units do, and a "#" undone comes back.
    void compact_records_keep_every_value()
    {
        flat_scanner_c scanner;
        auto add = [&](const QString& name, int64_t size, int64_t date1, int64_t date2) {
            recovery_item_s r;
            r.name = name;
            r.size = size;
            r.date1 = date1;
            r.date2 = date2;
            r.id = int64_t(scanner.rows.size()) + (int64_t(1) << 62);
            scanner.rows.push_back(r);
        };
        add("#otos.jpg", int64_t(5) << 30, -86400, int64_t(5000000000));
        add(QString::fromUtf8("café.txt"), 0xFFFFFFFFLL, 0xFFFFFFFELL, 1);
        add(QString::fromUtf8("照片.jpg"), 12, 1700000000, 1700000001);
        add(QString::fromUtf8("#été.doc"), 7, 0, 0);
        add("#lanet.txt", 1, 2, 3);
        add("#x", 1, 2, 3);
        scanner.whole["#otos.jpg"] = "Fotos.jpg";
        scanner.whole[QString::fromUtf8("#été.doc")] = QString::fromUtf8("😀été.doc");
        scanner.whole["#lanet.txt"] = "a longer planet.txt";
        result_index_c index;
        QVERIFY(index.build(scanner, row_flags_e::ntfs));
        QCOMPARE(index.file_count(), uint32_t(scanner.rows.size()));
        for (uint32_t i = 0; i < index.file_count(); ++i) {
            const found_row_s back = index.found_row(i);
            const recovery_item_s& in = scanner.rows[i];
            QCOMPARE(back.item.name, in.name);
            QCOMPARE(back.item.id, in.id);
            QCOMPARE(back.item.size, in.size);
            QCOMPARE(back.item.date1, in.date1);
            QCOMPARE(back.item.date2, in.date2);
            QCOMPARE(back.folder, QString("/"));
            const QString whole = scanner.written_name(in);
            QCOMPARE(index.written_name(i), whole == in.name ? QString() : whole);
        }
        std::vector<uint32_t> order{0, 1, 2, 3, 4, 5};
        index.sort_files(&order, 1, true);
        for (size_t i = 1; i < order.size(); ++i)
            QVERIFY(QStringView(scanner.rows[order[i - 1]].name) < QStringView(scanner.rows[order[i]].name));
        index.sort_files(&order, 2, true);
        QCOMPARE(order.back(), 0u);
        index.sort_files(&order, 3, true);
        QCOMPARE(order.front(), 0u);
        index.set_ticked(0, true);
        index.set_ticked(1, true);
        QCOMPARE(index.ticked_bytes(), (uint64_t(5) << 30) + 0xFFFFFFFFULL);
    }

    // Ids keep their high half in runs beside the records and common
    // extensions are kept once for every name: ids, names and groups come
    // back as they went in (past the table's room too), names sort as their
    // units do across where an extension starts, and the writer's look-up
    // tells apart ids that share a low half.
    void ids_and_extensions_kept_apart()
    {
        flat_scanner_c scanner;
        const std::vector<int64_t> ids{7, (int64_t(1) << 32) + 7, 8, -1, INT64_MAX, (int64_t(1) << 62) | 5, 9};
        QStringList names{"a.jpg", "a.jp", "a.jpgx", "a.jpeg1234", "noext", "dot.", QString::fromUtf8("É.été")};
        for (int i = 0; i < 300; ++i)
            names << QString("f.e%1").arg(i);
        for (qsizetype i = 0; i < names.size(); ++i) {
            recovery_item_s r;
            r.name = names[i];
            r.id = size_t(i) < ids.size() ? ids[size_t(i)] : 1000 + i;
            scanner.rows.push_back(r);
        }
        auto index = std::make_shared<result_index_c>();
        QVERIFY(index->build(scanner, row_flags_e::ntfs));
        QCOMPARE(index->file_count(), uint32_t(names.size()));
        std::vector<uint32_t> order;
        for (uint32_t i = 0; i < index->file_count(); ++i) {
            QCOMPARE(index->name(i), names[i]);
            QCOMPARE(index->id(i), scanner.rows[i].id);
            QCOMPARE(index->group(i), group_of_name(names[i]));
            QCOMPARE(index->find_id(scanner.rows[i].id), i);
            order.push_back(i);
        }
        index->sort_files(&order, 1, true);
        for (size_t i = 1; i < order.size(); ++i)
            QVERIFY(QStringView(names[order[i - 1]]) < QStringView(names[order[i]]));
        const row_lookup_fn lookup = index_row_lookup(index);
        found_row_s row;
        QVERIFY(lookup(ids[5], &row));
        QCOMPARE(row.item.name, names[5]);
        QVERIFY(lookup(ids[1], &row));  // behind the last one found
        QCOMPARE(row.item.name, names[1]);
        QVERIFY(!lookup(int64_t(1) << 40, &row));
    }

    // Sorting by name goes by short keys and reads names only on a tie: the
    // order is still the ordinal one with equal names in file order, for
    // names alike over their first eight units and more, mixed case, units
    // around 0xFF, beyond Latin-1 and surrogates; also with enough files
    // that they are spread by byte first, both ways, and from a shuffled
    // order kept where names are equal.
    void name_order_by_keys()
    {
        const QStringList tricky{"IMG_00000001.JPG", "IMG_00000001.jpg", "img_00000001.JPG", "IMG_0000000", "IMG_",
                                 QString::fromUtf8("IMG_\u00ff1"), QString::fromUtf8("IMG_\u01001"),
                                 QString::fromUtf8("IMG_\u00fe\u00ff"), QString::fromUtf8("写真_0001.jpg"),
                                 QString::fromUtf8("IMG_\U0001F600.png"), QString::fromUtf8("IMG_\uFFFD.png"), "same.txt",
                                 "same.txt", "Same.txt", ""};
        flat_scanner_c scanner;
        std::vector<QString> names;
        for (int i = 0; i < 135000; ++i) {
            const QString& t = tricky[i % tricky.size()];
            names.push_back(i % 3 ? t + QString::number(i % 977) : t);
            recovery_item_s r;
            r.name = names.back();
            r.id = i;
            scanner.rows.push_back(r);
        }
        result_index_c index;
        QVERIFY(index.build(scanner, row_flags_e::ntfs));
        std::vector<uint32_t> want(names.size());
        for (uint32_t i = 0; i < want.size(); ++i)
            want[i] = i;
        const auto up = [&](uint32_t a, uint32_t b) { return QStringView(names[a]).compare(QStringView(names[b])) < 0; };
        const auto down = [&](uint32_t a, uint32_t b) { return up(b, a); };
        std::vector<uint32_t> all = want;
        std::stable_sort(want.begin(), want.end(), up);
        QVERIFY(index.order_by(1) == want);
        std::stable_sort(all.begin(), all.end(), down);
        std::vector<uint32_t> got(names.size());
        for (uint32_t i = 0; i < got.size(); ++i)
            got[i] = i;
        index.sort_files(&got, 1, false, true);
        QVERIFY(got == all);

        std::vector<uint32_t> shuffled;
        for (uint32_t i = 0; i < 3000; ++i)
            shuffled.push_back((i * 7919u) % 3001u);
        want = shuffled;
        std::stable_sort(want.begin(), want.end(), up);
        index.sort_files(&shuffled, 1, true, true);
        QVERIFY(shuffled == want);
    }

    // When most names have their "#" undone (a FAT card's deleted files),
    // the units put back are kept a unit a file: every written name still
    // comes back, those of two units and those of other kinds too.
    void many_undone_names()
    {
        flat_scanner_c scanner;
        for (int i = 0; i < 3000; ++i) {
            recovery_item_s r;
            r.name = QString("#MG_%1.JPG").arg(i);
            r.id = i;
            scanner.rows.push_back(r);
            if (i % 5 == 4)
                continue;  // not undone
            scanner.whole[r.name] = i % 700 == 3   ? QString::fromUtf8("😀") + r.name.mid(1)
                                    : i % 900 == 1 ? "other " + r.name
                                                   : QString(QChar(u'A' + i % 26)) + r.name.mid(1);
        }
        result_index_c index;
        QVERIFY(index.build(scanner, row_flags_e::attributes));
        for (uint32_t i = 0; i < index.file_count(); ++i) {
            const auto it = scanner.whole.find(scanner.rows[i].name);
            QCOMPARE(index.written_name(i), it == scanner.whole.end() ? QString() : it->second);
        }

        // The name filter finds a row by the name it is shown under and by
        // the one it will be written under; other criteria still hold.
        const auto passing = [&](const QString& pattern, int64_t min_size = -1) {
            result_filter_s f;
            f.name = pattern;
            f.min_size = min_size;
            const compiled_filter_c compiled(f);
            std::set<int64_t> ids;
            for (uint32_t i = 0; i < index.file_count(); ++i)
                if (index.passes(i, compiled))
                    ids.insert(scanner.rows[i].id);
            return ids;
        };
        QCOMPARE(passing("bmg_27.jpg"), (std::set<int64_t>{27}));     // written "BMG_27.JPG"
        QCOMPARE(passing("#MG_27.JPG"), (std::set<int64_t>{27}));     // shown
        QCOMPARE(passing("?MG_24.*"), (std::set<int64_t>{24}));       // shown only: not undone
        QCOMPARE(passing("AMG_24.JPG"), (std::set<int64_t>{}));
        QCOMPARE(passing("other #MG_1.JPG"), (std::set<int64_t>{1}));
        QCOMPARE(passing("bmg_27*", 1), (std::set<int64_t>{}));       // size 0 fails whatever the name
    }

    // The list built on a thread of its own is handed back on this one;
    // stopped, it hands back nothing and the store is read no more.
    void index_built_off_the_window_thread()
    {
        gated_scanner_c scanner;
        for (int i = 0; i < 50; ++i)
            scanner.add(QString("/d%1").arg(i), "f.txt", i);
        index_build_job_c job;
        int calls = 0;
        std::shared_ptr<result_index_c> got;
        QString failure;
        const auto done = [&](std::shared_ptr<result_index_c> built, const QString& why) {
            ++calls;
            got = std::move(built);
            failure = why;
        };
        job.start(scanner, row_flags_e::attributes, done);
        QVERIFY(job.running());
        QVERIFY(scanner.entered.tryAcquire(1, 10000));
        scanner.gate.release(1000);
        job.stop();
        const int reads = scanner.reads;
        QVERIFY(!job.running());
        QCoreApplication::processEvents();
        QCOMPARE(calls, 0);
        QCOMPARE(scanner.reads.load(), reads);

        job.start(scanner, row_flags_e::attributes, done);
        QTRY_VERIFY(!job.running());
        QCOMPARE(calls, 1);
        QVERIFY(got);
        QVERIFY(failure.isEmpty());
        QCOMPARE(got->file_count(), 50u);
        QCOMPARE(got->folder_count(), 51u);

        // Memory running out on the way fails the build, not the program.
        scanner.out_of_memory = true;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ran out of memory"));
        job.start(scanner, row_flags_e::attributes, done);
        QTRY_VERIFY(!job.running());
        QCOMPARE(calls, 2);
        QVERIFY(!got);
        QVERIFY2(failure.contains("the file list"), qPrintable(failure));
    }

    // Ticks live in the index: they survive opening another folder,
    // sorting and filtering; a folder's box ticks its whole subtree and
    // shows a partial state; the writer gets ids with their folders.
    void selection_across_folders()
    {
        tree_scanner_c scanner;
        for (int i = 1; i <= 8; ++i)
            scanner.add("/DCIM/100CANON", QString("IMG_%1.JPG").arg(i), 1000 * i);
        scanner.add("/DCIM/100CANON/deeper", "clip.mov", 7);
        for (const char* song : {"a.mp3", "b.mp3", "c.mp3"})
            scanner.add("/Music", song, 5);
        scanner.add("/", "notes.txt", 1);
        TreeModel tree;
        QVERIFY(tree.build(scanner));
        QAbstractItemModelTester tree_tester(&tree, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const auto index = tree.result_index();
        QCOMPARE(index->file_count(), 13u);
        const uint32_t canon = index->folder_at_path(u"/DCIM/100CANON/");
        const uint32_t music = index->folder_at_path(u"/Music");
        QVERIFY(canon != result_index_c::none && music != result_index_c::none);
        // Every file by folder: folders in the order of their paths, then names.
        recovery_model_c by_folder(index, result_index_c::none);
        by_folder.sort_by_column(recovery_model_c::folder_column);
        for (int r = 1; r < by_folder.rowCount(); ++r) {
            const uint32_t a = by_folder.file_at(r - 1), b = by_folder.file_at(r);
            const QString pa = index->folder_path_of(a), pb = index->folder_path_of(b);
            QVERIFY(pa < pb || (pa == pb && index->name(a) < index->name(b)));
        }
        QCOMPARE(index->folder_path_of(by_folder.file_at(0)), QString("/"));

        // The tree's box on 100CANON takes its subfolder too; DCIM is then
        // whole, the top only partly.
        QModelIndex top = tree.index(1, 0);
        QModelIndex dcim, canon_at;
        for (int r = 0; r < tree.rowCount(top); ++r)
            if (tree.index(r, 0, top).data().toString() == "DCIM")
                dcim = tree.index(r, 0, top);
        canon_at = tree.index(0, 0, dcim);
        QSignalSpy ticked(&tree, &TreeModel::ticks_changed);
        QVERIFY(tree.setData(canon_at, Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(ticked.size(), 1);
        QCOMPARE(index->ticked_count(), 9);
        QCOMPARE(dcim.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
        QCOMPARE(top.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::PartiallyChecked);
        QVERIFY(tree.index(0, 0).data(Qt::CheckStateRole).isNull());  // "All found files" has no box

        // Untick the clip, open Music and tick one song, go back: the eight
        // photos are still ticked, in any sort order and through a filter.
        recovery_model_c deeper(index, index->folder_at_path(u"/DCIM/100CANON/deeper"));
        deeper.set_checked(0, 0);
        recovery_model_c songs(index, music);
        songs.sort_by_column(1);
        songs.set_checked(1, 1);
        recovery_model_c photos(index, canon);
        QVERIFY(photos.all_shown_ticked());
        photos.sort_by_column(2);
        photos.sort_by_column(2);
        QVERIFY(photos.all_shown_ticked());
        QCOMPARE(index->ticked_count(), 9);
        QCOMPARE(index->ticked_bytes(), uint64_t(36000 + 5));

        // Filtering never drops a hidden row's tick; ticking what is shown
        // touches exactly the rows shown.
        result_filter_s big;
        big.min_size = 5000;
        photos.set_filter(big);
        QCOMPARE(photos.rowCount(), 4);
        photos.tick_shown(false);
        QCOMPARE(index->ticked_count(), 5);
        photos.set_filter({});
        QCOMPARE(photos.rowCount(), 8);
        QCOMPARE(top.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::PartiallyChecked);

        // The writer gets ids, and finds each one's row and folder.
        const std::vector<int64_t> ids = index->selected_ids();
        QCOMPARE(ids.size(), size_t(5));
        const row_lookup_fn lookup = index_row_lookup(index);
        found_row_s row;
        QVERIFY(lookup(ids.back(), &row));
        QCOMPARE(row.folder, QString("/Music"));
        QCOMPARE(row.item.name, QString("b.mp3"));
        QVERIFY(!lookup(999999, &row));
    }

    void header_hit_areas_and_keyboard()
    {
        std::vector<recovery_item_s> rows;
        for (int i = 0; i < 6; ++i)
            rows.push_back(item("f", i, i));
        MyQTableView table;
        auto* header = new MyHeaderView(&table);
        setup_file_table(&table, header, new recovery_delegate_c(&table));
        install_table_model(&table, flat_model(rows), header);
        table.resize(700, 300);
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        QCOMPARE(header->sizeHint().height(), 24);
        QCOMPARE(header->sectionSize(0), 33);
        // The name column takes what the others leave, never less than 235.
        const auto all_sections = [&] {
            int sum = 0;
            for (int c = 0; c < header->count(); ++c)
                sum += header->isSectionHidden(c) ? 0 : header->sectionSize(c);
            return sum;
        };
        QVERIFY(header->sectionSize(1) > 235);
        QCOMPARE(all_sections(), table.viewport()->width());
        const int at_700 = header->sectionSize(1);
        table.resize(900, 300);
        QTRY_COMPARE(header->sectionSize(1), at_700 + 200);
        table.resize(300, 300);
        QTRY_COMPARE(header->sectionSize(1), 235);
        table.resize(700, 300);
        QTRY_COMPARE(header->sectionSize(1), at_700);

        QSignalSpy ticks(header, &MyHeaderView::check_all);
        QSignalSpy sorts(header, &MyHeaderView::sort_column);
        const int w0 = header->sectionSize(0), w1 = header->sectionSize(1), w2 = header->sectionSize(2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(w0, 5));
        QCOMPARE(ticks.size(), 1);
        QCOMPARE(ticks.at(0).at(0).toBool(), true);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(w0 + w1, 5));
        QCOMPARE(sorts.size(), 0);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(w0 + w1 - 1, 5));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(w0 + w1 + w2 / 2, 5));
        QCOMPARE(sorts.size(), 2);
        QCOMPARE(sorts.at(0).at(0).toInt(), 1);
        QCOMPARE(sorts.at(1).at(0).toInt(), 2);
        // Opening a folder sets the box to what its rows say.
        install_table_model(&table, flat_model(rows), header);
        QVERIFY(!header->check_all_state());

        // The keyboard acts as a click on every row reached.
        QSignalSpy clicks(&table, &QAbstractItemView::clicked);
        table.setCurrentIndex(table.model()->index(0, 0));
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(&table, Qt::Key_Down);
        QCOMPARE(clicks.size(), 3);
        QCOMPARE(clicks.at(2).at(0).toModelIndex().row(), 3);
        QCOMPARE(clicks.at(2).at(0).toModelIndex().column(), 0);
    }

    void end_of_recovery_message_in_every_language()
    {
        const QString file = qEnvironmentVariable("QUARVEL_SOURCE_DIR", QUARVEL_DEFAULT_SOURCE) + "/data/language.ini";
        for (const char* name : {"English", "Deutsch", "Español", "Français", "Italiano", "日本語", "简体中文", "繁體中文",
                                 "Nederlands", "Português"}) {
            QCOMPARE(load_language_file(file.toStdString(), QString::fromUtf8(name), false), 0);
            const QString text = text_for_key("recovery_done");
            QVERIFY2(text.contains("%1") && text.contains("%2"), name);
            QVERIFY(!text.arg(3).arg(1).contains('%'));
            for (const char* key : {"row_state_partial", "row_state_incomplete", "row_state_overwritten",
                                    "row_state_uncertain", "row_state_partial_tip", "row_state_incomplete_tip",
                                    "row_state_overwritten_tip", "row_state_uncertain_tip", "row_state_exact_tip",
                                    "row_state_chain_tip", "recovery_written_as"})
                QVERIFY2(!text_for_key(key).isEmpty(), key);
        }
        QCOMPARE(load_language_file(file.toStdString(), "English", true), 0);
    }

    // What the scanner knows about a copy's trust reaches the table: the
    // state role, the tooltip, a tag beside the name, and it survives tick-all.
    void row_trust_in_the_table()
    {
        auto flagged = [](const char* name, int32_t flags) {
            recovery_item_s r = item(name, 100, 0);
            r.flags = flags;
            return r;
        };
        std::vector<recovery_item_s> rows = {
            flagged("exact", exfat_row_deleted | exfat_row_contiguous),
            flagged("chain", exfat_row_from_fat),
            flagged("guess", exfat_row_from_free_clusters),
            flagged("reused", exfat_row_from_free_clusters | exfat_row_overwritten),
            flagged("short", exfat_row_from_fat | exfat_row_overwritten | exfat_row_incomplete),
            flagged("plain", exfat_row_deleted),
        };
        const row_state_e expected[] = {row_state_e::exact,       row_state_e::chain_kept, row_state_e::uncertain,
                                        row_state_e::overwritten, row_state_e::incomplete, row_state_e::unknown};
        MyQTableView table;
        auto* header = new MyHeaderView(&table);
        setup_file_table(&table, header, new recovery_delegate_c(&table));
        install_table_model(&table, flat_model(rows, row_flags_e::exfat), header);
        QAbstractItemModelTester tester(table.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int r = 0; r < int(rows.size()); ++r) {
            const QModelIndex at = table.model()->index(r, 2);
            QCOMPARE(row_state_e(at.data(recovery_model_c::row_state_role).toInt()), expected[r]);
            QCOMPARE(at.data(Qt::ToolTipRole).toString(), row_state_explanation(expected[r]));
        }
        QVERIFY(table.model()->index(5, 1).data(Qt::ToolTipRole).isNull());
        QCOMPARE(row_state_explanation(row_state_e::incomplete), text_for_key("row_state_incomplete_tip"));
        qobject_cast<recovery_model_c*>(table.model())->tick_shown(true);
        QCOMPARE(row_state_e(table.model()->index(4, 1).data(recovery_model_c::row_state_role).toInt()),
                 row_state_e::incomplete);

        // The same bit is read-only on FAT and partial on a deep scan.
        std::vector<recovery_item_s> bit0 = {flagged("readonly.txt", raw_row_partial)};
        QCOMPARE(std::unique_ptr<recovery_model_c>(flat_model(bit0))->state_of(0), row_state_e::unknown);
        std::unique_ptr<recovery_model_c> deep(flat_model(bit0, row_flags_e::deep_scan));
        QCOMPARE(deep->state_of(0), row_state_e::partial);
        QCOMPARE(deep->index(0, 1).data(Qt::ToolTipRole).toString(), text_for_key("row_state_partial_tip"));
        // A "#" the scanner can undo: the name's tooltip tells the written
        // name, before the copy's state; a "#" truly lost says nothing.
        {
            flat_scanner_c scanner;
            scanner.rows = {flagged("#eport.txt", raw_row_partial), flagged("#LAIN.TXT", 0)};
            scanner.whole["#eport.txt"] = "Report.txt";
            auto index = std::make_shared<result_index_c>();
            index->build(scanner, row_flags_e::deep_scan);
            recovery_model_c model(index, 0);
            QCOMPARE(model.index(0, 1).data(Qt::ToolTipRole).toString(),
                     text_for_key("recovery_written_as").arg("Report.txt") + "\n\n" +
                         text_for_key("row_state_partial_tip"));
            QCOMPARE(model.index(0, 2).data(Qt::ToolTipRole).toString(), text_for_key("row_state_partial_tip"));
            QVERIFY(model.index(1, 1).data(Qt::ToolTipRole).isNull());
            QVERIFY(!text_for_key("recovery_written_as").isEmpty());
        }
        // On FAT the bits above the attribute byte say how the run of
        // clusters was judged; an NTFS row's high engine bit says nothing.
        std::vector<recovery_item_s> fat_rows = {flagged("a", 0x21 | fat_attr_deleted | fat_row_overwritten),
                                                 flagged("b", 0x20 | fat_row_uncertain),
                                                 flagged("c", 0x20 | fat_row_incomplete),
                                                 flagged("d", 0x20 | fat_row_chain_kept),
                                                 flagged("e", int32_t(0x80000082u))};
        std::unique_ptr<recovery_model_c> fat(flat_model(fat_rows));
        QCOMPARE(fat->state_of(0), row_state_e::overwritten);
        QCOMPARE(fat->state_of(1), row_state_e::uncertain);
        QCOMPARE(fat->state_of(2), row_state_e::incomplete);
        QCOMPARE(fat->state_of(3), row_state_e::chain_kept);
        QCOMPARE(fat->state_of(4), row_state_e::unknown);
        // What the content check found outranks the guess it checked, on FAT
        // and exFAT alike; a damaged row's tooltip tells the sound share.
        const int32_t share_62 = int32_t(63u << row_content_share_shift);
        std::vector<recovery_item_s> checked_rows = {
            flagged("v.jpg", 0x20 | fat_row_uncertain | row_content_verified),
            flagged("r.jpg", 0x20 | fat_row_uncertain | fat_row_gaps_skipped | row_content_rebuilt),
            flagged("d.jpg", 0x20 | fat_row_uncertain | row_content_damaged | share_62),
            flagged("o.jpg", 0x20 | fat_row_overwritten | row_content_verified)};
        std::unique_ptr<recovery_model_c> checked(flat_model(checked_rows));
        QCOMPARE(checked->state_of(0), row_state_e::verified);
        QCOMPARE(checked->state_of(1), row_state_e::rebuilt);
        QCOMPARE(checked->state_of(2), row_state_e::damaged);
        QCOMPARE(checked->state_of(3), row_state_e::overwritten);
        QCOMPARE(checked->index(2, 2).data(Qt::ToolTipRole).toString(),
                 text_for_key("row_state_damaged_tip") + " " + text_for_key("row_state_damaged_share").arg(62));
        QCOMPARE(row_state(row_flags_e::exfat, exfat_row_from_free_clusters | row_content_rebuilt), row_state_e::rebuilt);
        QCOMPARE(row_state_name(row_state_e::rebuilt), std::string("put back together"));
        QCOMPARE(row_state_name(row_state_e::damaged, checked_rows[2].flags), std::string("damaged, first 62 % intact"));
        QCOMPARE(row_state_name(row_state_e::damaged, row_content_damaged), std::string("damaged"));
        QCOMPARE(row_state_line(row_state_e::damaged, checked_rows[2].flags),
                 text_for_key("row_state_damaged") + " – " + text_for_key("row_state_damaged_part").arg(62));
        QVERIFY(text_for_key("row_state_damaged_part").at(0).isLower());
        // An NTFS row says only whether its clusters were taken since or its
        // runs fall short; the bits FAT uses for guesses mean nothing there.
        using namespace ntfs_engine;
        const int32_t deleted = int32_t(flag_file | flag_deleted | flag_engine_extract);
        std::vector<recovery_item_s> ntfs_rows = {
            flagged("a", deleted | int32_t(flag_data_overwritten)),
            flagged("b", deleted | int32_t(flag_data_overwritten | flag_data_incomplete)),
            flagged("c", deleted | fat_row_uncertain | fat_row_chain_kept),
            flagged("d", deleted | int32_t(flag_data_in_record)),
            flagged("e.png", deleted | row_content_verified),
            flagged("f.png", (deleted & ~int32_t(flag_engine_extract)) | row_content_damaged | share_62),
            flagged("g", int32_t(flag_file | flag_engine_extract))};
        std::unique_ptr<recovery_model_c> ntfs(flat_model(ntfs_rows, row_flags_e::ntfs));
        QCOMPARE(ntfs->state_of(0), row_state_e::overwritten);
        QCOMPARE(ntfs->state_of(1), row_state_e::incomplete);
        // Free clusters alone say nothing of what they hold now.
        QCOMPARE(ntfs->state_of(2), row_state_e::not_contradicted);
        QCOMPARE(row_state_name(row_state_e::not_contradicted), std::string("not contradicted"));
        QVERIFY(!row_state_doubtful(row_state_e::not_contradicted));
        QCOMPARE(ntfs->state_of(3), row_state_e::exact);
        QCOMPARE(ntfs->state_of(4), row_state_e::verified);
        QCOMPARE(ntfs->state_of(5), row_state_e::damaged);
        QCOMPARE(row_state_name(row_state_e::damaged, ntfs_rows[5].flags), std::string("damaged, first 62 % intact"));
        QCOMPARE(ntfs->state_of(6), row_state_e::unknown);

        // The doubtful rows carry a tag at the name cell's right end, the
        // others none; the name gives way to it.
        std::vector<recovery_item_s> painted = {
            flagged("a-very-long-file-name-that-would-run-under-the-tag-of-its-row.jpg", raw_row_partial),
            flagged("whole.jpg", 0)};
        install_table_model(&table, flat_model(painted, row_flags_e::deep_scan), header);
        table.resize(700, 200);
        QImage image(table.size(), QImage::Format_ARGB32);
        table.render(&image);
        auto tag_pixels = [&](int row) {
            const QRect cell = table.visualRect(table.model()->index(row, 1)).translated(table.viewport()->pos());
            int found = 0;
            for (int x = cell.left(); x <= cell.right(); ++x)
                found += image.pixelColor(x, cell.center().y() - 4) == QColor(253, 234, 232);
            return found;
        };
        QVERIFY(tag_pixels(0) > 10);
        QCOMPARE(tag_pixels(1), 0);
        if (!qEnvironmentVariableIsEmpty("QUARVEL_RESULTS_PNG"))
            image.save(qEnvironmentVariable("QUARVEL_RESULTS_PNG") + ".trust.png");
    }

    void delegate_paints_stripes_and_dates()
    {
        qputenv("TZ", "UTC");
        tzset();
        QCOMPARE(date_cell_text(0), QString());
        QCOMPARE(date_cell_text(31536000), QString("1971-01-01"));
        QCOMPARE(date_cell_text(INT64_MAX), QString());

        MyQTableView table;
        auto* header = new MyHeaderView(&table);
        setup_file_table(&table, header, new recovery_delegate_c(&table));
        install_table_model(&table, flat_model({item("even.txt", 2048, 31536000), item("odd.txt", 5, 0)}), header);
        qobject_cast<recovery_model_c*>(table.model())->set_checked(0, 1);
        table.resize(700, 200);
        QImage image(table.size(), QImage::Format_ARGB32);
        table.render(&image);
        const QRect even = table.visualRect(table.model()->index(0, 4)).translated(table.viewport()->pos());
        const QRect odd = table.visualRect(table.model()->index(1, 4)).translated(table.viewport()->pos());
        QCOMPARE(image.pixelColor(even.right() - 2, even.center().y()), QColor(241, 250, 255));
        QVERIFY(image.pixelColor(odd.right() - 2, odd.center().y()) != QColor(241, 250, 255));
        if (!qEnvironmentVariableIsEmpty("QUARVEL_RESULTS_PNG"))
            image.save(qEnvironmentVariable("QUARVEL_RESULTS_PNG"));
    }
};

QTEST_MAIN(tst_results_models)
#include "tst_results_models.moc"
