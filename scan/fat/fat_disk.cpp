#include "scan/fat/fat_disk.h"

#include "platform/drive_table.h"
#include "platform/exception_reason.h"
#include "platform/raw_device.h"
#include "scan/fat/fat_log.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(fat_log, "quarvel.fat", QtWarningMsg)

namespace {

using namespace std::chrono_literals;

struct phys_drive_s {
    uint8_t status = 0;  // a drive whose sector size is not 512 keeps this
    uint32_t sector_size = 0;
    uint64_t sector_count = 0;
    std::unique_ptr<platform::raw_device_c> device;
    std::string path;
};

// Everything of the layer in one object, so that the monitor thread (its
// last member) is stopped and joined before the table it polls goes away.
struct disk_layer_s {
    std::timed_mutex mutex;
    std::array<phys_drive_s, platform::max_drives> drives;
    int count = 0;
    std::vector<uint8_t> transfer;
    bool started = false;
    std::jthread monitor;

    ~disk_layer_s()
    {
        if (monitor.joinable()) {
            monitor.request_stop();
            monitor.join();
        }
    }
};

disk_layer_s& layer()
{
    static disk_layer_s instance;
    return instance;
}

// Opens and queries one drive. Called with the mutex held.
void query_drive(phys_drive_s& drive)
{
    if (!drive.device) {
        drive.device = std::make_unique<platform::raw_device_c>();
        if (drive.device->open(drive.path) != 0) {
            drive.device.reset();
            drive.status = disk_status_not_ready;
            qCDebug(fat_log) << " (Not Ready)";
            return;
        }
    }
    if (!platform::media_present(drive.path)) {
        drive.status = disk_status_not_ready;
        qCDebug(fat_log) << " (Not Ready)";
        return;
    }
    drive.sector_size = drive.device->sector_size();
    if (drive.sector_size != 512) {
        qCDebug(fat_log) << " (Not Ready)";
        return;
    }
    drive.sector_count = drive.device->size() / 512;
    drive.status = 0;  // nothing here ever writes, so no write-protect probe
    qCDebug(fat_log, " (%lluMB, %u bytes * %llu sectors)",
            static_cast<unsigned long long>(drive.sector_count * 512 / 1024 / 1024), drive.sector_size,
            static_cast<unsigned long long>(drive.sector_count));
}

// Rebuilds the table from the platform's drive table. Called with the mutex held.
int enumerate_locked(disk_layer_s& l)
{
    for (auto& d : l.drives)
        d = phys_drive_s{};
    const auto table = platform::drive_table();
    l.count = 0;
    for (size_t n = 0; n < table.size() && n < l.drives.size(); ++n) {
        auto& drive = l.drives[n];
        drive.path = table[n].device_path;
        qCDebug(fat_log, "Disk# %zu <== %s", n, drive.path.c_str());
        query_drive(drive);
        ++l.count;
    }
    return l.count;
}

// Sleeps for the given time, waking at once when the layer shuts down (so
// the process does not wait for the monitor at exit). Returns false then.
bool nap(const std::stop_token& stop, std::chrono::milliseconds time)
{
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    return !cv.wait_for(lock, stop, time, [] { return false; }) && !stop.stop_requested();
}

void poll_drives(const std::stop_token& stop)
{
    auto& l = layer();
    while (nap(stop, 100ms)) {
        // Drive 0 is the system disk on a typical machine and is never polled.
        for (int n = 1; n < platform::max_drives && nap(stop, 1ms); ++n) {
            std::unique_lock lock(l.mutex, std::defer_lock);
            if (!lock.try_lock_for(100ms))
                continue;
            if (n >= l.count)
                break;
            auto& drive = l.drives[n];
            if (!drive.device || (drive.status & disk_status_not_ready))
                continue;
            if (!platform::media_present(drive.path))
                drive.status |= disk_status_not_ready;
            lock.unlock();
            if (!nap(stop, 100ms))
                return;
        }
    }
}

// The monitor only notices drives that went away; reads check for that
// themselves. An exception in it (memory ran out) ends the monitor, not the
// program.
void monitor_body(std::stop_token stop)
{
    std::string reason;
    if (!platform::run_catching("the drive monitor", [&stop] { poll_drives(stop); }, &reason))
        qCWarning(fat_log, "%s", reason.c_str());
}

}  // namespace

int disk_startup()
{
    auto& l = layer();
    std::unique_lock lock(l.mutex);
    if (l.transfer.empty())
        l.transfer.resize(disk_transfer_bytes);
    const int count = enumerate_locked(l);
    if (!l.started) {
        // Without a thread to spare the layer works unmonitored; the next
        // start-up tries again.
        try {
            l.monitor = std::jthread(monitor_body);
            l.started = true;
        } catch (const std::system_error& e) {
            qCWarning(fat_log, "cannot start the drive monitor: %s", e.what());
        }
    }
    return count;
}

int disk_rescan()
{
    auto& l = layer();
    std::unique_lock lock(l.mutex);
    if (l.transfer.empty())
        l.transfer.resize(disk_transfer_bytes);
    return enumerate_locked(l);
}

uint8_t disk_init(uint8_t drive)
{
    auto& l = layer();
    std::unique_lock lock(l.mutex, std::defer_lock);
    if (!lock.try_lock_for(5000ms))
        return disk_status_not_ready;
    if (drive >= l.count)
        return disk_status_not_ready;
    auto& d = l.drives[drive];
    d.device.reset();
    query_drive(d);
    return d.status;
}

int disk_read(uint8_t drive, uint8_t* buffer, uint32_t sector, uint32_t count)
{
    auto& l = layer();
    std::unique_lock lock(l.mutex, std::defer_lock);
    if (!lock.try_lock_for(3000ms))
        return disk_not_ready;
    if (drive >= l.count || l.transfer.empty())
        return disk_not_ready;
    auto& d = l.drives[drive];
    if ((d.status & disk_status_not_ready) || !d.device)
        return disk_not_ready;
    const uint64_t bytes = uint64_t{count} * d.sector_size;
    if (bytes > disk_transfer_bytes)
        return disk_bad_parameter;
    const int64_t got = d.device->read_at(uint64_t{sector} * d.sector_size, l.transfer.data(), bytes);
    if (got < 0 || static_cast<uint64_t>(got) != bytes)
        return disk_error;
    std::memcpy(buffer, l.transfer.data(), bytes);
    return disk_ok;
}

uint8_t disk_status(uint8_t drive)
{
    auto& l = layer();
    std::lock_guard lock(l.mutex);
    return drive < l.count ? l.drives[drive].status : disk_status_not_ready;
}

uint32_t disk_sector_size(uint8_t drive)
{
    auto& l = layer();
    std::lock_guard lock(l.mutex);
    return drive < l.count ? l.drives[drive].sector_size : 0;
}

uint64_t disk_sector_count(uint8_t drive)
{
    auto& l = layer();
    std::lock_guard lock(l.mutex);
    return drive < l.count ? l.drives[drive].sector_count : 0;
}

std::string disk_device_path(uint8_t drive)
{
    auto& l = layer();
    std::lock_guard lock(l.mutex);
    return drive < l.count ? l.drives[drive].path : std::string();
}
