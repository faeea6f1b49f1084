// Our master boot code: the table in the program is what mbr.asm assembles
// to, its messages sit where the locator bytes say, and it boots (or fails
// with the right message) under an emulated PC.
#include "disk_image.h"
#include "partition/boot_code.h"
#include "partition/mbr_layout.h"
#include "support/fixtures.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QThread>

using namespace part_test;

namespace {
// A volume boot sector that writes a marker to the first serial port and
// halts:
//   xor ax,ax / mov ds,ax / mov si,msg / mov dx,0x3F8
//   next: lodsb / test al,al / jz halt / out dx,al / jmp next
//   halt: hlt / jmp halt
const uint8_t marker_code[] = {0x31, 0xC0, 0x8E, 0xD8, 0xBE, 0x15, 0x7C, 0xBA, 0xF8, 0x03, 0xAC,
                               0x84, 0xC0, 0x74, 0x03, 0xEE, 0xEB, 0xF8, 0xF4, 0xEB, 0xFD};
const char marker[] = "QUARVEL-VBR-MARKER";

sector_bytes_t marker_boot_sector()
{
    sector_bytes_t s{};
    std::copy(std::begin(marker_code), std::end(marker_code), s.begin());
    std::memcpy(s.data() + sizeof marker_code, marker, sizeof marker);  // at 0x7C15
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

QString message_at(uint8_t locator)
{
    const size_t offset = size_t(locator) + 256;
    QString text;
    for (size_t i = offset; i < partition::boot_code_size && partition::master_boot_code[i]; ++i)
        text += QChar(partition::master_boot_code[i]);
    return text;
}

// Boots image in the emulator until the screen or the serial port shows
// want (or 20 s pass); returns the screen's text and the serial output.
void boot(const QString& qemu, const QString& image, const QString& want, QString* screen, QString* serial)
{
    const QString serial_file = image + ".serial", vga_file = image + ".vga";
    QFile::remove(serial_file);
    QProcess vm;
    vm.start(qemu, {"-drive", "file=" + image + ",format=raw,if=ide", "-display", "none", "-nic", "none",
                    "-serial", "file:" + serial_file, "-monitor", "stdio", "-no-reboot", "-m", "32"});
    if (!vm.waitForStarted(10000))
        return;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        QThread::msleep(500);
        QFile::remove(vga_file);
        vm.write(QStringLiteral("pmemsave 0xb8000 4000 \"%1\"\n").arg(vga_file).toLocal8Bit());
        vm.waitForBytesWritten(1000);
        for (int i = 0; i < 20 && !QFile::exists(vga_file); ++i)
            QThread::msleep(50);
        QThread::msleep(100);
        const QByteArray vga = read_at(vga_file, 0, 4000);
        screen->clear();
        for (int i = 0; i + 1 < vga.size(); i += 2) {
            screen->append(vga[i] ? QChar(uchar(vga[i])) : QChar(' '));
            if ((i / 2) % 80 == 79)
                screen->append('\n');
        }
        QFile s(serial_file);
        *serial = s.open(QIODevice::ReadOnly) ? QString::fromLatin1(s.readAll()) : QString();
        if (screen->contains(want) || serial->contains(want))
            break;
    }
    vm.write("quit\n");
    if (!vm.waitForFinished(5000)) {
        vm.kill();
        vm.waitForFinished();
    }
}
}  // namespace

class boot_code_test_c : public QObject {
    Q_OBJECT
    QString dir_;

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-boot"));
        QVERIFY(!dir_.isEmpty());
    }

    void table_matches_source()
    {
        const QString bin = QStringLiteral(QUARVEL_MBR_BIN);
        if (bin.isEmpty())
            QSKIP("skip: nasm was not found when the build was configured");
        QFile f(bin);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(bin));
        const QByteArray assembled = f.readAll();
        QCOMPARE(assembled.size(), int(partition::boot_code_size));
        const QByteArray table(reinterpret_cast<const char*>(partition::master_boot_code.data()),
                               int(partition::boot_code_size));
        QVERIFY2(assembled == table, "partition/boot_code.cpp is out of date: run partition/boot/update_table.sh");
    }

    void locators_point_at_messages()
    {
        const auto& code = partition::master_boot_code;
        QCOMPARE(message_at(code[partition::locator_invalid_table]), QString("Invalid partition table"));
        QCOMPARE(message_at(code[partition::locator_load_error]), QString("Error loading operating system"));
        QCOMPARE(message_at(code[partition::locator_missing_os]), QString("Missing operating system"));
    }

    void boots_in_emulator_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("want");
        QTest::newRow("active partition boots") << "ok" << QString(marker);
        QTest::newRow("second non-zero status") << "invalid" << "Invalid partition table";
        QTest::newRow("no 0x55AA in the boot sector") << "missing" << "Missing operating system";
        QTest::newRow("boot sector cannot be read") << "unreadable" << "Error loading operating system";
        QTest::newRow("nothing active: next boot device") << "inactive" << "Booting from Floppy";
    }

    // Every sector 0 here is built by the repair's own code.
    void boots_in_emulator()
    {
        QFETCH(QString, layout);
        QFETCH(QString, want);
        const QString qemu = find_tool("qemu-system-i386");
        if (qemu.isEmpty())
            QSKIP("skip: qemu-system-i386 is not installed (Debian package qemu-system-x86)");
        const QString image = dir_ + "/boot-" + layout + ".img";
        QVERIFY(make_sparse(image, 4 << 20));
        partition::sector_t old{};
        std::vector<partition_item_s> parts = {{"FAT32", 12, 2048, 4095}};
        if (layout == "invalid") {
            parts.push_back({"FAT32", 12, 6000, 6100});
        } else if (layout == "unreadable") {
            parts[0] = {"FAT32", 12, 0xF0000000u, 0xF0001000u};
        }
        auto sector = partition::build_master_boot_record(old, parts, 255, 63);
        if (layout == "inactive")
            sector[446] = 0;
        if (layout == "invalid")
            sector[462] = 0x01;  // the repair writes 0x00; the boot code must still catch a bad byte
        QVERIFY(write_at(image, 0, sector.data(), sector.size()));
        if (layout != "missing")
            QVERIFY(put_sector(image, 2048, marker_boot_sector()));

        QString screen, serial;
        boot(qemu, image, want, &screen, &serial);
        QVERIFY2(screen.contains(want) || serial.contains(want), qPrintable(screen + "\nserial: " + serial));
        const QStringList messages = {"Invalid partition table", "Error loading operating system",
                                      "Missing operating system"};
        for (const QString& m : messages)
            if (m != want)
                QVERIFY2(!screen.contains(m), qPrintable(screen));
        if (layout != "ok")
            QVERIFY(!serial.contains(marker));
    }
};

QTEST_GUILESS_MAIN(boot_code_test_c)
#include "boot_code_test.moc"
