#include "app/init_thread.h"

#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/exception_reason.h"
#include "shell/app_flags.h"

#include <cstdio>
#include <string>

void init_c::run_job()
{
    std::string reason;
    const bool read = platform::run_catching("reading the drives", [] {
        enumerate_volumes();
        enumerate_drives();
    }, &reason);
    if (!read) {
        // The window still has to leave its start-up state: it goes on with
        // what was read, each list at least its header row.
        std::fprintf(stderr, "quarvel: %s\n", reason.c_str());
        try {
            if (volume_list.empty())
                volume_list.emplace_back();
            if (drive_list.empty())
                drive_list.emplace_back();
            fail(QString::fromStdString(reason));
        } catch (...) {
        }
    }
    startup_done = true;
    emit init_finished();
}
