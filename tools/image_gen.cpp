// Draws the compiled-in pictures that carry words (the home page's two large
// buttons and the top-bar buttons, per language) and the few shared pictures
// of the shell. Run by hand when the captions change, then commit the output:
//
//   QT_QPA_PLATFORM=offscreen quarvel_image_gen data/language.ini resources/images
//
// Captions come from "language.ini": home_btn_start, home_btn_resume and
// top_btn1..3 of each language's section (English where a section lacks one).
#include "image_util.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QMap>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QTextStream>
#include <cstdio>

namespace {

struct language_s {
    const char* code;
    const char* section;
    const char* cjk_family;  // preferred family for the script, or null
};

const language_s languages[] = {
    {"en", "English", nullptr},        {"de", "Deutsch", nullptr},
    {"fr", "Français", nullptr},       {"es", "Español", nullptr},
    {"it", "Italiano", nullptr},       {"jp", "日本語", "Noto Sans CJK JP"},
    {"cn", "简体中文", "Noto Sans CJK SC"}, {"hk", "繁體中文", "Noto Sans CJK TC"},
    {"nl", "Nederlands", nullptr},     {"pt", "Português", nullptr},
};

using section_map = QMap<QString, QMap<QString, QString>>;

// Section name -> key -> text, read the same forgiving way the program does
// for the keys this tool needs.
section_map read_captions(const QString& path)
{
    section_map sections;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return sections;
    static const QRegularExpression header(QStringLiteral(R"(^\s*\[(.*)\]\s*$)"));
    static const QRegularExpression key_line(QStringLiteral(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re"));
    QString section;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (auto m = header.match(line); m.hasMatch()) {
            section = m.captured(1);
        } else if (auto k = key_line.match(line); k.hasMatch() && !section.isEmpty()) {
            sections[section][k.captured(1)] = k.captured(2).replace("\\n", "\n").replace("\\t", " ");
        }
    }
    return sections;
}

QString caption(const section_map& sections, const language_s& language, const QString& key)
{
    const QString text = sections.value(QString::fromUtf8(language.section)).value(key);
    return text.isEmpty() ? sections.value(QStringLiteral("English")).value(key) : text;
}

QFont caption_font(const language_s& language, int pixel_size, bool bold)
{
    QFont font;
    QStringList families;
    if (language.cjk_family)
        families << QString::fromUtf8(language.cjk_family);
    families << QStringLiteral("Liberation Sans") << QStringLiteral("DejaVu Sans")
             << QStringLiteral("Noto Sans CJK SC");
    font.setFamilies(families);
    font.setPixelSize(pixel_size);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

// Draws text centred in `box` on one line at the largest size from max_px
// down to min_px that fits; otherwise wrapped, from wrap_px down.
void draw_fitted_text(QPainter& p, const QRectF& box, const QString& text, const language_s& language,
                      int max_px, int min_px, int wrap_px, bool bold)
{
    for (int px = max_px; px >= min_px; --px) {
        const QFont font = caption_font(language, px, bold);
        if (QFontMetricsF(font).horizontalAdvance(text) <= box.width()) {
            p.setFont(font);
            p.drawText(box, Qt::AlignCenter, text);
            return;
        }
    }
    for (int px = wrap_px; px >= 9; --px) {
        const QFont font = caption_font(language, px, bold);
        const QRectF needed =
            QFontMetricsF(font).boundingRect(box, Qt::AlignCenter | Qt::TextWordWrap, text);
        if (needed.width() <= box.width() && needed.height() <= box.height()) {
            p.setFont(font);
            p.drawText(box, Qt::AlignCenter | Qt::TextWordWrap, text);
            return;
        }
    }
    p.setFont(caption_font(language, 9, bold));
    p.drawText(box, Qt::AlignCenter | Qt::TextWordWrap, text);
}

// The three looks of a button: 1 normal, 2 hover, 3 pressed.
struct tone_s {
    QColor top, bottom, border;
};

tone_s tone_for(int state, const QColor& top, const QColor& bottom)
{
    switch (state) {
    case 2: return {top.lighter(112), bottom.lighter(112), bottom.darker(115)};
    case 3: return {bottom.darker(108), bottom.darker(118), bottom.darker(140)};
    default: return {top, bottom, bottom.darker(125)};
    }
}

// The magnifier: a ring and its handle, in white.
void draw_magnifier(QPainter& p, QPointF centre, qreal radius, qreal width)
{
    p.setPen(QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, radius, radius);
    const QPointF start = centre + QPointF(radius * 0.72, radius * 0.72);
    p.drawLine(start, start + QPointF(radius * 0.7, radius * 0.7));
}

// A folder with a bent arrow coming out of it, in white.
void draw_folder_arrow(QPainter& p, QRectF box)
{
    const qreal w = box.width(), h = box.height();
    QPainterPath folder;
    folder.moveTo(box.left(), box.top() + h * 0.2);
    folder.lineTo(box.left() + w * 0.36, box.top() + h * 0.2);
    folder.lineTo(box.left() + w * 0.44, box.top() + h * 0.32);
    folder.lineTo(box.right(), box.top() + h * 0.32);
    folder.lineTo(box.right(), box.bottom());
    folder.lineTo(box.left(), box.bottom());
    folder.closeSubpath();
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(255, 255, 255, 50));
    p.drawPath(folder);

    // Arrow: up from inside the folder, bending right.
    const QPointF base(box.left() + w * 0.42, box.bottom() - h * 0.16);
    QPainterPath arrow;
    arrow.moveTo(base);
    arrow.cubicTo(base + QPointF(0, -h * 0.36), base + QPointF(w * 0.12, -h * 0.42),
                  base + QPointF(w * 0.34, -h * 0.42));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arrow);
    const QPointF tip = base + QPointF(w * 0.34, -h * 0.42);
    p.drawLine(tip, tip + QPointF(-w * 0.1, -h * 0.1));
    p.drawLine(tip, tip + QPointF(-w * 0.1, h * 0.1));
}

// One large home-page button: a rounded blue tile, an icon disc on the left,
// the caption on the right.
QImage home_button(int w, int h, int state, const QColor& top, const QColor& bottom, const QString& text,
                   const language_s& language, bool resume)
{
    QImage image = blank(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const tone_s tone = tone_for(state, top, bottom);
    const qreal shift = state == 3 ? 1.5 : 0.0;

    // Soft shadow under the tile, lost when pressed.
    if (state != 3) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 70, 120, 40));
        p.drawRoundedRect(QRectF(5, 7, w - 10, h - 10), 14, 14);
    }
    const QRectF tile(3 + shift, 2 + shift, w - 8, h - 9);
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, tone.top);
    fill.setColorAt(1, tone.bottom);
    p.setPen(QPen(tone.border, 1.2));
    p.setBrush(fill);
    p.drawRoundedRect(tile, 14, 14);

    // Gloss on the upper half.
    QLinearGradient gloss(tile.topLeft(), QPointF(tile.left(), tile.center().y()));
    gloss.setColorAt(0, QColor(255, 255, 255, state == 3 ? 30 : 70));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRoundedRect(tile.adjusted(1.5, 1.5, -1.5, -tile.height() / 2), 12, 12);

    // Icon disc.
    const QPointF disc_centre(tile.left() + 52, tile.center().y());
    p.setBrush(QColor(255, 255, 255, 45));
    p.setPen(QPen(QColor(255, 255, 255, 110), 1.5));
    p.drawEllipse(disc_centre, 34, 34);
    if (resume)
        draw_folder_arrow(p, QRectF(disc_centre.x() - 20, disc_centre.y() - 18, 40, 34));
    else
        draw_magnifier(p, disc_centre - QPointF(5, 5), 14, 4.5);

    // Caption with a faint shadow for contrast.
    const QRectF text_box(tile.left() + 98, tile.top() + 8, tile.width() - 110, tile.height() - 16);
    p.setPen(QColor(20, 50, 100, 90));
    draw_fitted_text(p, text_box.translated(0, 1.2), text, language, 26, 19, 22, true);
    p.setPen(Qt::white);
    draw_fitted_text(p, text_box, text, language, 26, 19, 22, true);
    return image;
}

