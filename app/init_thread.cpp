#include "app/init_thread.h"

#include "app/app_flags.h"
#include "app/disk_layer.h"
#include "devices/enumerate.h"
#include "platform/services.h"

void init_c::run()
{
    platform::disk_startup_step();
    enumerate_volumes();
    enumerate_drives();
    start_disk_layer();
    startup_done = true;
    emit init_finished();
}
