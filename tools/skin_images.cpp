// The window frame, the system buttons, the logo, the busy animation and the
// small pictures the pages paint. Sizes are the ones the code relies on.
#include "gif_writer.h"
#include "image_util.h"

#include <QFile>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

namespace {

const QColor band_top(80, 138, 216), band_bottom(44, 98, 178), band_border(34, 74, 146);
const QColor edge_light(226, 236, 250);

// The title band: a blue gradient with rounded top corners, a highlight along
// its top and a seam along its bottom. The middle columns are stretched to
// the window's width, so everything between the 64-pixel corners is uniform
// across.
QImage title_band(int w, int h)
{
    QImage image = blank(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    const qreal r = 7;
    shape.moveTo(0, h);
    shape.lineTo(0, r);
    shape.quadTo(0, 0, r, 0);
    shape.lineTo(w - r, 0);
    shape.quadTo(w, 0, w, r);
    shape.lineTo(w, h);
    shape.closeSubpath();
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0, band_top);
    fill.setColorAt(0.55, band_bottom.lighter(108));
    fill.setColorAt(1, band_bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(shape);
    // Gloss over the upper third.
    QLinearGradient gloss(0, 0, 0, h / 3.0);
    gloss.setColorAt(0, QColor(255, 255, 255, 60));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    p.drawPath(shape);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(band_border, 1));
    p.drawPath(shape.translated(0.5, 0.5));
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(255, 255, 255, 70));
    p.drawLine(int(r), 1, w - int(r) - 1, 1);
    p.setPen(QColor(24, 62, 128));
    p.drawLine(0, h - 1, w - 1, h - 1);
    return image;
}

// A side edge: dark outer line, a blue line, a light inner line.
QImage side_edge(int h, bool left)
{
    QImage image = blank(3, h);
    const QColor columns[3] = {band_border, QColor(120, 160, 220), edge_light};
    for (int x = 0; x < 3; ++x) {
        const QColor c = columns[left ? x : 2 - x];
        for (int y = 0; y < h; ++y)
            image.setPixelColor(x, y, c);
    }
    return image;
}

// The bottom band: the side edges' colours turned through the corner, the
// outermost pixel of each corner left out so the corner looks rounded.
QImage bottom_band(int w, int h)
{
    QImage image = blank(w, h);
    const QColor rows[4] = {edge_light, QColor(170, 196, 234), QColor(120, 160, 220), band_border};
    for (int y = 0; y < h; ++y) {
        const QColor c = rows[4 - h + y];
        for (int x = 0; x < w; ++x)
            image.setPixelColor(x, y, c);
    }
    for (int x = 0; x < 3 && x < w; ++x) {
        const QColor c = x == 0 ? band_border : x == 1 ? QColor(120, 160, 220) : edge_light;
        for (int y = 0; y < h - 3 + x && y < h; ++y) {
            image.setPixelColor(x, y, c);
            image.setPixelColor(w - 1 - x, y, c);
        }
    }
    image.setPixelColor(0, h - 1, Qt::transparent);
    image.setPixelColor(w - 1, h - 1, Qt::transparent);
    return image;
}

// The look behind a system button in each state.
void system_button_face(QPainter& p, int state, bool danger)
{
    if (state == 1)
        return;
    QColor face = danger ? QColor(222, 52, 44) : QColor(255, 255, 255, 60);
    if (state == 3)
        face = danger ? QColor(168, 28, 22) : QColor(16, 44, 100, 110);
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawRoundedRect(QRectF(0.5, 0.5, 29, 20), 3, 3);
}

