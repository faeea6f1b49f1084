// Text that comes from a disk, an image or a scan file reaches a terminal,
// a JSON reader or a message box as text only: no control sequence, no
// reordering of what follows it, no line break inside a JSON value, no markup.
#include "shell/message_box.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_text_from_disks : public QObject {
    Q_OBJECT

private slots:
    void cli_escapes_controls_and_bidi_overrides()
    {
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        QTemporaryDir tmp;
        // RIGHT-TO-LEFT OVERRIDE, LEFT-TO-RIGHT ISOLATE, the C1 CSI, LINE
        // SEPARATOR, PARAGRAPH SEPARATOR and NEXT LINE in one image name.
        const QByteArray name = "card\xe2\x80\xae\xe2\x81\xa6\xc2\x9bx\xe2\x80\xa8\xe2\x80\xa9\xc2\x85.img";
        const QString image = tmp.path() + "/" + QString::fromUtf8(name);
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(1 << 20));
        f.close();
        for (const bool json : {false, true}) {
            QProcess p;
            QStringList args = {"--image", image};
            if (json)
                args << "--json";
            p.start(cli, args << "drives");
            QVERIFY(p.waitForFinished(60000));
            const QByteArray out = p.readAllStandardOutput();
            QVERIFY2(out.contains("card"), out.constData());
            if (json) {
                for (const char* escaped : {"\\u2028", "\\u2029", "\\u0085"})
                    QVERIFY2(out.contains(escaped), out.constData());
                for (const char* raw : {"\xe2\x80\xa8", "\xe2\x80\xa9", "\xc2\x85"})
                    QVERIFY(!out.contains(raw));
            } else {
                for (const char* escaped : {"\\u202e", "\\u2066", "\\u009b", "\\u0085"})
                    QVERIFY2(out.contains(escaped), out.constData());
                for (const char* raw : {"\xe2\x80\xae", "\xe2\x81\xa6", "\xc2\x9b", "\xc2\x85"})
                    QVERIFY(!out.contains(raw));
            }
        }
    }

    void message_boxes_show_plain_text()
    {
        Qt::TextFormat format = Qt::AutoText;
        QString shown;
        set_warning_driver([&](QMessageBox& box) {
            format = box.textFormat();
            shown = box.text();
            box.close();
        });
        show_message(nullptr, QStringLiteral("Quarvel"), QStringLiteral("<b>DCIM</b><img src=x>"), QMessageBox::Ok);
        set_warning_driver(nullptr);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(shown, QStringLiteral("<b>DCIM</b><img src=x>"));
    }
};

QTEST_MAIN(tst_text_from_disks)
#include "tst_text_from_disks.moc"
