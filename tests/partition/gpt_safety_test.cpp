// What a GPT repair or a restore must never write: entries that overlap or
// reach past the disk (a copy holding them is damaged, never a source), and
// a bare 512-byte backup over a GPT's protective MBR without a second yes.
#include "disk_image.h"
#include "ondisk/byte_order.h"
#include "ondisk/gpt.h"
#include "partition/gpt_disk.h"
#include "partition/sector0_backup.h"
#include "support/fixtures.h"

#include <QFile>
#include <QTest>

using namespace part_test;

namespace {

constexpr uint64_t disk_sectors = 65536;  // 32 MiB of 512-byte sectors

QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool put(const QString& path, qint64 at, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.seek(at) && f.write(bytes) == bytes.size();
}

// Moves entry `number` (from 1) of the copy whose header lies at header_lba
// to first..last, with both CRCs made anew, as a tool that checked nothing
// would write it.
bool move_entry(const QString& disk, uint64_t header_lba, int number, uint64_t first, uint64_t last)
{
    QByteArray image = whole(disk);
    auto* sector = reinterpret_cast<uint8_t*>(image.data() + header_lba * 512);
    ondisk::gpt_header_fields_s h = ondisk::decode_gpt_header_fields(sector);
    auto* entries = reinterpret_cast<uint8_t*>(image.data() + h.entries_lba * 512);
    uint8_t* entry = entries + size_t(number - 1) * h.entry_size;
    platform::store_le64(entry + ondisk::gpt_entry::first_lba, first);
    platform::store_le64(entry + ondisk::gpt_entry::last_lba, last);
    h.entries_crc = ondisk::crc32(entries, size_t(h.entry_bytes()));
    ondisk::encode_gpt_header(h, sector, 512);
    return put(disk, 0, image);
}

}  // namespace

class gpt_safety_test : public QObject {
    Q_OBJECT

    QString dir_;

    // A 32 MiB GPT disk of two partitions, by sgdisk.
    bool make_disk(const QString& path)
    {
        const QString sgdisk = find_tool("sgdisk");
        QFile::remove(path);
        return !sgdisk.isEmpty() && run_tool(find_tool("truncate"), {"-s", "32M", path}) == 0 &&
               run_tool(sgdisk, {"-n", "1:2048:+8M", "-n", "2:0:+8M", path}) == 0;
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-gpt-safety"));
        QVERIFY(!dir_.isEmpty());
        qputenv("XDG_STATE_HOME", (dir_ + "/state").toLocal8Bit());
    }

    // Entry 2 overlapping entry 1 and ending 100,000 sectors past the disk,
    // its CRCs right: sgdisk -v flags it, and so does the state; the repair
    // takes the other copy, or refuses when both carry it.
    void entries_that_overlap_or_leave_the_disk_make_a_copy_damaged()
    {
        PART_NEED_TOOL(sgdisk, "sgdisk");
        const QString disk = dir_ + "/gpt.img";
        QVERIFY(make_disk(disk));
        QVERIFY(move_entry(disk, 1, 2, 10000, disk_sectors + 100000));
        partition::gpt_state_s st;
        std::string error;
        QVERIFY2(partition::read_gpt_state(disk.toStdString(), &st, &error), error.c_str());
        QVERIFY2(st.primary.present && !st.primary.sound(), st.summary().c_str());
        QVERIFY2(st.primary.problem.find("entry 2") != std::string::npos &&
                     st.primary.problem.find("past the disk") != std::string::npos,
                 st.primary.problem.c_str());
        QVERIFY(st.backup.sound());
        QByteArray verify;
        run_tool(sgdisk, {"-v", disk}, &verify);
        QVERIFY2(verify.contains("Problem"), verify.constData());

        // The primary rebuilt from the backup: the bad entry is not written back.
        const std::vector<uint8_t> sector0(512, 0);
        const partition::gpt_plan_s plan = partition::plan_gpt_from_copy(st, sector0);
        QVERIFY2(plan.refusal.empty(), plan.refusal.c_str());
        for (const auto& w : plan.writes)
            if (w.offset == 2 * 512)
                QCOMPARE(ondisk::check_gpt_entries(w.bytes.data(), st.backup.header, disk_sectors), std::string());

        // Within the disk but over entry 1, in both copies: nothing to copy from.
        QVERIFY(make_disk(disk));
        QVERIFY(move_entry(disk, 1, 2, 10000, 20000));
        QVERIFY(move_entry(disk, disk_sectors - 1, 2, 10000, 20000));
        QVERIFY(partition::read_gpt_state(disk.toStdString(), &st, &error));
        QVERIFY2(st.primary.problem.find("overlaps entry 1") != std::string::npos, st.primary.problem.c_str());
        QVERIFY(!st.backup.sound());
        QVERIFY(!partition::plan_gpt_from_copy(st, sector0).refusal.empty());
    }

    // 512 bytes of anything ending in 0x55AA pass for an older backup; over
    // a protective MBR they go only with force.
    void a_bare_backup_over_a_protective_mbr_needs_force()
    {
        PART_NEED_TOOL(sgdisk, "sgdisk");
        const QString disk = dir_ + "/restore.img";
        QVERIFY(make_disk(disk));
        QByteArray bare(512, '\0');
        for (int i = 0; i < 510; ++i)
            bare[i] = char((i * 131 + 7) & 0xff);
        bare[510] = char(0x55), bare[511] = char(0xAA);
        const QString backup = dir_ + "/bare.mbr";
        QVERIFY(put(backup, 0, bare));
        const QByteArray before = whole(disk);
        std::string replaced, error;
        bool mismatch = false;
        QCOMPARE(partition::restore_sector0(disk.toStdString(), backup.toStdString(), &replaced, &error, nullptr,
                                            false, &mismatch),
                 -1);
        QVERIFY2(mismatch && error.find("protective MBR") != std::string::npos, error.c_str());
        QCOMPARE(whole(disk), before);
        QCOMPARE(partition::restore_sector0(disk.toStdString(), backup.toStdString(), &replaced, &error, nullptr,
                                            true, &mismatch),
                 0);
        QCOMPARE(whole(disk).left(512), bare);
    }
};

QTEST_GUILESS_MAIN(gpt_safety_test)
#include "gpt_safety_test.moc"
