// What the recovery page's preview shows of an extracted file, and which
// files it extracts at all. Kept apart from the page so the rules can be
// checked without a scan.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Largest file extracted for a preview (5 MiB).
inline constexpr int64_t preview_size_limit = 5242880;
// Bytes of a text file the preview reads.
inline constexpr int preview_text_bytes = 8192;

// True for a file the preview may extract: 0 to 5 MiB.
bool preview_size_ok(int64_t size);

// True when the name's last four characters, in lower case, mark an image
// (".bmp", ".gif", ".jpg", "jpeg", ".png", ".pbm", ".pgm", ".ppm", "tiff",
// ".xbm", ".xpm"); anything else is shown as text.
bool preview_is_image(const QString& name);

// The text shown for the first bytes of a file: UTF-16 little-endian after
// FF FE, UTF-8 after EF BB BF, else the bytes as local 8-bit text; cut at the
// first zero character.
QString preview_text(const QByteArray& bytes);