// Icons of the three top-bar commands, drawn white in a 34-pixel square.
void draw_top_icon(QPainter& p, int command, QRectF box)
{
    p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const qreal x = box.left(), y = box.top(), s = box.width();
    if (command == 1) {
        // A page with a folded corner and an arrow bringing it back.
        QPainterPath page;
        page.moveTo(x + s * 0.22, y + s * 0.06);
        page.lineTo(x + s * 0.60, y + s * 0.06);
        page.lineTo(x + s * 0.80, y + s * 0.26);
        page.lineTo(x + s * 0.80, y + s * 0.94);
        page.lineTo(x + s * 0.22, y + s * 0.94);
        page.closeSubpath();
        p.drawPath(page);
        p.drawLine(QPointF(x + s * 0.60, y + s * 0.06), QPointF(x + s * 0.60, y + s * 0.26));
        p.drawLine(QPointF(x + s * 0.60, y + s * 0.26), QPointF(x + s * 0.80, y + s * 0.26));
        p.drawLine(QPointF(x + s * 0.51, y + s * 0.78), QPointF(x + s * 0.51, y + s * 0.42));
        p.drawLine(QPointF(x + s * 0.51, y + s * 0.42), QPointF(x + s * 0.39, y + s * 0.54));
        p.drawLine(QPointF(x + s * 0.51, y + s * 0.42), QPointF(x + s * 0.63, y + s * 0.54));
    } else if (command == 2) {
        // A disk cut into partitions.
        const QRectF disk(x + s * 0.08, y + s * 0.08, s * 0.84, s * 0.84);
        p.drawEllipse(disk);
        p.setBrush(QColor(255, 255, 255, 120));
        p.drawPie(disk, 90 * 16, -110 * 16);
        p.setBrush(Qt::NoBrush);
        p.drawLine(disk.center(), QPointF(disk.center().x() - s * 0.30, disk.center().y() + s * 0.30));
    } else {
        // Stacked layers under a magnifier.
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(x + s * 0.06, y + s * (0.30 + 0.22 * i)), QPointF(x + s * 0.46, y + s * (0.30 + 0.22 * i)));
        draw_magnifier(p, QPointF(x + s * 0.62, y + s * 0.44), s * 0.22, 2.6);
    }
}

