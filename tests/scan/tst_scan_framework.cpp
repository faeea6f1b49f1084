// The shared scan pieces: the name sanitiser, the target opener, the
// per-row recovery routine and the inert scanner.
#include "scan/recover_rows.h"
#include "scan/recovery_base.h"
#include "scan/safe_name.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>
#include <map>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A scanner whose "files" are strings in memory; ids it does not know fail.
class fake_scanner_c : public recovery_base_c {
public:
    std::map<int64_t, QByteArray> files;
    std::vector<QString> targets;

    void set_volume(const volume_item_s&) override {}
    double get_progress() const override { return 0; }
    void set_progress(double) override {}
    void set_stop(int) override {}
    int get_pause() const override { return 0; }
    void set_pause(int) override {}
    int64_t get_read_count() const override { return 0; }
    void reset() override {}
    int recover_file(int64_t id, const QString& destination) override
    {
        targets.push_back(destination);
        const auto it = files.find(id);
        if (it == files.end())
            return -1;
        const int fd = open_recovery_target(destination);
        if (fd < 0)
            return -1;
        const bool ok = ::write(fd, it->second.constData(), it->second.size()) == it->second.size();
        ::close(fd);
        return ok ? 0 : -1;
    }

protected:
    void run_scan() override {}
};

// A scanner that asks its writer to stop while it copies id 2.
class stopping_scanner_c : public fake_scanner_c {
public:
    job_c* writer = nullptr;
    int recover_file(int64_t id, const QString& destination) override
    {
        if (id == 2)
            writer->request_stop();
        return fake_scanner_c::recover_file(id, destination);
    }
};

// A scanner that lets an exception out of its thread or out of a copy
// begun (after the file was created and partly written).
class throwing_scanner_c : public fake_scanner_c {
public:
    enum class kind_e { none, bad_alloc, runtime_error, integer };
    kind_e scan_throws = kind_e::none;
    std::set<int64_t> copy_throws;
    int resets = 0;

