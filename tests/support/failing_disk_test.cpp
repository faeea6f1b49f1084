// The failing-disk tool itself: sound sectors read as the image, a bad
// sector fails with EIO exactly at its edges, a slow range takes its time.
#include "support/failing_disk.h"
#include "support/fixtures.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

class failing_disk_test_c : public QObject {
    Q_OBJECT
private slots:
    void serves_bad_and_slow_sectors()
    {
        QUARVEL_FAILING_DISK_OR_SKIP();
        const QString dir = QString::fromStdString(test_support::make_temp_dir("failing-disk"));
        const QString image = dir + "/disk.img";
        QByteArray bytes(64 * 512, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + i / 512);
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();

        test_support::failing_disk_c disk;
        QUARVEL_START_FAILING_DISK(disk, image, {"--bad", "5,10-11", "--slow", "40-41:300"});
        const int fd = ::open(QFile::encodeName(disk.path()).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        char buffer[2048];
        QCOMPARE(::pread(fd, buffer, 2048, 1 * 512), ssize_t(2048));  // sectors 1-4
        QCOMPARE(QByteArray(buffer, 2048), bytes.mid(512, 2048));
        for (const int sector : {5, 10, 11}) {
            errno = 0;
            QCOMPARE(::pread(fd, buffer, 512, sector * 512), ssize_t(-1));
            QCOMPARE(errno, EIO);
        }
        QCOMPARE(::pread(fd, buffer, 2048, 6 * 512), ssize_t(2048));  // 6-9, between the bad ones
        QCOMPARE(::pread(fd, buffer, 512, 63 * 512 + 100), ssize_t(412));  // the end of the image

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(::pread(fd, buffer, 512, 41 * 512), ssize_t(512));
        QVERIFY(timer.elapsed() >= 290);
        ::close(fd);
        QVERIFY(disk.stop());
        QVERIFY(!QFile::exists(image + ".failing"));
    }
};

QTEST_GUILESS_MAIN(failing_disk_test_c)
#include "failing_disk_test.moc"
