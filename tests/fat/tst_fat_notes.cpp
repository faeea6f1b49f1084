// What a FAT scan skipped reaches the person as notes: the same note gives
// the window's summary line and list, quarvel-cli's line on stderr and its
// --json record.
#include "fat_image.h"

#include "jobs/job_note.h"
#include "results/scan_messages.h"
#include "scan/fat/fat_recovery.h"
#include "support/english_notes.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

class tst_fat_notes : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;

    // A volume cut short after cluster 10,000 whose root names a folder at
    // cluster 19,000: that folder cannot be read.
    volume_item_s cut_volume()
    {
        fat_image_c image(16, 20000);
        fat_image_c::put_short(image.entry(0, 0), "NEAR       ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(0, 1), "FAR        ", 0x10, 19000, 0);
        fat_image_c::put_short(image.entry(3, 0), "\xE5" "1EAR   TXT", 0x20, 5, 600);
        image.chain(3, 1);
        image.chain(19000, 1);
        image.bytes.resize(static_cast<size_t>((image.first_data_sector() + 10000) * 512));
        return image.save(tmp_.path(), "cut.img");
    }

    // quarvel-cli's stdout and stderr for a scan of the image.
    bool run_cli(const QStringList& args, QByteArray* out, QByteArray* err)
    {
        QProcess p;
        p.start(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli", args);
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return false;
        *out = p.readAllStandardOutput();
        *err = p.readAllStandardError();
        return true;
    }

private slots:
    void note_text_fills_marks_once()
    {
        const text_lookup_fn table = [](std::string_view key) {
            return key == "two" ? QStringLiteral("%2 of %1, %3") : QString();
        };
        // A %2 inside the first argument is part of it, not a mark; a mark
        // without its argument stays; a key no table knows is said as itself.
        QCOMPARE(note_text({"two", {"50%2", 7}}, table), QStringLiteral("7 of 50%2, %3"));
        QCOMPARE(note_text({"unknown_key", {1}}, table), QStringLiteral("unknown_key"));
        QCOMPARE(notes_line({{"two", {1, 2, 3}}, {"two", {4, 5, 6}}}, table), QStringLiteral("2 of 1, 3; 5 of 4, 6"));
    }

    void skipped_folder_reaches_window_and_cli_alike()
    {
        QVERIFY(tmp_.isValid());
        const volume_item_s volume = cut_volume();
        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.set_lost_pass(lost_pass_e::off);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        const job_note_s cut{"note_folders_cut_short", {qlonglong(1)}};
        const job_notes_t notes = scanner.notes();
        QCOMPARE(notes, job_notes_t{cut});
        QCOMPARE(scanner.job_outcome().notes, notes);
        const QString english = note_text(cut, english_text);
        QCOMPARE(english, QStringLiteral("1 folder(s) could not be read to the end (damaged or truncated volume)"));

        // The window: its summary line and the list behind the link.
        const scan_notes_text_s shown = scan_notes_text(notes, english_text);
        QCOMPARE(shown.line, english);
        QCOMPARE(shown.notes, QStringList{english});
        const scan_notes_text_s two = scan_notes_text({cut, cut}, english_text);
        QCOMPARE(two.line, english + QStringLiteral(" (and 1 more)"));

        if (!QFile::exists(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli"))
            QSKIP("quarvel-cli is not built");
        const QString path = volume.device_path.section(QLatin1Char(':'), 0, 0);
        QByteArray out, err;
        QVERIFY(run_cli({"scan", path, "--no-lost"}, &out, &err));
        QVERIFY2(err.contains(("quarvel-cli: " + english + "\n").toUtf8()), err.constData());

        // --json: the note whole, beside the rows of the files.
        const auto note_records = [&out] {
            QList<QJsonObject> records;
            for (const QByteArray& line : out.split('\n'))
                if (const QJsonObject row = QJsonDocument::fromJson(line).object(); row.value("record") == "note")
                    records << row;
            return records;
        };
        QVERIFY(run_cli({"--json", "scan", path, "--no-lost"}, &out, &err));
        const QList<QJsonObject> records = note_records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value("key").toString(), QStringLiteral("note_folders_cut_short"));
        QCOMPARE(records[0].value("args").toArray(), QJsonArray{1});
        QCOMPARE(records[0].value("text").toString(), english);
        // What the record carries is the note again.
        const job_note_s back{records[0].value("key").toString().toStdString(),
                              records[0].value("args").toArray().toVariantList()};
        QCOMPARE(note_text(back, english_text), english);

        // The search for lost files after the listing walks the folders
        // again and meets the same damage: said once, not once a pass.
        for (const QStringList& args : {QStringList{"scan", path}, QStringList{"--json", "scan", path}}) {
            QVERIFY(run_cli(args, &out, &err));
            QVERIFY2(err.contains("searched the volume for lost files\n"), err.constData());
            QCOMPARE(err.count(("quarvel-cli: " + english + "\n").toUtf8()), 1);
        }
        const QList<QJsonObject> searched = note_records();
        QCOMPARE(std::count_if(searched.begin(), searched.end(),
                               [](const QJsonObject& row) { return row.value("key") == "note_folders_cut_short"; }),
                 1);
    }
};

QTEST_GUILESS_MAIN(tst_fat_notes)
#include "tst_fat_notes.moc"
