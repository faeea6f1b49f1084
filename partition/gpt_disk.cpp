#include "partition/gpt_disk.h"

#include "partition/mbr_layout.h"

#include "ondisk/partition_table.h"
#include "ondisk/byte_order.h"
#include "platform/byte_source.h"
#include "platform/raw_device.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace partition {

namespace {
constexpr size_t mbr_bytes = 512;
constexpr uint64_t head_sectors = 34;  // protective MBR, header, 32 sectors of a 128-entry array at 512
constexpr uint64_t tail_sectors = 33;

bool read_exact(const platform::byte_source_c& disk, uint64_t offset, std::vector<uint8_t>& out)
{
    return disk.read_at(offset, out.data(), out.size()) == int64_t(out.size());
}

// Reads and checks the header at lba and, when it is sound, its entries.
gpt_copy_s read_copy(const platform::byte_source_c& disk, uint32_t ss, uint64_t disk_sectors, uint64_t lba)
{
    gpt_copy_s c;
    c.header_lba = lba;
    c.header_sector.assign(ss, 0);
    if (lba >= disk_sectors || !read_exact(disk, lba * ss, c.header_sector)) {
        c.problem = "cannot be read";
        return c;
    }
    c.header = ondisk::decode_gpt_header_fields(c.header_sector.data());
    c.present = c.header.signature;
    c.problem = ondisk::check_gpt_header(c.header_sector.data(), ss, lba, disk_sectors);
    if (!c.problem.empty())
        return c;
    c.entries.assign(size_t(c.header.entry_bytes()), 0);
    if (!read_exact(disk, c.header.entries_lba * ss, c.entries))
        c.problem = "its entry array cannot be read";
    else if (ondisk::crc32(c.entries.data(), c.entries.size()) != c.header.entries_crc)
        c.problem = "entry array CRC32 does not match";
    // Entries whose CRC holds can still overlap or reach past the disk; a
    // copy holding them is damaged, so a repair never copies them over.
    else
        c.problem = ondisk::check_gpt_entries(c.entries.data(), c.header, disk_sectors);
    return c;
}

std::vector<uint8_t> padded(const std::vector<uint8_t>& bytes, uint32_t ss)
{
    std::vector<uint8_t> out(bytes);
    out.resize((bytes.size() + ss - 1) / ss * ss, 0);
    return out;
}

// The header of the copy at my_lba with its array at entries_lba, made from
// a sound one.
std::vector<uint8_t> twin_header(const ondisk::gpt_header_fields_s& from, uint64_t my_lba, uint64_t alternate_lba,
                                 uint64_t entries_lba, uint32_t ss)
{
    ondisk::gpt_header_fields_s h = from;
    h.my_lba = my_lba;
    h.alternate_lba = alternate_lba;
    h.entries_lba = entries_lba;
    std::vector<uint8_t> sector(ss);
    ondisk::encode_gpt_header(h, sector.data(), ss);
    return sector;
}

ondisk::guid_t guid(const char* text)
{
    ondisk::guid_t g{};
    ondisk::parse_guid(text, &g);
    return g;
}

ondisk::guid_t fresh_guid(std::random_device& random)
{
    ondisk::guid_t g{};
    for (size_t i = 0; i < g.size(); i += 4) {
        const uint32_t r = random();
        std::memcpy(g.data() + i, &r, 4);
    }
    g[7] = uint8_t((g[7] & 0x0F) | 0x40);  // version 4, in the third field's high byte (little-endian)
    g[8] = uint8_t((g[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    return g;
}

const char* const basic_data = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
const char* const linux_fs = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const char* const linux_swap = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
const char* const efi_system = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char* const apple_hfs = "48465300-0000-11AA-AA11-00306543ECAC";

gpt_plan_s refused(std::string why)
{
    gpt_plan_s p;
    p.refusal = std::move(why);
    return p;
}
}  // namespace

uint32_t logical_sector_bytes(const platform::byte_source_c& disk)
{
    const uint32_t reported = disk.sector_size();
    if (reported != 512)
        return reported;
    uint8_t at512[8] = {}, at4096[8] = {};
    disk.read_at(512, at512, sizeof at512);
    disk.read_at(4096, at4096, sizeof at4096);
    const bool gpt512 = std::memcmp(at512, ondisk::gpt_header::signature, 8) == 0;
    const bool gpt4096 = std::memcmp(at4096, ondisk::gpt_header::signature, 8) == 0;
    return gpt4096 && !gpt512 ? 4096 : 512;
}

std::string gpt_state_s::summary() const
{
    auto copy_text = [](const char* name, const gpt_copy_s& c) {
        return std::string(name) + (c.sound() ? " sound" : c.present ? " damaged (" + c.problem + ")" : " missing");
    };
    return copy_text("primary", primary) + ", " + copy_text("backup", backup) + ", protective MBR " +
           (protective_mbr ? "present" : "missing") + ", " + std::to_string(sector_bytes) + "-byte sectors";
}

bool read_gpt_state(const std::string& device_path, gpt_state_s* state, std::string* error)
{
    platform::raw_device_c device;
    if (device_path.empty() || device.open(device_path) != 0) {
        if (error)
            *error = device_path.empty() ? std::string("no disk was chosen") : device.error();
        return false;
    }
    *state = read_gpt_state(device);
    return true;
}

gpt_state_s read_gpt_state(const platform::byte_source_c& disk)
{
    gpt_state_s s;
    s.sector_bytes = logical_sector_bytes(disk);
    const uint32_t ss = s.sector_bytes;
    s.disk_sectors = disk.size() / ss;
    if (s.disk_sectors < 3)
        return s;
    std::vector<uint8_t> first(ss);
    if (read_exact(disk, 0, first) && ondisk::has_table_signature(first.data()))
        for (int i = 0; i < 4; ++i)
            s.protective_mbr = s.protective_mbr ||
                               ondisk::decode_mbr_entry(first.data(), i).type == ondisk::mbr::type_protective;
    s.primary = read_copy(disk, ss, s.disk_sectors, 1);
    s.backup = read_copy(disk, ss, s.disk_sectors, s.disk_sectors - 1);
    // A disk that grew keeps its backup where the primary says, short of the end.
    const uint64_t named = s.primary.header.alternate_lba;
    if (!s.backup.present && s.primary.sound() && named > 1 && named < s.disk_sectors - 1)
        s.backup = read_copy(disk, ss, s.disk_sectors, named);
    return s;
}

std::vector<uint8_t> protective_mbr(const std::vector<uint8_t>& old_sector0, uint64_t disk_sectors)
{
    std::vector<uint8_t> s(mbr_bytes, 0);
    if (old_sector0.size() >= ondisk::mbr::entries)
        std::copy_n(old_sector0.begin(), ondisk::mbr::entries, s.begin());
    uint8_t* e = s.data() + ondisk::mbr::entries;
    e[1] = 0x00, e[2] = 0x02, e[3] = 0x00;  // start CHS 0/0/2: sector 1
    e[ondisk::mbr::entry_type] = ondisk::mbr::type_protective;
    // The end as cylinder/head/sector in the usual 255 x 63 geometry, or
    // the customary 0xFE 0xFF 0xFF where it lies beyond cylinder 1023.
    constexpr uint32_t heads = 255, per_track = 63;
    const uint64_t last = disk_sectors - 1;
    if (last < uint64_t{1024} * heads * per_track) {
        const auto chs = chs_bytes(last, heads, per_track);
        std::copy(chs.begin(), chs.end(), e + 5);
    } else {
        e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
    }
    platform::store_le32(e + ondisk::mbr::entry_first_lba, 1);
    platform::store_le32(e + ondisk::mbr::entry_sectors, uint32_t(std::min<uint64_t>(disk_sectors - 1, 0xFFFFFFFFu)));
    s[510] = 0x55, s[511] = 0xAA;
    return s;
}

gpt_plan_s plan_gpt_from_copy(const gpt_state_s& st, const std::vector<uint8_t>& old_sector0)
{
    const uint32_t ss = st.sector_bytes;
    const gpt_copy_s* from = st.primary.sound() ? &st.primary : st.backup.sound() ? &st.backup : nullptr;
    if (!from)
        return refused("neither GPT copy is sound: primary " +
                       (st.primary.present ? st.primary.problem : std::string("missing")) + ", backup " +
                       (st.backup.present ? st.backup.problem : std::string("missing")));
    if (st.whole())
        return refused("the GPT is whole: both copies and the protective MBR are sound; there is nothing to repair");
    const ondisk::gpt_header_fields_s& h = from->header;
    const uint64_t entry_sectors = h.entry_sectors(ss);
    gpt_plan_s plan;
    plan.partitions = gpt_partitions(*from, ss);
    if (!st.protective_mbr)
        plan.writes.push_back({0, protective_mbr(old_sector0, st.disk_sectors)});
    const std::vector<uint8_t> entries = padded(from->entries, ss);
    if (!st.primary.sound()) {
        const uint64_t backup_lba = st.backup.header_lba;
        if (h.first_usable < 2 + entry_sectors)
            return refused("the backup GPT's first usable sector " + std::to_string(h.first_usable) +
                           " leaves no room for the primary table before it");
        plan.writes.push_back({1 * uint64_t(ss), twin_header(h, 1, backup_lba, 2, ss)});
        plan.writes.push_back({2 * uint64_t(ss), entries});
    }
    if (!st.backup.sound()) {
        uint64_t at = h.alternate_lba;
        if (at <= h.last_usable + entry_sectors || at >= st.disk_sectors)
            at = st.disk_sectors - 1;  // the header names no usable place: the disk's last sector
        if (at <= h.last_usable + entry_sectors)
            return refused("the disk ends before the room the backup GPT needs after sector " +
                           std::to_string(h.last_usable));
        plan.writes.push_back({(at - entry_sectors) * ss, entries});
        plan.writes.push_back({at * ss, twin_header(h, at, 1, at - entry_sectors, ss)});
    }
    return plan;
}

std::vector<partition_item_s> gpt_partitions(const gpt_copy_s& copy, uint32_t ss)
{
    std::vector<partition_item_s> out;
    const ondisk::gpt_header_fields_s& h = copy.header;
    for (uint32_t i = 0; i < h.entry_count && size_t(i + 1) * h.entry_size <= copy.entries.size(); ++i) {
        const auto e = ondisk::decode_gpt_entry_fields(copy.entries.data() + size_t(i) * h.entry_size);
        if (!e.used() || e.last_lba < e.first_lba)
            continue;
        partition_item_s p;
        const std::string type = ondisk::guid_text(e.type_guid);
        p.file_system = type == linux_swap ? QStringLiteral("swap")
                        : type == linux_fs ? QStringLiteral("Linux")
                        : type == efi_system ? QStringLiteral("EFI")
                        : type == basic_data ? QStringLiteral("Basic data")
                                             : QString::fromStdString(type);
        p.start_sector = e.first_lba;
        p.end_sector = e.last_lba;
        p.label = QString::fromStdU16String(e.name);
        p.sector_bytes = ss;
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.start_sector < b.start_sector; });
    return out;
}

ondisk::guid_t gpt_type_for(const partition_item_s& p)
{
    const QString& fs = p.file_system;
    if (fs == "swap")
        return guid(linux_swap);
    if (fs == "hfsplus")
        return guid(apple_hfs);
    if (fs == "EFI" || p.efi)
        return guid(efi_system);
    if (fs.startsWith("FAT") || fs == "NTFS" || fs == "exFAT")
        return guid(basic_data);
    return guid(linux_fs);
}

gpt_plan_s plan_new_gpt(uint32_t ss, uint64_t disk_sectors, const std::vector<partition_item_s>& found,
                        const std::vector<uint8_t>& old_sector0)
{
    if (found.empty())
        return refused("the search found no partition to put in a new GPT");
    ondisk::gpt_header_fields_s h;
    h.entry_count = ondisk::gpt_entry::usual_count;
    h.entry_size = ondisk::gpt_entry::usual_size;
    const uint64_t entry_sectors = h.entry_sectors(ss);
    if (disk_sectors < 2 * (2 + entry_sectors) + 1)
        return refused("the disk is too small for a GPT");
    h.first_usable = 2 + entry_sectors;
    h.last_usable = disk_sectors - 2 - entry_sectors;
    h.entries_lba = 2;
    std::random_device random;
    h.disk_guid = fresh_guid(random);

    gpt_plan_s plan;
    plan.partitions = found;
    std::sort(plan.partitions.begin(), plan.partitions.end(),
              [](const auto& a, const auto& b) { return a.start_sector < b.start_sector; });
    if (plan.partitions.size() > h.entry_count)
        return refused("more partitions were found than a GPT of 128 entries holds");
    std::vector<uint8_t> entries(size_t(h.entry_bytes()), 0);
    uint64_t free_from = h.first_usable;
    for (size_t i = 0; i < plan.partitions.size(); ++i) {
        const partition_item_s& p = plan.partitions[i];
        if (p.start_sector < free_from || p.end_sector < p.start_sector || p.end_sector > h.last_usable)
            return refused("the partition at sector " + std::to_string(p.start_sector) +
                           " overlaps another or the GPT's own sectors (usable " + std::to_string(h.first_usable) +
                           "-" + std::to_string(h.last_usable) + ")");
        free_from = p.end_sector + 1;
        ondisk::gpt_entry_fields_s e;
        e.type_guid = gpt_type_for(p);
        e.unique_guid = fresh_guid(random);
        e.first_lba = p.start_sector;
        e.last_lba = p.end_sector;
        e.name = p.label.left(int(ondisk::gpt_entry::name_units)).toStdU16String();
        ondisk::encode_gpt_entry(e, entries.data() + i * h.entry_size);
    }
    h.entries_crc = ondisk::crc32(entries.data(), entries.size());
    const uint64_t backup_lba = disk_sectors - 1;
    const uint64_t backup_entries = backup_lba - entry_sectors;
    plan.writes.push_back({0, protective_mbr(old_sector0, disk_sectors)});
    plan.writes.push_back({uint64_t(ss), twin_header(h, 1, backup_lba, 2, ss)});
    plan.writes.push_back({2 * uint64_t(ss), padded(entries, ss)});
    plan.writes.push_back({backup_entries * ss, padded(entries, ss)});
    plan.writes.push_back({backup_lba * ss, twin_header(h, backup_lba, 1, backup_entries, ss)});
    return plan;
}

std::vector<sector_range_s> gpt_backup_ranges(uint32_t ss, uint64_t disk_sectors)
{
    std::vector<sector_range_s> r;
    r.push_back({0, std::vector<uint8_t>(mbr_bytes)});
    const uint64_t head = std::min(head_sectors, disk_sectors);
    r.push_back({mbr_bytes, std::vector<uint8_t>(size_t(head * ss - mbr_bytes))});
    const uint64_t tail_from = std::max(head, disk_sectors - std::min(tail_sectors, disk_sectors));
    if (tail_from < disk_sectors)
        r.push_back({tail_from * ss, std::vector<uint8_t>(size_t((disk_sectors - tail_from) * ss))});
    return r;
}

}  // namespace partition