    void reset() override { ++resets; }
    int recover_file(int64_t id, const QString& destination) override
    {
        if (!copy_throws.count(id))
            return fake_scanner_c::recover_file(id, destination);
        targets.push_back(destination);
        const int fd = open_recovery_target(destination);
        if (fd < 0 || ::write(fd, "half", 4) != 4)
            return -1;
        throw std::bad_alloc();
    }

protected:
    void run_scan() override
    {
        switch (scan_throws) {
        case kind_e::none: return;
        case kind_e::bad_alloc: throw std::bad_alloc();
        case kind_e::runtime_error: throw std::runtime_error("table walk");
        case kind_e::integer: throw 7;
        }
    }
};

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class tst_scan_framework : public QObject {
    Q_OBJECT
private slots:
    void sanitiser_neutralises_separators_and_dot_names()
    {
        QCOMPARE(safe_file_name("../../etc/passwd"), QString(".._.._etc_passwd"));
        QCOMPARE(safe_file_name(QString("a") + QChar(0) + "b"), QString("a_b"));
        QCOMPARE(safe_file_name("."), QString("_."));
        QCOMPARE(safe_file_name(".."), QString("_.."));
        QCOMPARE(safe_file_name(""), QString("_"));
        QCOMPARE(safe_file_name("#oliday photo.jpg"), QString("#oliday photo.jpg"));
        QCOMPARE(safe_file_name("a\nb\x1b[2Jc\x7f.txt"), QString("a_b_[2Jc_.txt"));
        QCOMPARE(numbered_file_name("report.txt", 1), QString("report.txt"));
        QCOMPARE(numbered_file_name("report.txt", 2), QString("report (2).txt"));
        QCOMPARE(numbered_file_name(".profile", 3), QString(".profile (3)"));
        const QString long_name = QString(300, 'x') + ".jpeg";
        QVERIFY(numbered_file_name(long_name, 12).endsWith(" (12).jpeg"));
        QVERIFY(numbered_file_name(long_name, 12).toUtf8().size() <= 255);
    }

    void sanitiser_cuts_to_255_bytes_keeping_extension()
    {
        // 200 two-byte characters: 400 bytes of UTF-8.
        const QString stem(200, QChar(0x00D6));
        const QString cut = safe_file_name(stem + ".jpeg");
        QVERIFY(cut.toUtf8().size() <= 255);
        QVERIFY(cut.endsWith(".jpeg"));
        QVERIFY(cut.startsWith(QChar(0x00D6)));
        // No character was split: the stem holds whole two-byte characters.
        QCOMPARE(cut.toUtf8().size() % 2, 1);  // 2n + ".jpeg"(5)
        QVERIFY(!cut.contains(QChar(QChar::ReplacementCharacter)));

        // Surrogate pairs (4 bytes each) are never split either.
        QString emoji;
        for (int i = 0; i < 100; ++i)
            emoji += QString::fromUcs4(U"\U0001F600");
        const QString cut2 = safe_file_name(emoji);
        QVERIFY(cut2.toUtf8().size() <= 255);
        QCOMPARE(cut2.size() % 2, 0);
        QVERIFY(!cut2.back().isHighSurrogate());

        // An extension too long to keep is cut with the rest.
        const QString odd = "a." + QString(300, 'x');
        QVERIFY(safe_file_name(odd).toUtf8().size() <= 255);
    }

    void target_opener_refuses_links_and_fifos()
    {
        QTemporaryDir dir;
        const QString victim = dir.filePath("victim");
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly));
        v.write("keep me");
        v.close();
        const QString link = dir.filePath("link");
        QVERIFY(QFile::link(victim, link));
        QCOMPARE(open_recovery_target(link), -1);
        QCOMPARE(read_all(victim), QByteArray("keep me"));

        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(open_recovery_target(fifo), -1);  // and did not hang

        // An existing regular file is never replaced, nor written through
        // a hard link to it.
        const QString hard = dir.filePath("hard");
        QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(hard).constData()), 0);
        for (const QString& taken : {victim, hard}) {
            errno = 0;
            QCOMPARE(open_recovery_target(taken), -1);
            QCOMPARE(errno, EEXIST);
        }
        QCOMPARE(read_all(victim), QByteArray("keep me"));
        const int fd = open_recovery_target(dir.filePath("new"));
        QVERIFY(fd >= 0);
        ::close(fd);
    }

    // The time goes to the file created, through the descriptor kept since,
    // never to what took its name meanwhile; and no descriptor is left open.
    void created_file_time_and_removal_go_to_that_file_only()
    {
        QTemporaryDir dir;
        const auto open_fds = [] { return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size(); };
        const qsizetype before = open_fds();
        const QString path = dir.filePath("a.jpg"), moved = dir.filePath("moved.jpg");
        for (int round = 0; round < 20; ++round) {
            QFile::remove(moved);
            forget_created_target();
            const int fd = open_recovery_target(path);
            QVERIFY(fd >= 0);
            ::close(fd);
            QVERIFY(QFile::rename(path, moved));
            QFile stranger(path);
            QVERIFY(stranger.open(QIODevice::WriteOnly));
            stranger.close();
            QVERIFY(!set_created_target_time(dir.filePath("other.jpg"), 1000000000));
            QVERIFY(set_created_target_time(path, 1000000000));
            QVERIFY(!set_created_target_time(path, 1000000000));  // once only
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(moved).constData(), &st), 0);
            QCOMPARE(int64_t(st.st_mtime), int64_t(1000000000));
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
            QVERIFY(int64_t(st.st_mtime) != int64_t(1000000000));
            // The stranger now at the name is not removed either.
            const int again = open_recovery_target(dir.filePath("b.jpg"));
            QVERIFY(again >= 0);
            ::close(again);
            QVERIFY(QFile::rename(dir.filePath("b.jpg"), path + ".x"));
            QVERIFY(!remove_created_target(dir.filePath("b.jpg")));
            QVERIFY(QFile::exists(path + ".x") && QFile::remove(path + ".x") && QFile::remove(path));
        }
        const int last = open_recovery_target(path);
        QVERIFY(last >= 0);
        QVERIFY(remove_created_target(path));  // closes the caller's descriptor too
        QVERIFY(!QFile::exists(path));
        QCOMPARE(open_fds(), before);
    }

    void rows_are_counted_and_stay_inside_the_folder()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("out");
        QVERIFY(QDir().mkpath(folder));
        fake_scanner_c scanner;
        scanner.files = {{1, "first"}, {2, "second"}, {3, "evil"}};
        const std::vector<recovery_row_s> rows = {
            {1, "same.txt"}, {2, "same.txt"}, {3, "../escape.txt"}, {99, "missing.bin"}};
        size_t calls = 0;
        const auto tally = recover_rows(scanner, rows, folder + "/",
                                        [&](size_t done, size_t total, const recovery_row_s&, int) {
                                            ++calls;
                                            QCOMPARE(total, rows.size());
                                            QCOMPARE(done, calls);
                                        });
        QCOMPARE(tally.written, 3);
        QCOMPARE(tally.failed, 1);
        // Same-named rows each keep their data under a numbered name, and
        // the failed row left nothing.
        QCOMPARE(read_all(folder + "/same.txt"), QByteArray("first"));
        QCOMPARE(read_all(folder + "/same (2).txt"), QByteArray("second"));
        QVERIFY(!QFile::exists(folder + "/missing.bin"));
        QCOMPARE(read_all(folder + "/.._escape.txt"), QByteArray("evil"));
        QVERIFY(!QFile::exists(dir.filePath("escape.txt")));
        for (const auto& t : scanner.targets)
            QVERIFY(t.startsWith(folder + "/"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 3);

        std::atomic<int> cancel{1};
        QCOMPARE(recover_rows(scanner, rows, folder, {}, &cancel).written, 0);
    }

    // An exception out of a scan's thread or out of a copy ends that job as
    // a failure that says why; the program lives on and no half-written
    // file stays.
    void exceptions_end_the_job_not_the_program()
    {
        using kind = throwing_scanner_c::kind_e;
        throwing_scanner_c scanner;
        const std::pair<kind, QString> cases[] = {
            {kind::bad_alloc, "the scan ran out of memory and was stopped"},
            {kind::runtime_error, "the scan was stopped by an internal error (table walk)"},
            {kind::integer, "the scan was stopped by an internal error"},
            {kind::none, ""},
        };
        for (const auto& [throws, reason] : cases) {
            scanner.scan_throws = throws;
            scanner.resets = 0;
            scanner.start();
            QVERIFY(scanner.wait(10000));
            QCOMPARE(scanner.scan_failure(), reason);
            QCOMPARE(scanner.job_outcome().end, throws == kind::none ? job_end_e::done : job_end_e::failed);
            // A store cut short is emptied, not shown.
            QCOMPARE(scanner.resets, throws == kind::none ? 0 : 1);
        }

        QTemporaryDir dir;
        const QString kept = dir.filePath("kept.txt");
        QFile f(kept);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("mine") == 4);
        f.close();
        scanner.files = {{1, "one"}, {2, "two"}};
        scanner.copy_throws = {1};
        recovery_item_s row;
        row.id = 1;
        row.name = "kept.txt";
        row.checked = 1;
        QCOMPARE(recover_one(scanner, QDir(dir.path()), row), -1);
        QCOMPARE(scanner.targets.back(), dir.filePath("kept (2).txt.quarvel-partial"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"kept.txt"});
        QCOMPARE(read_all(kept), QByteArray("mine"));

        // The writer's thread counts the row as failed and goes on.
        recovery_item_s fine = row;
        fine.id = 2;
        fine.name = "fine.txt";
        recovery_file_c writer;
        QCOMPARE(writer.start_recovery(&scanner, QDir(dir.path()), {row, fine}), 0);
        QVERIFY(writer.wait(10000));
        QCOMPARE(writer.tally().written, 1);
        QCOMPARE(writer.tally().failed, 1);
        QCOMPARE(writer.job_outcome().notes, (job_notes_t{{"note_files_not_written", {qint64(1), qint64(2)}}}));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"fine.txt", "kept.txt"}));
    }

    // A stop reaches the writer between rows: what was written stays, the
    // rest is neither written nor counted failed, and the job says stopped.
    void writer_stops_between_rows()
    {
        QTemporaryDir dir;
        recovery_file_c writer;
        stopping_scanner_c scanner;
        scanner.writer = &writer;
        scanner.files = {{1, "one"}, {2, "two"}, {3, "three"}};
        std::vector<recovery_item_s> rows(3);
        for (int i = 0; i < 3; ++i) {
            rows[size_t(i)].id = i + 1;
            rows[size_t(i)].name = QStringLiteral("f%1.txt").arg(i + 1);
            rows[size_t(i)].checked = 1;
        }
        QCOMPARE(writer.start_recovery(&scanner, QDir(dir.path()), rows), 0);
        QVERIFY(writer.wait(10000));
        QCOMPARE(writer.tally().written, 2);
        QCOMPARE(writer.tally().failed, 0);
        QCOMPARE(writer.job_outcome().end, job_end_e::stopped);
        QCOMPARE(writer.get_progress(), 2.0 / 3.0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"f1.txt", "f2.txt"}));

        // The next run starts without the old stop.
        QCOMPARE(writer.start_recovery(&scanner, QDir(dir.path()), {rows[2]}), 0);
        QVERIFY(writer.wait(10000));
        QCOMPARE(writer.job_outcome().end, job_end_e::done);
        QCOMPARE(writer.get_progress(), 1.0);
    }

    void inert_scanner_and_row_record()
    {
        recovery_stop_c stop;
        stop.set_stop(2);
        stop.set_pause(1);
        stop.set_progress(0.5);
        QCOMPARE(stop.get_stop(), 1);
        QCOMPARE(stop.get_pause(), 0);
        QCOMPARE(stop.get_progress(), 0.0);
        QCOMPARE(stop.get_read_count(), 0);
        QCOMPARE(stop.get_found_count(), 0);
        QString path = "unchanged";
        QCOMPARE(stop.get_full_path(5, &path), 0);
        QCOMPARE(path, QString("unchanged"));
        QCOMPARE(stop.recover_file(5, "/nonexistent/x"), 0);
        QCOMPARE(QString(stop.metaObject()->className()), QString("recovery_stop_c"));

        register_scan_types();
        QCOMPARE(QMetaType::fromName("recovery_item_s"), QMetaType::fromType<recovery_item_s>());
        recovery_item_s row;
        QCOMPARE(row.checked, 0);
        row.name = "x";
        row.id = 42;
        const QVariant v = QVariant::fromValue(row);
        QCOMPARE(v.value<recovery_item_s>().id, 42);

        scan_status_s status;
        status.read_count = 9;
        status.stop = 3;
        status.clear();
        QCOMPARE(status.read_count.load(), 0);
        QCOMPARE(status.stop.load(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_scan_framework)
#include "tst_scan_framework.moc"
