#include "shell/resources_init.h"

#include "shell/settings.h"

#include <QFileInfo>
#include <QtGlobal>

void init_app_resources()
{
    Q_INIT_RESOURCE(resources);
}

QString image_language_code()
{
    const QString code = language_code();
    if (QFileInfo::exists(QStringLiteral(":/images/multilang/") + code))
        return code;
    return QStringLiteral("en");
}
