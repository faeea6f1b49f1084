// What the skin paints: the progress bar, the button style sheet, the painted
// buttons' hit areas and places, and the compiled-in images the code names.
#include "shell/resources_init.h"
#include "skin/button_style.h"
#include "skin/progress_bar.h"
#include "skin/skin_button.h"

#include <QDirIterator>
#include <QImageReader>
#include <QRegularExpression>
#include <QtTest>
#include <cmath>
#include <limits>

namespace {

struct window_stub {};

QImage painted_bar(double value, const QRect& bar, QSize canvas = QSize(600, 80))
{
    progress_bar_c progress;
    progress.set_image(":/images/partition_search/loding_on.png", QColor(226, 240, 253));
    progress.set_value(value);
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    progress.draw(painter, bar);
    return image;
}

}  // namespace

class tst_skin_painting : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { init_app_resources(); }

    void progress_fill_and_text_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("last_column");
        QTest::addColumn<QString>("text");
        const QRect bar(120, 50, 450, 12);
        QTest::newRow("half") << 0.5 << 344 << "50%";
        QTest::newRow("full") << 1.0 << bar.right() << "100%";
        QTest::newRow("nothing") << 0.0 << 119 << "0%";
        QTest::newRow("almost") << 0.999 << 568 << "99%";
        QTest::newRow("0.425") << 0.425 << 310 << "42%";
        QTest::newRow("0.29 is not 28%") << 0.29 << 250 << "29%";
        QTest::newRow("overshoot held") << 1.7 << bar.right() << "100%";
        QTest::newRow("negative held") << -0.3 << 119 << "0%";
        QTest::newRow("NaN is nothing") << std::numeric_limits<double>::quiet_NaN() << 119 << "0%";
    }
    void progress_fill_and_text()
    {
        QFETCH(double, value);
        QFETCH(int, last_column);
        QFETCH(QString, text);
        const QRect bar(120, 50, 450, 12);
        QCOMPARE(progress_bar_c::fill_end(bar, value), last_column);
        QCOMPARE(progress_bar_c::percent_text(value), text);
        progress_bar_c progress;
        progress.set_value(value);
        QVERIFY(progress.current_value() >= 0.0 && progress.current_value() <= 1.0);
    }

    void progress_pixels()
    {
        const QRect bar(120, 50, 450, 12);
        const QColor background(226, 240, 253);
        // The bottom row carries no text: fill up to column 344, background after.
        const QImage half = painted_bar(0.5, bar);
        QVERIFY(half.pixelColor(344, 61) != background);
        QCOMPARE(half.pixelColor(345, 61), background);
        QCOMPARE(half.pixelColor(569, 61), background);
        QCOMPARE(half.pixelColor(570, 61), QColor(Qt::white));
        QCOMPARE(half.pixelColor(119, 61), QColor(Qt::white));
        // The texture starts at the bar's corner.
        const QImage fill(":/images/partition_search/loding_on.png");
        QCOMPARE(half.pixelColor(120, 61), fill.pixelColor(0, (61 - 50) % 10));
        const QImage none = painted_bar(0.0, bar);
        QCOMPARE(none.pixelColor(120, 61), background);
        // A bar outside the canvas paints nothing and does not crash.
        painted_bar(0.5, QRect(-1000, -1000, 5, 5));
        painted_bar(0.5, QRect(10, 10, 0, 0));
    }

    void button_style_sheet()
    {
        QCOMPARE(make_button_style("/images/a1.png", "/images/a2.png", "/images/a3.png"),
                 QString("QPushButton{ border-image: url(:/images/a1.png); }"
                         "QPushButton:hover{ border-image: url(:/images/a2.png);}"
                         "QPushButton:pressed{  border-image: url(:/images/a3.png);}"));
    }

    void button_places()
    {
        const QRect window(0, 0, 800, 600);
        system_button_c<window_stub> close;
        close.setup(":/images/system/quiButton1.png", ":/images/system/quiButton2.png",
                    ":/images/system/quiButton3.png", QRect(1, 1, 30, 21));
        // Columns 769..798 and rows 1..21, edges included.
        QVERIFY(close.contains(QPoint(769, 1), window));
        QVERIFY(close.contains(QPoint(798, 21), window));
        QVERIFY(!close.contains(QPoint(768, 10), window));
        QVERIFY(!close.contains(QPoint(799, 10), window));
        QVERIFY(!close.contains(QPoint(780, 22), window));
        QVERIFY(!close.contains(QPoint(780, 0), window));

        top_button_c<window_stub> top;
        top.setup(":/images/multilang/fr/btn_top21.png", ":/images/multilang/fr/btn_top22.png",
                  ":/images/multilang/fr/btn_top23.png", QRect(113, 25, 95, 70));
        QVERIFY(top.contains(QPoint(207, 94), window));
        QVERIFY(!top.contains(QPoint(208, 94), window));
        QVERIFY(!top.contains(QPoint(207, 95), window));

        // Drawn at their places in the state they are in; an odd state draws the normal image.
        QImage canvas(800, 100, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::black);
        QPainter painter(&canvas);
        close.state = button_pressed;
        close.draw(painter, window);
        top.state = 7;
        top.draw(painter, window);
        painter.end();
        const QImage pressed = close.images[2].toImage();
        QCOMPARE(canvas.copy(769, 1, 30, 21).convertToFormat(QImage::Format_RGB32),
                 [&] {
                     QImage expected(30, 21, QImage::Format_ARGB32_Premultiplied);
                     expected.fill(Qt::black);
                     QPainter p(&expected);
                     p.drawImage(0, 0, pressed);
                     return expected.convertToFormat(QImage::Format_RGB32);
                 }());
        QVERIFY(canvas.pixelColor(768, 10) == QColor(Qt::black));
    }

    // Every picture the code names is compiled in, at the size the layout
    // was drawn for.
    void named_images_exist_at_their_sizes()
    {
        const QString source = qEnvironmentVariable("QUARVEL_SOURCE_DIR");
        QVERIFY(!source.isEmpty());
        const QRegularExpression literal(QStringLiteral(R"re("(:?/images/[A-Za-z0-9_./-]+\.(?:png|gif|ico))")re"));
        QStringList named;
        for (const char* folder : {"app", "skin", "devices", "results", "partition", "scan"}) {
            QDirIterator files(source + "/" + folder, {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QFile file(files.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QString text = QString::fromUtf8(file.readAll());
                for (const auto& m : literal.globalMatch(text)) {
                    QString path = m.captured(1);
                    if (!path.startsWith(':'))
                        path.prepend(':');
                    named << path;
                    QVERIFY2(!QImage(path).isNull(), qPrintable(path + " named in " + file.fileName()));
                }
            }
        }
        QVERIFY2(named.size() >= 5, "the scan found the skin's own image names");

        const struct {
            const char* path;
            QSize size;
        } stated[] = {
            {"system/so.png", {800, 100}},          {"system/sl.png", {3, 539}},
            {"system/sr.png", {3, 539}},            {"system/su.png", {10, 4}},
            {"dialogs/so.png", {500, 34}},          {"dialogs/sl.png", {3, 370}},
            {"dialogs/sr.png", {3, 370}},           {"dialogs/su.png", {500, 3}},
            {"top/logo.png", {107, 77}},            {"background/bai.png", {5, 50}},
            {"partition_search/btn_wai_1.png", {100, 30}}, {"partition_search/btn_start_1.png", {80, 30}},
            {"partition_search/loding_on.png", {250, 10}}, {"partition_search/icon_found1.png", {48, 48}},
            {"partition_search/check1.png", {14, 14}},     {"partition_search/check2.png", {14, 14}},
            {"partition_search/drives.png", {20, 20}},     {"partition_search/red.png", {8, 18}},
            {"partition_search/green.png", {8, 18}},       {"recovery/folder.png", {16, 16}},
            {"recovery/ani.gif", {130, 86}},
        };
        for (const auto& image : stated) {
            const QString path = QStringLiteral(":/images/") + QLatin1String(image.path);
            QCOMPARE(QImageReader(path).size(), image.size);
        }
        for (const char* kind : {"qui", "max", "resume", "min", "setting"}) {
            for (int state = 1; state <= 3; ++state) {
                const QString path = QStringLiteral(":/images/system/%1Button%2.png").arg(kind).arg(state);
                QCOMPARE(QImage(path).size(), QSize(30, 21));
            }
        }
        for (const char* folder : {"partition_search/btn_wai_", "partition_search/btn_start_"})
            for (int state = 2; state <= 3; ++state)
                QVERIFY(!QImage(QStringLiteral(":/images/%1%2.png").arg(folder).arg(state)).isNull());
        QDirIterator languages(":/images/multilang", QDir::Dirs | QDir::NoDotAndDotDot);
        while (languages.hasNext()) {
            const QString folder = languages.next();
            for (int image = 11; image <= 33; ++image) {
                if (image % 10 >= 1 && image % 10 <= 3)
                    QCOMPARE(QImage(QStringLiteral("%1/btn_top%2.png").arg(folder).arg(image)).size(), QSize(95, 70));
            }
        }

        // The busy animation really animates: every frame decodes, and they differ.
        QImageReader animation(":/images/recovery/ani.gif");
        QVERIFY(animation.supportsAnimation());
        QList<QImage> frames;
        for (QImage frame = animation.read(); !frame.isNull(); frame = animation.read())
            frames << frame;
        QVERIFY(frames.size() >= 8);
        QCOMPARE(frames.size(), animation.imageCount());
        QCOMPARE(frames.last().size(), QSize(130, 86));
        QVERIFY(frames.first() != frames[frames.size() / 2]);
    }

    // The animation label and the page strip lie under the recovery and
    // partition pages' own drawing: neither may leave marks on it.
    void page_pictures_leave_the_pages_text_alone()
    {
        // The recovery page writes its status line and bar from x = 90; the
        // movie stays on whatever frame it stopped on.
        QImageReader animation(":/images/recovery/ani.gif");
        int frame_number = 0;
        for (QImage frame = animation.read(); !frame.isNull(); frame = animation.read(), ++frame_number) {
            frame = frame.convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < frame.height(); ++y)
                for (int x = 88; x < frame.width(); ++x)
                    QVERIFY2(qAlpha(frame.pixel(x, y)) == 0,
                             qPrintable(QStringLiteral("frame %1 paints (%2, %3)").arg(frame_number).arg(x).arg(y)));
        }
        QVERIFY(frame_number > 0);

        // The strip ends in the white under the pages, so its lower edge
        // draws no line through the panels that reach below it.
        const QImage strip = QImage(":/images/background/bai.png").convertToFormat(QImage::Format_ARGB32);
        for (int x = 0; x < strip.width(); ++x)
            QCOMPARE(QColor(strip.pixel(x, strip.height() - 1)), QColor(Qt::white));
    }
};

QTEST_MAIN(tst_skin_painting)
#include "tst_skin_painting.moc"
