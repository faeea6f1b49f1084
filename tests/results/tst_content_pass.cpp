// The check of deleted files by their content as a pass after the listing,
// on a card made by mkfs.fat and mtools: the rows it judges change in the
// index and the table repaints them (the model tester on); a copy asked for
// before the pass reaches its file judges it first, so that the copy and
// its tag agree.
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "results/recovery_model.h"
#include "results/result_index.h"
#include "results/row_state.h"
#include "scan/scan_service.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
}

int run(const QString& program, const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    p.setProcessEnvironment(env);
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QByteArray file_bytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class tst_content_pass : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    QString image_, whole_, gaps_;
    volume_item_s volume_;

    // A noisy picture: its PNG barely compresses, so it spans many clusters.
    QString png(const QString& name, int side, quint32 seed)
    {
        QImage picture(side, side, QImage::Format_RGB32);
        QRandomGenerator random(seed);
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                picture.setPixel(x, y, random.generate() | 0xFF000000u);
        const QString path = tmp_.filePath(name);
        return picture.save(path, "PNG") ? path : QString();
    }

    std::shared_ptr<result_index_c> scan(scan_service_c* service)
    {
        service->set_content_pass_deferred(true);
        QString reason;
        if (service->scan_to_end(volume_, false, &reason) != 0)
            return nullptr;
        auto index = std::make_shared<result_index_c>();
        return index->build(service->scanner(), row_flags_e::attributes) ? index : nullptr;
    }

    uint32_t file_named(const result_index_c& index, const QString& name)
    {
        for (uint32_t at = 0; at < index.file_count(); ++at)
            if (index.name(at) == name)
                return at;
        return result_index_c::none;
    }

private slots:
    // Photos deleted from a card: one in one piece, one written into the
    // gaps between small files that live on.
    void initTestCase()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mdel = tool("mdel");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mdel.isEmpty())
            QSKIP("mkfs.fat or mtools is not installed");
        image_ = tmp_.filePath("card.img");
        {
            QFile f(image_);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(40 << 20));
        }
        QCOMPARE(run(mkfs, {"-F", "32", "-s", "1", "-n", "CARD", image_}), 0);
        whole_ = png("WHOLE.PNG", 40, 1);
        gaps_ = png("GAPS.PNG", 40, 2);
        QVERIFY(!whole_.isEmpty() && !gaps_.isEmpty());
        QStringList small{"-i", image_, whole_}, odd{"-i", image_};
        for (int i = 0; i < 24; ++i) {
            const QString name = QString("F%1.BIN").arg(i, 2, 10, QChar('0'));
            QFile f(tmp_.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(700, char('a' + i % 26))) == 700);
            small << f.fileName();
            if (i % 2)
                odd << "::" + name;
        }
        QCOMPARE(run(mcopy, small << "::"), 0);
        QCOMPARE(run(mdel, odd), 0);
        // mtools goes on after the last cluster it gave out; a camera takes
        // the first free ones: the allocation hint back at the start.
        {
            QFile f(image_);
            QVERIFY(f.open(QIODevice::ReadWrite));
            const QByteArray boot = f.read(512);
            const auto le16 = [&](int at) { return qint64(uint8_t(boot[at]) | uint8_t(boot[at + 1]) << 8); };
            QVERIFY(f.seek(le16(48) * le16(11) + 492) && f.write(QByteArray("\x02\x00\x00\x00", 4)) == 4);
        }
        QCOMPARE(run(mcopy, {"-i", image_, gaps_, "::"}), 0);
        QCOMPARE(run(mdel, {"-i", image_, "::WHOLE.PNG", "::GAPS.PNG"}), 0);

        platform::platform_volume_s pv;
        QVERIFY(platform::open_disk_image(image_.toStdString()) == 0 && platform::find_volume(image_.toStdString(), &pv));
        volume_.device_path = QString::fromStdString(pv.device_path);
        volume_.root_path = QString::fromStdString(pv.root_path);
        volume_.file_system = QString::fromStdString(pv.file_system);
    }

    void pass_updates_rows_and_table()
    {
        scan_service_c service;
        const std::shared_ptr<result_index_c> index = scan(&service);
        QVERIFY(index);
        const uint32_t whole = file_named(*index, "#HOLE.PNG"), gaps = file_named(*index, "#APS.PNG");
        QVERIFY(whole != result_index_c::none && gaps != result_index_c::none);
        // Listed before any check: the guess from the allocation alone.
        QCOMPARE(index->state(gaps), row_state_e::uncertain);
        QCOMPARE(service.scanner().content_total(), 2);

        recovery_model_c model(index, result_index_c::none);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy repainted(&model, &QAbstractItemModel::dataChanged);
        service.start_content_pass();
        // Two small pictures: a fraction of a second even on a busy machine.
        for (int i = 0; i < 400 && service.content_pass_running(); ++i)
            QThread::msleep(25);
        QVERIFY(!service.content_pass_running());
        QCOMPARE(service.scanner().content_left(), 0);

        const std::vector<uint32_t> changed = index->update_flags(service.scanner().take_content_verdicts());
        QCOMPARE(changed.size(), size_t(2));
        model.files_changed(changed);
        QCOMPARE(repainted.count(), 1);
        QCOMPARE(index->state(whole), row_state_e::verified);
        QCOMPARE(index->state(gaps), row_state_e::rebuilt);
        QCOMPARE(index->found_row(gaps).item.flags & row_content_bits, row_content_rebuilt);
        // Nothing new since: no second repaint.
        QVERIFY(index->update_flags(service.scanner().take_content_verdicts()).empty());

        const QString out = tmp_.filePath("out-pass");
        QDir().mkpath(out);
        QString written;
        QCOMPARE(service.recover_one(QDir(out), index->row(gaps), &written), 0);
        QCOMPARE(file_bytes(written), file_bytes(gaps_));
    }

    // A copy made while its file still waits is the file as its tag will
    // say, and the pass does not judge it again.
    void copy_before_its_turn_judges_first()
    {
        scan_service_c service;
        const std::shared_ptr<result_index_c> index = scan(&service);
        QVERIFY(index);
        const uint32_t gaps = file_named(*index, "#APS.PNG");
        QVERIFY(gaps != result_index_c::none);
        const QString out = tmp_.filePath("out-early");
        QDir().mkpath(out);
        QString written;
        QCOMPARE(service.recover_one(QDir(out), index->row(gaps), &written), 0);
        QCOMPARE(file_bytes(written), file_bytes(gaps_));
        const content_queue_c::verdicts_t verdicts = service.scanner().take_content_verdicts();
        QCOMPARE(verdicts.size(), size_t(1));
        QCOMPARE(verdicts[0].first, index->id(gaps));
        QCOMPARE(verdicts[0].second & row_content_bits, row_content_rebuilt);
        QCOMPARE(service.scanner().content_left(), 1);
        // A new scan stops the pass and empties the queue.
        service.start_content_pass();
        QVERIFY(scan(&service));
        QCOMPARE(service.scanner().content_left(), 2);
    }

    // A stop cuts the file being judged short and leaves it waiting, not
    // tagged from half a check; a copy then still judges it first.
    void stop_leaves_the_file_waiting()
    {
        scan_service_c service;
        const std::shared_ptr<result_index_c> index = scan(&service);
        QVERIFY(index);
        const uint32_t gaps = file_named(*index, "#APS.PNG");
        QVERIFY(gaps != result_index_c::none);
        std::atomic<int32_t> stop{1};
        carve::check_budget_s budget;
        budget.stop = &stop;
        QVERIFY(!service.scanner().check_next_content(&budget));
        QCOMPARE(service.scanner().content_left(), 2);
        QVERIFY(service.scanner().take_content_verdicts().empty());
        const QString out = tmp_.filePath("out-stopped");
        QDir().mkpath(out);
        QString written;
        QCOMPARE(service.recover_one(QDir(out), index->row(gaps), &written), 0);
        QCOMPARE(file_bytes(written), file_bytes(gaps_));
        QCOMPARE(service.scanner().content_left(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_content_pass)
#include "tst_content_pass.moc"