QImage system_button(const QString& kind, int state)
{
    QImage image = blank(30, 21);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    system_button_face(p, state, kind == "qui");
    const QPen pen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QPointF c(15, 10.5);
    if (kind == "qui") {
        p.drawLine(c + QPointF(-4.5, -4.5), c + QPointF(4.5, 4.5));
        p.drawLine(c + QPointF(-4.5, 4.5), c + QPointF(4.5, -4.5));
    } else if (kind == "max") {
        p.drawRect(QRectF(c.x() - 5, c.y() - 4.5, 10, 9));
        p.drawLine(QPointF(c.x() - 5, c.y() - 3), QPointF(c.x() + 5, c.y() - 3));
    } else if (kind == "resume") {
        p.drawRect(QRectF(c.x() - 2.5, c.y() - 6, 8, 7));
        p.setBrush(state == 1 ? QColor(58, 114, 194) : state == 2 ? QColor(120, 170, 230) : QColor(40, 80, 150));
        p.drawRect(QRectF(c.x() - 5.5, c.y() - 2.5, 8, 7));
    } else if (kind == "min") {
        p.drawLine(c + QPointF(-5, 4), c + QPointF(5, 4));
    } else {
        // A gear.
        QPainterPath gear;
        const int teeth = 8;
        for (int i = 0; i < teeth * 2; ++i) {
            const qreal angle = M_PI * i / teeth;
            const qreal outer = (i % 2 == 0) ? 6.2 : 4.6;
            const QPointF a = c + QPointF(outer * std::cos(angle - 0.2), outer * std::sin(angle - 0.2));
            const QPointF b = c + QPointF(outer * std::cos(angle + 0.2), outer * std::sin(angle + 0.2));
            if (i == 0)
                gear.moveTo(a);
            else
                gear.lineTo(a);
            gear.lineTo(b);
        }
        gear.closeSubpath();
        p.setPen(QPen(Qt::white, 1.1));
        p.setBrush(Qt::white);
        p.drawPath(gear);
        p.setBrush(state == 3 ? QColor(40, 80, 150) : QColor(64, 118, 198));
        p.setPen(Qt::NoPen);
        p.drawEllipse(c, 2.2, 2.2);
    }
    return image;
}

QFont sans(int pixel_size, bool bold)
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(pixel_size);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

