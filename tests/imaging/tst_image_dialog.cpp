// The window's imaging: "Save an image…" on the drive and volume pages fits
// beside the heading in every language, and the dialog runs the job to its
// end with its figures and offers to open the image. With
// QUARVEL_SCREENSHOT_DIR set the pages and the dialog are saved as PNGs.
#include "app/pages/drive_window.h"
#include "app/pages/image_dialog.h"
#include "app/pages/volume_window.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList languages = {"English",  "Deutsch",  "Español",   "Français",   "Italiano",
                               "日本語", "简体中文", "繁體中文", "Nederlands", "Português"};

void load(const QString& language)
{
    const std::string path = qEnvironmentVariable("QUARVEL_SOURCE_DIR").toStdString() + "/data/language.ini";
    QVERIFY(load_language_file(path, language, false) == 0);
}

void shoot(QWidget& widget, const QString& name)
{
    const QString dir = qEnvironmentVariable("QUARVEL_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        widget.grab().save(dir + "/" + name + ".png");
}

QByteArray hash_of(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}

}  // namespace

class tst_image_dialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { init_app_resources(); }

    void button_fits_beside_the_heading_in_every_language()
    {
        for (const QString& language : languages) {
            load(language);
            drive_window_c drives(nullptr);
            volume_window_c volumes(nullptr);
            for (QWidget* page : {static_cast<QWidget*>(&drives), static_cast<QWidget*>(&volumes)}) {
                page->resize(794, 500);
                page->show();
                auto* button = page->findChild<QPushButton*>("btn_image");
                QVERIFY(button);
                QVERIFY2(!button->text().isEmpty(), qPrintable(language));
                const int heading_end = 23 + QFontMetrics(QFont("Arial", 12)).horizontalAdvance(text_for_key("volume_select"));
                QVERIFY2(button->x() > heading_end + 10, qPrintable(language + ": " + button->text()));
                QVERIFY(button->geometry().right() < page->width());
                QVERIFY(button->width() >= button->fontMetrics().horizontalAdvance(button->text()));
            }
            shoot(drives, "drive_page_" + language);
            shoot(volumes, "volume_page_" + language);
        }
    }

    void dialog_saves_the_image_and_offers_to_open_it()
    {
        load(qEnvironmentVariable("QUARVEL_SCREENSHOT_LANGUAGE", "English"));
        QTemporaryDir dir;
        const QString source = dir.filePath("card.img");
        {
            QFile f(source);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QByteArray bytes(4 << 20, '\0');
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>(i * 7 + i / 4096);
            f.write(bytes);
        }
        const QString dest = dir.filePath("copy.img");
        image_dialog_c dialog(source, dest);
        QCOMPARE(dialog.prepare(), QString());
        QString asked;
        set_warning_driver([&](QMessageBox& box) {
            asked = box.text();
            shoot(dialog, "image_dialog_done");
            box.button(QMessageBox::Yes)->click();
        });
        dialog.show();
        dialog.start();
        shoot(dialog, "image_dialog_running");
        QTRY_VERIFY_WITH_TIMEOUT(dialog.open_image(), 60000);
        set_warning_driver(nullptr);
        QVERIFY2(asked.contains(text_for_key("image_done_open").left(10)), qPrintable(asked));
        QCOMPARE(hash_of(dest), hash_of(source));
        dialog.refresh();
        const auto labels = dialog.findChildren<QLabel*>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](QLabel* l) {
            return l->text().contains(text_for_key("image_phase_finished"));
        }));
    }
};

QTEST_MAIN(tst_image_dialog)
#include "tst_image_dialog.moc"
