#include "app/disk_layer.h"

#ifdef QUARVEL_HAVE_FAT_DISK
#include "scan/fat/fat_disk.h"
#endif

void start_disk_layer()
{
#ifdef QUARVEL_HAVE_FAT_DISK
    disk_startup();
#endif
}

void rescan_disk_layer()
{
#ifdef QUARVEL_HAVE_FAT_DISK
    disk_rescan();
#endif
}
