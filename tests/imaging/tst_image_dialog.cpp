// The window's imaging: "Save an image…" on the drive and volume pages fits
// beside the heading in every language, and the dialog runs the job to its
// end with its figures and offers to open the image; a failing disk is
// imaged, stopped and resumed from the dialog, and the image with its map
// scans with exactly the files over unsaved sectors unreadable. With
// QUARVEL_SCREENSHOT_DIR set the pages and the dialog are saved as PNGs.
#include "app/pages/drive_window.h"
#include "app/pages/image_dialog.h"
#include "app/pages/volume_window.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "support/failing_disk.h"
#include "support/fixtures.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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

QPushButton* button_with(QWidget& widget, const QString& text)
{
    for (QPushButton* b : widget.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
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

    void failing_disk_imaged_stopped_resumed_and_scanned()
    {
        QUARVEL_FAILING_DISK_OR_SKIP();
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("skip: quarvel-cli was not built");
        QUARVEL_FIXTURE(f, "fat32");
        load(QStringLiteral("English"));
        // One bad sector inside each of two deleted files, and a slow stretch
        // before them so that Stop lands in the middle of the copy.
        const auto* notes = test_support::find_entry(f, "deleted", 1, "/NOTES.TXT");
        const auto* data = test_support::find_entry(f, "deleted", 1, "/Old Projects/Sub Folder/data file.bin");
        QVERIFY(notes && data);
        const long long bad[] = {test_support::field_number(*notes, 5) / 512 + 1,
                                 test_support::field_number(*data, 5) / 512 + 2};
        QTemporaryDir dir;
        test_support::failing_disk_c disk;
        QUARVEL_START_FAILING_DISK(disk, QString::fromStdString(f.image),
                                   {"--bad", QString("%1,%2").arg(bad[0]).arg(bad[1]), "--slow", "2000-2400:20"},
                                   dir.filePath("card.failing"));
        const QByteArray before = hash_of(QString::fromStdString(f.image));

        const QString dest = dir.filePath("card.img");
        image_dialog_c dialog(disk.path(), dest);
        QCOMPARE(dialog.prepare(), QString());
        bool offered = false;
        set_warning_driver([&](QMessageBox& box) {
            offered = box.text().contains(text_for_key("image_done_open").left(10));
            box.button(QMessageBox::Yes)->click();
        });
        dialog.show();
        dialog.start();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.job().imaging_progress().rescued > 0, 60000);
        QPushButton* stop = button_with(dialog, text_for_key("btn_stop"));
        QVERIFY(stop);
        stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(stop->isEnabled() && stop->text() == text_for_key("btn_resume"), 60000);
        QVERIFY(!dialog.job().finished());
        QVERIFY(QFile::exists(dialog.job().map_path()));
        stop->click();  // Resume
        QTRY_VERIFY_WITH_TIMEOUT(dialog.open_image(), 120000);
        set_warning_driver(nullptr);
        QVERIFY(offered);
        QCOMPARE(dialog.job().imaging_progress().unreadable, uint64_t(2 * 512));
        QCOMPARE(hash_of(QString::fromStdString(f.image)), before);

        // The image opens with the map beside it: the two files are named
        // unreadable without a read, every other deleted file comes back exact.
        const QString volume = dest + ":p1";
        QProcess scan;
        scan.start(cli, {"--image", dest, "--json", "scan", volume, "--no-lost"});
        QVERIFY(scan.waitForFinished(120000));
        const QByteArray out = scan.readAllStandardOutput();
        QProcess recover;
        recover.start(cli, {"--image", dest, "recover", volume, "--to", dir.filePath("out"), "--all", "--flat", "--no-lost"});
        QVERIFY(recover.waitForFinished(120000));
        QStringList unreadable;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value("state").toString() == QStringLiteral("unreadable sectors"))
                unreadable << o.value("name").toString();
        }
        unreadable.sort();
        QCOMPARE(unreadable.join('|'), QStringLiteral("#OTES.TXT|#ata file.bin"));
        for (const auto& e : test_support::entries_on(f, "deleted", 1)) {
            const QString path = QString::fromStdString(test_support::field(e, 1));
            const QString name = path.section('/', -1);
            if (path.endsWith("NOTES.TXT") || path.endsWith("data file.bin") || test_support::field(e, 4) != "contiguous")
                continue;
            QStringList written = QDir(dir.filePath("out")).entryList({"*" + name.mid(1)}, QDir::Files);
            QVERIFY2(written.size() == 1, qPrintable(path + ": " + written.join(',') + "\n" + recover.readAllStandardError()));
            QCOMPARE(hash_of(dir.filePath("out/" + written[0])).toHex(),
                     QByteArray::fromStdString(test_support::field(e, 3)));
        }
    }
};

QTEST_MAIN(tst_image_dialog)
#include "tst_image_dialog.moc"
