#include "app/pages/recovery_preview.h"

#include <QStringList>

bool preview_size_ok(int64_t size)
{
    return size >= 0 && size <= preview_size_limit;
}

bool preview_is_image(const QString& name)
{
    static const QStringList endings = {".bmp", ".gif", ".jpg", "jpeg", ".png", ".pbm",
                                        ".pgm", ".ppm", "tiff", ".xbm", ".xpm"};
    return endings.contains(name.right(4).toLower());
}

QString preview_text(const QByteArray& bytes)
{
    QString text;
    if (bytes.size() > 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        const qsizetype units = (bytes.size() - 2) / 2;
        text.reserve(units);
        for (qsizetype i = 0; i < units; ++i)
            text.append(QChar(char16_t(uint8_t(bytes[2 + 2 * i]) | (uint8_t(bytes[3 + 2 * i]) << 8))));
    } else if (bytes.size() > 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
               uint8_t(bytes[2]) == 0xBF) {
        text = QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    } else {
        text = QString::fromLocal8Bit(bytes);
    }
    const qsizetype zero = text.indexOf(QChar(u'\0'));
    if (zero >= 0)
        text.truncate(zero);
    return text;
}
