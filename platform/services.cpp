#include "platform/services.h"
#include "platform/folders.h"

#include <QLocale>
#include <QLockFile>
#include <QSettings>

namespace platform {

int stored_language_number()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quarvel_Init"));
    bool ok = false;
    const int number = store.value(QStringLiteral("language")).toInt(&ok);
    return ok && number >= 1 && number <= 10 ? number : 0;
}

void store_language_number(int number)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quarvel_Init"));
    store.setValue(QStringLiteral("language"), number);
    store.sync();
}

int locale_language_number(const QString& locale_name)
{
    const QString name = locale_name.toLower();
    if (name.startsWith(QLatin1String("de"))) return 2;
    if (name.startsWith(QLatin1String("es"))) return 3;
    if (name.startsWith(QLatin1String("fr"))) return 4;
    if (name.startsWith(QLatin1String("it"))) return 5;
    if (name.startsWith(QLatin1String("ja"))) return 6;
    if (name.startsWith(QLatin1String("zh_tw")) || name.startsWith(QLatin1String("zh_hk"))
        || name.startsWith(QLatin1String("zh-tw")) || name.startsWith(QLatin1String("zh-hk")))
        return 8;
    if (name.startsWith(QLatin1String("zh"))) return 7;
    if (name.startsWith(QLatin1String("nl"))) return 9;
    if (name.startsWith(QLatin1String("pt"))) return 10;
    return 1;
}

int language_number_from_store()
{
    const int stored = stored_language_number();
    return stored ? stored : locale_language_number(QLocale::system().name());
}

}  // namespace platform
