#include "app/resources_init.h"

#include <QtGlobal>

// A static library's resources are only linked in when something refers to
// them; this call is that reference.
void init_app_resources()
{
    Q_INIT_RESOURCE(resources);
}
