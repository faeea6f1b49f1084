#include "scan/recovery_base.h"

void scan_status_s::clear()
{
    progress.store(0.0, std::memory_order_relaxed);
    pause.store(0, std::memory_order_relaxed);
    stop.store(0, std::memory_order_relaxed);
    read_count.store(0, std::memory_order_relaxed);
    found_count.store(0, std::memory_order_relaxed);
}

void register_scan_types()
{
    qRegisterMetaType<recovery_item_s>("recovery_item_s");
}

int recovery_base_c::get_stop() { return 1; }

int recovery_base_c::get_full_path(int64_t, QString*) { return 0; }

int64_t recovery_base_c::get_found_count() { return 0; }
