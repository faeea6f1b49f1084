// One window per user: a second start hands its images to the first, a lock
// left by a killed copy never blocks, and without XDG_RUNTIME_DIR each user
// gets a folder of their own.
#include "platform/folders.h"
#include "platform/single_instance.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

class tst_single_instance : public QObject {
    Q_OBJECT

private slots:
    void second_start_hands_over_images()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        platform::single_instance_c first(folder.path());
        QVERIFY(first.take());
        QVERIFY(first.listen());
        QSignalSpy handed(&first, &platform::single_instance_c::images_handed);

        platform::single_instance_c second(folder.path());
        QVERIFY(!second.take());
        const QStringList images = {QStringLiteral("/data/card one.img"), QStringLiteral("/data/Ü.img")};
        // The hand-over blocks; the first copy answers from its event loop.
        auto answer = std::async(std::launch::async, [&] { return second.hand_over(images, 20000); });
        QTRY_COMPARE_WITH_TIMEOUT(handed.size(), 1, 20000);
        QCOMPARE(handed.first().first().toStringList(), images);
        QTRY_VERIFY_WITH_TIMEOUT(answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 20000);
        QVERIFY(answer.get());
    }

    void lock_of_killed_copy_is_taken_over()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        // A copy that took the lock and was killed before it could let go.
        QProcess holder;
        holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(holder.waitForStarted());
        // Written as the lock names its owner: the process id, its program's
        // name (checked against the running process) and the host.
        const QString program =
            QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(holder.processId()))).fileName();
        QFile lock(folder.filePath(QStringLiteral("Quarvel.lock")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(holder.processId()) + "\n" + program.toUtf8() + "\n" +
                   QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        platform::single_instance_c while_alive(folder.path());
        QVERIFY(!while_alive.take());
        holder.kill();
        QVERIFY(holder.waitForFinished());

        QFile socket(folder.filePath(QStringLiteral("Quarvel.socket")));
        QVERIFY(socket.open(QIODevice::WriteOnly));
        socket.close();
        platform::single_instance_c after(folder.path());
        QVERIFY(after.take());
        QVERIFY(after.listen());  // the killed copy's socket would stand in the way too
    }

    void runtime_folder_is_the_users_own()
    {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        qputenv("TMPDIR", tmp.path().toUtf8());
        // Another user's runtime folder, left behind by su: not used.
        qputenv("XDG_RUNTIME_DIR", "/");
        const QString own = QString::fromStdString(platform::runtime_dir());
        QCOMPARE(own, tmp.path() + QStringLiteral("/quarvel-") + QString::number(::geteuid()));
        struct stat st {};
        QCOMPARE(::lstat(own.toUtf8().constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        // A link planted under that name is not followed.
        QVERIFY(QDir(own).removeRecursively());
        QVERIFY(QFile::link(tmp.path(), own));
        QVERIFY(QString::fromStdString(platform::runtime_dir()) != own);
        qputenv("XDG_RUNTIME_DIR", saved);
        qunsetenv("TMPDIR");
    }
};

QTEST_GUILESS_MAIN(tst_single_instance)
#include "tst_single_instance.moc"
