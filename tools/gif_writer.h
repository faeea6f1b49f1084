// A small animated-GIF writer for the generated busy animation (the toolkit
// reads GIFs but cannot write them).
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

// Encodes `frames` (all the same size) as a looping GIF89a with `delay_ms`
// between frames. Pixels with alpha below 128 become transparent; the others
// are blended onto `matte` and their colours reduced until they fit one
// 255-entry palette. Returns an empty array for no frames or mixed sizes.
QByteArray encode_gif(const QList<QImage>& frames, int delay_ms, QColor matte);
