#include "skin/button_style.h"

QString make_button_style(const QString& normal, const QString& hover, const QString& pressed)
{
    // Style-sheet urls are plain ASCII here: resource paths never need more.
    const auto ascii = [](const QString& path) { return QString::fromLatin1(path.toLatin1()); };
    return QStringLiteral("QPushButton{ border-image: url(:%1); }"
                          "QPushButton:hover{ border-image: url(:%2);}"
                          "QPushButton:pressed{  border-image: url(:%3);}")
        .arg(ascii(normal), ascii(hover), ascii(pressed));
}
