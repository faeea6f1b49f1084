// A second copy of the program ends at once with status 255 while the first
// one holds the single-instance lock, and leaves the first one running.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_app_instance : public QObject {
    Q_OBJECT

private slots:
    void second_instance_exits();
};

void tst_app_instance::second_instance_exits()
{
    const QString program = QDir(qEnvironmentVariable("QUARVEL_BIN_DIR")).filePath("quarvel");
    if (!QFileInfo(program).isExecutable())
        QSKIP("the quarvel program is not built");

    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("XDG_CONFIG_HOME", runtime.filePath("config"));
    env.insert("XDG_STATE_HOME", runtime.filePath("state"));
    env.insert("QT_QPA_PLATFORM", "offscreen");

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(program, {});
    QVERIFY(first.waitForStarted());
    const QString lock = runtime.filePath("Quarvel.lock");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 10000);

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(program, {});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 255);
    QVERIFY(second.readAllStandardOutput().isEmpty());

    QCOMPARE(first.state(), QProcess::Running);
    first.terminate();
    if (!first.waitForFinished(5000)) {
        first.kill();
        first.waitForFinished(5000);
    }

    // Once the first copy is gone the next one starts normally.
    QProcess third;
    third.setProcessEnvironment(env);
    third.start(program, {});
    QVERIFY(third.waitForStarted());
    QVERIFY(!third.waitForFinished(1500));
    third.kill();
    third.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(tst_app_instance)
#include "tst_app_instance.moc"
