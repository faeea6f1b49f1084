#include "devices/volume_item.h"

std::vector<volume_item_s> volume_list;
std::vector<drive_item_s> drive_list;

void register_device_types()
{
    qRegisterMetaType<volume_item_s>("volume_item_s");
    qRegisterMetaType<drive_item_s>("drive_item_s");
}