QImage top_button(int command, int state, const QString& text, const language_s& language)
{
    QImage image = blank(95, 70);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // The top band behind is the window's own; only hover and pressed get a tile.
    if (state == 2 || state == 3) {
        p.setPen(QPen(QColor(255, 255, 255, state == 2 ? 110 : 70), 1));
        p.setBrush(state == 2 ? QColor(255, 255, 255, 48) : QColor(20, 50, 100, 70));
        p.drawRoundedRect(QRectF(1.5, 1.5, 92, 67), 8, 8);
    }
    const qreal shift = state == 3 ? 1.0 : 0.0;
    draw_top_icon(p, command, QRectF(30.5 + shift, 6 + shift, 34, 34));
    const QRectF text_box(3 + shift, 43 + shift, 89, 24);
    p.setPen(QColor(20, 50, 100, 110));
    draw_fitted_text(p, text_box.translated(0, 1), text, language, 13, 12, 12, true);
    p.setPen(Qt::white);
    draw_fitted_text(p, text_box, text, language, 13, 12, 12, true);
    return image;
}

// The backdrop of the hints on the home page (drawn at (55, H - 240); the
// hint texts sit at 50, 100 and 150 pixels below its top, 15 from its left).
QImage hint_panel()
{
    const int w = 690, h = 176;
    QImage image = blank(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF panel(0.5, 0.5, w - 1, h - 1);
    QLinearGradient fill(panel.topLeft(), panel.bottomLeft());
    fill.setColorAt(0, QColor(246, 250, 255));
    fill.setColorAt(1, QColor(236, 244, 253));
    p.setPen(QPen(QColor(211, 231, 255), 1));
    p.setBrush(fill);
    p.drawRoundedRect(panel, 10, 10);
    // Accent bar on the left edge.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(91, 135, 201));
    p.drawRoundedRect(QRectF(0, 12, 4, h - 24), 2, 2);
    // A small light bulb above the first hint.
    p.setPen(QPen(QColor(91, 135, 201), 1.6));
    p.setBrush(QColor(255, 226, 140));
    p.drawEllipse(QPointF(22, 18), 7, 7);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(19, 28), QPointF(25, 28));
    p.drawLine(QPointF(20, 31), QPointF(24, 31));
    // Dividers between the three hints.
    p.setPen(QPen(QColor(211, 231, 255), 1));
    p.drawLine(QPointF(15, 72.5), QPointF(w - 15, 72.5));
    p.drawLine(QPointF(15, 122.5), QPointF(w - 15, 122.5));
    return image;
}