// The logo: a disc with a magnifier over a file, and the name under it.
QImage logo()
{
    QImage image = blank(107, 77);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QPointF c(53.5, 24);
    QRadialGradient glow(c, 24);
    glow.setColorAt(0, QColor(255, 255, 255, 90));
    glow.setColorAt(1, QColor(255, 255, 255, 20));
    p.setPen(QPen(QColor(255, 255, 255, 200), 1.6));
    p.setBrush(glow);
    p.drawEllipse(c, 21, 21);
    // A page with a folded corner.
    QPainterPath page;
    page.moveTo(c + QPointF(-11, -12));
    page.lineTo(c + QPointF(2, -12));
    page.lineTo(c + QPointF(8, -6));
    page.lineTo(c + QPointF(8, 12));
    page.lineTo(c + QPointF(-11, 12));
    page.closeSubpath();
    p.setPen(QPen(Qt::white, 1.4));
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawPath(page);
    p.setPen(QPen(QColor(80, 138, 216), 1.3));
    for (int i = 0; i < 3; ++i)
        p.drawLine(c + QPointF(-7, -4 + 5 * i), c + QPointF(3, -4 + 5 * i));
    // Magnifier over the page's corner.
    p.setPen(QPen(QColor(255, 206, 84), 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(QColor(255, 255, 255, 70));
    p.drawEllipse(c + QPointF(6, 5), 7, 7);
    p.drawLine(c + QPointF(11, 10), c + QPointF(16, 15));

    p.setPen(QColor(16, 48, 108, 120));
    p.setFont(sans(17, true));
    const QRectF name(0, 47, 107, 19);
    p.drawText(name.translated(0, 1), Qt::AlignCenter, QStringLiteral("Quarvel"));
    p.setPen(Qt::white);
    p.drawText(name, Qt::AlignCenter, QStringLiteral("Quarvel"));
    QFont small = sans(8, true);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 1.6);
    p.setFont(small);
    p.setPen(QColor(220, 234, 252));
    p.drawText(QRectF(0, 65, 107, 11), Qt::AlignCenter, QStringLiteral("UNDELETE"));
    return image;
}

// A page push button's face (the caption is drawn by the button).
QImage page_button(int w, int h, int state, QColor top, QColor bottom)
{
    QImage image = blank(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (state == 2) {
        top = top.lighter(112);
        bottom = bottom.lighter(112);
    } else if (state == 3) {
        std::swap(top, bottom);
        top = top.darker(110);
        bottom = bottom.darker(104);
    }
    const QRectF face(0.5, 0.5, w - 1, h - 1);
    QLinearGradient fill(face.topLeft(), face.bottomLeft());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.setPen(QPen(bottom.darker(130), 1));
    p.setBrush(fill);
    p.drawRoundedRect(face, 4, 4);
    if (state != 3) {
        p.setPen(QPen(QColor(255, 255, 255, 70), 1));
        p.drawLine(QPointF(4, 1.5), QPointF(w - 4, 1.5));
    }
    return image;
}

QImage check_box(bool ticked)
{
    QImage image = blank(14, 14);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(0.5, 0.5, 13, 13);
    if (ticked) {
        p.setPen(QPen(QColor(52, 108, 178), 1));
        p.setBrush(QColor(81, 149, 206));
        p.drawRoundedRect(box, 2, 2);
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tick;
        tick.moveTo(3.3, 7.2);
        tick.lineTo(5.9, 9.8);
        tick.lineTo(10.8, 4.2);
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    } else {
        p.setPen(QPen(QColor(139, 184, 241), 1));
        QLinearGradient fill(0, 0, 0, 14);
        fill.setColorAt(0, QColor(244, 248, 255));
        fill.setColorAt(1, Qt::white);
        p.setBrush(fill);
        p.drawRoundedRect(box, 2, 2);
    }
    return image;
}

QImage folder_icon()
{
    QImage image = blank(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath back;
    back.moveTo(1.5, 3.5);
    back.lineTo(6, 3.5);
    back.lineTo(7.5, 5);
    back.lineTo(14.5, 5);
    back.lineTo(14.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    p.setPen(QPen(QColor(196, 142, 32), 1));
    p.setBrush(QColor(240, 196, 90));
    p.drawPath(back);
    QLinearGradient front(0, 7, 0, 14);
    front.setColorAt(0, QColor(255, 222, 130));
    front.setColorAt(1, QColor(246, 198, 84));
    p.setBrush(front);
    p.drawRect(QRectF(1.5, 6.5, 13, 7));
    return image;
}

// A hard disk seen from the front, with its activity light.
QImage drive_icon()
{
    QImage image = blank(20, 20);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body(1.5, 5.5, 17, 10);
    QLinearGradient fill(body.topLeft(), body.bottomLeft());
    fill.setColorAt(0, QColor(236, 240, 246));
    fill.setColorAt(1, QColor(176, 186, 202));
    p.setPen(QPen(QColor(110, 122, 142), 1));
    p.setBrush(fill);
    p.drawRoundedRect(body, 2, 2);
    p.setPen(QPen(QColor(140, 150, 168), 1));
    p.drawLine(QPointF(3.5, 12.5), QPointF(11, 12.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 200, 90));
    p.drawEllipse(QPointF(15, 12.5), 1.4, 1.4);
    return image;
}

// A tile of a usage bar (tiled across; its height is the bar's less one).
QImage bar_tile(QColor top, QColor bottom)
{
    QImage image(8, 18, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 17);
    fill.setColorAt(0, top);
    fill.setColorAt(0.5, top.darker(104));
    fill.setColorAt(1, bottom);
    p.fillRect(image.rect(), fill);
    p.setPen(QColor(255, 255, 255, 80));
    p.drawLine(0, 1, 7, 1);
    return image;
}

// The progress bar's fill: blue diagonal stripes with a light top.
QImage progress_fill()
{
    QImage image(250, 10, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 9);
    fill.setColorAt(0, QColor(120, 180, 236));
    fill.setColorAt(1, QColor(64, 128, 204));
    p.fillRect(image.rect(), fill);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 46));
    // 250 is a multiple of the 10-pixel period, so the stripes tile seamlessly.
    for (int x = -10; x < 260; x += 10) {
        QPolygonF stripe;
        stripe << QPointF(x, 10) << QPointF(x + 5, 10) << QPointF(x + 15, 0) << QPointF(x + 10, 0);
        p.drawPolygon(stripe);
    }
    return image;
}

// The partition page's emblem: a disk platter under a magnifier.
QImage found_icon()
{
    QImage image = blank(48, 48);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(21, 22);
    QRadialGradient platter(c, 19);
    platter.setColorAt(0, QColor(236, 244, 252));
    platter.setColorAt(0.7, QColor(160, 190, 228));
    platter.setColorAt(1, QColor(98, 140, 200));
    p.setPen(QPen(QColor(60, 100, 170), 1.2));
    p.setBrush(platter);
    p.drawEllipse(c, 18, 18);
    p.setBrush(QColor(81, 149, 206, 150));
    p.drawPie(QRectF(c.x() - 18, c.y() - 18, 36, 36), 90 * 16, 100 * 16);
    p.setBrush(QColor(60, 100, 170));
    p.drawEllipse(c, 3, 3);
    p.setPen(QPen(QColor(255, 190, 60), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(QColor(255, 255, 255, 110));
    p.drawEllipse(QPointF(31, 31), 8, 8);
    p.drawLine(QPointF(37, 37), QPointF(44, 44));
    return image;
}

// The busy animation: a platter turning under a read head, with a
// magnifier sweeping across. `phase` runs from 0 to 1. The label showing it
// is 130 x 86 at the recovery page's corner, but the page writes its status
// line and progress bar from x = 90 and frames its top panel from y = 13 to
// 73: every frame keeps inside `busy_room`, or whatever frame the movie
// stops on stays painted over the page's own text.
const QRectF busy_room(12, 14, 76, 58);

QImage busy_frame(qreal phase)
{
    QImage image = blank(130, 86);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(busy_room);
    const QPointF c(42, 43);
    p.setPen(QPen(QColor(60, 100, 170), 1.5));
    p.setBrush(QColor(214, 228, 246));
    p.drawEllipse(c, 26, 26);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(81, 149, 206));
    const int start = int(-phase * 360 * 16);
    const QRectF platter(c.x() - 23, c.y() - 23, 46, 46);
    p.drawPie(platter, start, 70 * 16);
    p.setBrush(QColor(150, 190, 232));
    p.drawPie(platter, start + 180 * 16, 50 * 16);
    p.setBrush(QColor(60, 100, 170));
    p.drawEllipse(c, 4.5, 4.5);
    // Found files popping up one after another beside the platter, then
    // cleared: the first frame has none, and it is the one the page rests
    // on when a scan ends.
    for (int i = 0; i < 3; ++i) {
        if (phase < (1 + 3 * i) / 12.0 || phase >= 11 / 12.0)
            continue;
        p.setPen(QPen(QColor(60, 100, 170), 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(73.5 + (i % 2) * 3, 18.5 + i * 16, 9, 12));
    }
    // The magnifier sweeps over the platter and back.
    const qreal swing = std::sin(phase * 2 * M_PI);
    const QPointF lens = c + QPointF(16 * swing, -5 + 7 * std::cos(phase * 2 * M_PI));
    p.setPen(QPen(QColor(255, 178, 40), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(QColor(255, 255, 255, 140));
    p.drawEllipse(lens, 10, 10);
    p.drawLine(lens + QPointF(7, 7), lens + QPointF(15, 15));
    return image;
}

bool write_file(const QByteArray& bytes, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

bool draw_skin_images(const QDir& out)
{
    bool ok = true;
    const auto path = [&out](const QString& name) { return out.filePath(name); };

    ok &= save(title_band(800, 100), path("system/so.png"));
    ok &= save(side_edge(539, true), path("system/sl.png"));
    ok &= save(side_edge(539, false), path("system/sr.png"));
    ok &= save(bottom_band(10, 4), path("system/su.png"));
    ok &= save(title_band(500, 34), path("dialogs/so.png"));
    ok &= save(side_edge(370, true), path("dialogs/sl.png"));
    ok &= save(side_edge(370, false), path("dialogs/sr.png"));
    ok &= save(bottom_band(500, 3), path("dialogs/su.png"));
    ok &= save(logo(), path("top/logo.png"));

    for (int state = 1; state <= 3; ++state) {
        for (const char* kind : {"qui", "max", "resume", "min", "setting"})
            ok &= save(system_button(QString::fromLatin1(kind), state),
                       path(QStringLiteral("system/%1Button%2.png").arg(QLatin1String(kind)).arg(state)));
        ok &= save(page_button(100, 30, state, QColor(100, 154, 226), QColor(56, 106, 186)),
                   path(QStringLiteral("partition_search/btn_wai_%1.png").arg(state)));
        ok &= save(page_button(80, 30, state, QColor(84, 184, 222), QColor(38, 138, 188)),
                   path(QStringLiteral("partition_search/btn_start_%1.png").arg(state)));
    }
    ok &= save(check_box(false), path("partition_search/check1.png"));
    ok &= save(check_box(true), path("partition_search/check2.png"));
    ok &= save(drive_icon(), path("partition_search/drives.png"));
    ok &= save(bar_tile(QColor(240, 112, 100), QColor(196, 48, 40)), path("partition_search/red.png"));
    ok &= save(bar_tile(QColor(126, 206, 110), QColor(62, 152, 60)), path("partition_search/green.png"));
    ok &= save(progress_fill(), path("partition_search/loding_on.png"));
    ok &= save(found_icon(), path("partition_search/icon_found1.png"));
    ok &= save(folder_icon(), path("recovery/folder.png"));

    QList<QImage> frames;
    for (int i = 0; i < 12; ++i)
        frames.append(busy_frame(i / 12.0));
    ok &= write_file(encode_gif(frames, 100, QColor(244, 249, 255)), path("recovery/ani.gif"));
    return ok;
}
