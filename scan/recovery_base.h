// The scan-thread base every scanner derives from, its status block, the
// file-table row, and the inert scanner the recovery page holds before any
// scan has been chosen.
#pragma once

#include "devices/volume_item.h"

#include <QMetaType>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>

// Counters and flags shared between the user-interface thread and a scanner
// thread. Each field is a single value whose readers tolerate a stale read,
// so relaxed ordering is enough.
struct scan_status_s {
    std::atomic<double> progress{0.0};     // fraction done, 0.0 to 1.0
    std::atomic<int32_t> pause{0};         // non-zero while paused
    std::atomic<int32_t> stop{0};          // 0 run, 2 abandon, 3 stop early (keep results)
    std::atomic<int64_t> read_count{0};    // entries or records examined
    std::atomic<int64_t> found_count{0};   // entries put into the result store

    // Sets all five to zero.
    void clear();
};

// One row of the file table. What id means is private to the scanner that
// produced the row; it is handed back to recover_file and get_full_path.
struct recovery_item_s {
    QString name;
    int64_t size = 0;
    int64_t date1 = 0;   // seconds since 1970
    int64_t date2 = 0;   // seconds since 1970
    int64_t id = 0;
    int32_t flags = 0;
    int32_t checked = 0; // set by the table model
};
Q_DECLARE_METATYPE(recovery_item_s)

// Registers recovery_item_s with the meta-type system under its own name.
// Safe to call more than once.
void register_scan_types();

class recovery_base_c : public QThread {
    Q_OBJECT
public:
    using QThread::QThread;

    virtual void set_volume(const volume_item_s& volume) = 0;
    virtual double get_progress() = 0;
    virtual void set_progress(double progress) = 0;
    virtual void set_stop(int code) = 0;
    virtual int get_stop();
    virtual int get_pause() = 0;
    virtual void set_pause(int flag) = 0;
    virtual int64_t get_read_count() = 0;
    // Zeroes the status block and empties the result store.
    virtual void reset() = 0;
    // Writes the found file with this id to destination (created or
    // truncated). Returns 0 on success, negative on failure.
    virtual int recover_file(int64_t id, const QString& destination) = 0;
    // Replaces *path with the item's full path under the volume's root.
    // Returns 0, or -1 when the id or one of its ancestors is not in the store.
    virtual int get_full_path(int64_t id, QString* path);
    virtual int64_t get_found_count();
};

// The scanner the page holds until a real one is chosen: every call is valid
// and does nothing. Its thread is never started.
class recovery_stop_c : public recovery_base_c {
    Q_OBJECT
public:
    using recovery_base_c::recovery_base_c;

    void set_volume(const volume_item_s&) override {}
    double get_progress() override { return 0.0; }
    void set_progress(double) override {}
    void set_stop(int) override {}
    int get_stop() override { return 1; }
    int get_pause() override { return 0; }
    void set_pause(int) override {}
    int64_t get_read_count() override { return 0; }
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return 0; }
    int get_full_path(int64_t, QString*) override { return 0; }
    int64_t get_found_count() override { return 0; }

protected:
    void run() override {}
};
