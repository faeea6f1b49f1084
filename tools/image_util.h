// Helpers shared by the image generator's drawing files.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <cstdio>

inline QImage blank(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

inline bool save(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The frame, system buttons, logo and the pages' small pictures.
bool draw_skin_images(const QDir& out);