// The strip across the top of every page (filled as a brush, so it tiles).
// Its last rows are the white the window paints under the pages: the
// recovery and partition pages frame panels that reach below the strip, so
// any edge of its own would run through them as a line.
QImage page_strip()
{
    QImage image(5, 50, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 49);
    fill.setColorAt(0, QColor(232, 242, 253));
    fill.setColorAt(0.9, QColor(255, 255, 255));
    fill.setColorAt(1, QColor(255, 255, 255));
    p.fillRect(image.rect(), fill);
    return image;
}

// The program icon: a blue rounded square with a white magnifier.
QImage program_icon(int size)
{
    QImage image = blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QRectF tile(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, QColor(110, 160, 226));
    fill.setColorAt(1, QColor(62, 108, 182));
    p.setPen(QPen(QColor(50, 90, 160), s / 48.0));
    p.setBrush(fill);
    p.drawRoundedRect(tile, s * 0.2, s * 0.2);
    draw_magnifier(p, QPointF(s * 0.44, s * 0.44), s * 0.2, s * 0.09);
    return image;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LANGUAGE_INI IMAGES_DIR\n", argv[0]);
        return 2;
    }
    const section_map sections = read_captions(QString::fromLocal8Bit(argv[1]));
    if (!sections.contains(QStringLiteral("English"))) {
        std::fprintf(stderr, "%s: no [English] section\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    bool ok = true;

    const QColor start_top(104, 156, 224), start_bottom(64, 114, 190);
    const QColor resume_top(92, 170, 214), resume_bottom(50, 128, 182);
    for (const language_s& language : languages) {
        const QString dir = out.filePath(QStringLiteral("multilang/") + language.code);
        const QString start = caption(sections, language, QStringLiteral("home_btn_start"));
        const QString resume = caption(sections, language, QStringLiteral("home_btn_resume"));
        for (int state = 1; state <= 3; ++state) {
            ok &= save(home_button(330, 106, state, start_top, start_bottom, start, language, false),
                       dir + QStringLiteral("/btn_start_scan%1.png").arg(state));
            ok &= save(home_button(323, 106, state, resume_top, resume_bottom, resume, language, true),
                       dir + QStringLiteral("/btn_resume_recovery%1.png").arg(state));
            for (int command = 1; command <= 3; ++command) {
                const QString text = caption(sections, language, QStringLiteral("top_btn%1").arg(command));
                ok &= save(top_button(command, state, text, language),
                           dir + QStringLiteral("/btn_top%1%2.png").arg(command).arg(state));
            }
        }
    }
    ok &= save(hint_panel(), out.filePath(QStringLiteral("home/wenzi.png")));
    ok &= save(page_strip(), out.filePath(QStringLiteral("background/bai.png")));
    ok &= save(program_icon(48), out.filePath(QStringLiteral("top.ico")));
    // The desktop menu's icons, installed outside the compiled-in images.
    for (int size : {48, 128, 256})
        ok &= save(program_icon(size), out.filePath(QStringLiteral("../desktop/quarvel-%1.png").arg(size)));
    ok &= draw_skin_images(out);
    return ok ? 0 : 1;
}
