// Directories: opening by path or by start cluster, and reading entries,
// deleted ones included, with their long names.
#include "engines/fat/fat_internal.h"
#include "engines/fat/fat_name.h"

#include <cstring>

namespace {

// Directory entry layout (32 bytes).
constexpr int de_name = 0;          // 11 bytes, 8.3
constexpr int de_attributes = 11;   // u8
constexpr int de_case_flags = 12;   // u8: 0x08 name lower case, 0x10 extension lower case
constexpr int de_create_time = 14;  // u16
constexpr int de_create_date = 16;  // u16
constexpr int de_cluster_high = 20; // u16, FAT32 only
constexpr int de_write_time = 22;   // u16
constexpr int de_write_date = 24;   // u16
constexpr int de_cluster_low = 26;  // u16
constexpr int de_size = 28;         // u32
constexpr int entry_bytes = 32;

uint32_t entries_per_sector(const fat_volume_s* fs) { return fs->sector_bytes / entry_bytes; }

// Long-name entry layout.
constexpr int ln_order = 0;         // u8: order, 0x40 on the last piece
constexpr int ln_checksum = 13;     // u8
constexpr int ln_type = 12;         // u8, always 0
constexpr int ln_cluster = 26;      // u16, always 0
constexpr int ln_unit_offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr int ln_units = 13;
constexpr int ln_max_pieces = 20;   // 20 x 13 units hold the 255 of the longest name
constexpr uint8_t ln_last = 0x40;

constexpr uint8_t mark_deleted = 0xE5;
constexpr uint8_t no_order = 0xFF;

bool is_long_name_entry(const uint8_t* e) { return (e[de_attributes] & 0x7F) == fat_attr_long_name; }

const uint8_t* current_entry(const fat_dir_s* d)
{
    return d->fs->window + (d->index % entries_per_sector(d->fs)) * entry_bytes;
}

// Positions d at its first entry. Returns fr_ok or fr_int_error.
int dir_rewind(fat_dir_s* d)
{
    fat_volume_s* fs = d->fs;
    d->index = 0;
    d->pending = fr_ok;
    d->long_name_index = 0xFFFF;
    uint32_t c = d->start_cluster;
    if (c == 0 && fs->fs_type == fat_32)
        c = fs->root_base;
    if (c == 0) {
        d->cluster = 0;
        d->sector = fs->root_base;
        return fr_ok;
    }
    if (!fat_cluster_valid(fs, c))
        return fr_int_error;
    d->cluster = c;
    d->sector = fat_cluster_sector(fs, c);
    if (d->visited)
        d->visited->insert(c);
    return fr_ok;
}

// Steps d to the next entry. Returns fr_ok, fr_no_more at the end (fixed
// root full, end of chain, 65,535 entries), fr_int_error for a chain that
// breaks (free or out-of-range entry) and fr_disk_error.
int dir_next(fat_dir_s* d)
{
    fat_volume_s* fs = d->fs;
    const uint32_t i = uint32_t{d->index} + 1;
    if (i > 0xFFFF)
        return fr_no_more;
    // A fixed root may end inside a sector when sectors are larger than 512.
    if (d->cluster == 0 && i >= fs->root_entries)
        return fr_no_more;
    const uint32_t per_sector = entries_per_sector(fs);
    if (i % per_sector == 0) {
        ++d->sector;
        if (d->cluster != 0 && (i / per_sector) % fs->cluster_size == 0) {
            uint32_t next = fat_next_cluster(fs, d->cluster);
            if (next == 0xFFFFFFFF)
                return fr_disk_error;
            if (next == 0 && d->guess)
                next = fat_guess_next_dir_cluster(fs, d->start_cluster, d->cluster, d->guess);
            if (next < 2)
                return fr_int_error;
            if (next >= fs->fat_entries)
                return fr_no_more;
            d->cluster = next;
            d->sector = fat_cluster_sector(fs, next);
            if (d->visited)
                d->visited->insert(next);
        }
    }
    d->index = static_cast<uint16_t>(i);
    return fr_ok;
}

// Puts the 13 units of a live long-name piece at its place in buf.
// Returns false when the piece is malformed.
bool pick_long_name_piece(char16_t* buf, const uint8_t* e, uint8_t order)
{
    if (order == 0 || le16(e + ln_cluster) != 0)
        return false;
    unsigned i = (order - 1u) * ln_units;
    char16_t unit = 1;
    for (const int offset : ln_unit_offsets) {
        const char16_t u = le16(e + offset);
        if (unit != 0) {
            // Name units fill positions 0..254; position 255 takes only the NUL.
            if (i >= fat_long_name_units || (u != 0 && i >= fat_long_name_units - 1))
                return false;
            buf[i++] = unit = u;
        } else if (u != 0xFFFF) {
            return false;
        }
    }
    if ((e[ln_order] & ln_last) && unit != 0) {
        if (i >= fat_long_name_units)
            return false;
        buf[i] = 0;
    }
    return true;
}

// A run of deleted long-name pieces met just before a deleted short entry.
// Their order bytes were overwritten by the deletion mark, so the order is
// their position: the first piece on disk is the last part of the name.
struct deleted_run_s {
    int count = 0;          // pieces seen; above ln_max_pieces means unusable
    bool after_foreign = false;  // directly preceded by pieces of another name
    uint8_t checksum = 0;
    uint16_t first_index = 0;
    char16_t units[ln_max_pieces][ln_units] = {};

    void clear()
    {
        count = 0;
        after_foreign = false;
    }

    void add(const uint8_t* e, uint16_t index)
    {
        if (count > 0 && e[ln_checksum] != checksum) {
            count = 0;  // a different name's pieces: start over
            after_foreign = true;
        }
        if (count == 0) {
            checksum = e[ln_checksum];
            first_index = index;
        }
        if (e[ln_type] != 0 || le16(e + ln_cluster) != 0) {
            count = ln_max_pieces + 1;
            return;
        }
        if (count < ln_max_pieces)
            for (int k = 0; k < ln_units; ++k)
                units[count][k] = le16(e + ln_unit_offsets[k]);
        ++count;
    }

    // Writes the name into buf when the run is well formed and its checksum
    // fits the short entry with some valid first byte (the real one is lost
    // to the deletion mark). Returns whether it did.
    bool assemble(const uint8_t* short_entry, char16_t* buf) const
    {
        if (count < 1 || count > ln_max_pieces)
            return false;
        char16_t name[ln_max_pieces * ln_units];
        for (int piece = 0; piece < count; ++piece)
            std::memcpy(name + (count - 1 - piece) * ln_units, units[piece], sizeof units[piece]);
        const int total = count * ln_units;
        int length = 0;
        while (length < total && name[length] != 0 && name[length] != 0xFFFF)
            ++length;
        // Every piece but the last part of the name is full; what follows the
        // terminator is padding.
        if (length == 0 || length > fat_long_name_units - 1 || length <= (count - 1) * ln_units)
            return false;
        if (length < total && name[length] != 0)
            return false;
        // Without a terminator the first piece may be the middle of a longer
        // name whose earlier pieces belong to the foreign run before it.
        if (length == total && after_foreign)
            return false;
        for (int k = length + 1; k < total; ++k)
            if (name[k] != 0xFFFF)
                return false;

        // Short names are made from the long name, so a name that starts
        // with a letter or digit had that character, upper-cased, first in
        // its short name; anything else may have become any valid byte.
        const char16_t first = name[0];
        int only = -1;
        if ((first >= u'0' && first <= u'9') || (first >= u'A' && first <= u'Z'))
            only = first;
        else if (first >= u'a' && first <= u'z')
            only = first - (u'a' - u'A');

        uint8_t candidate[11];
        std::memcpy(candidate, short_entry + de_name, 11);
        bool matched = false;
        for (unsigned b = 1; b <= 0xFF && !matched; ++b) {
            if (!fat_valid_short_name_byte(static_cast<uint8_t>(b)) || (only >= 0 && b != unsigned(only)))
                continue;
            candidate[0] = static_cast<uint8_t>(b);
            matched = fat_short_name_checksum(candidate) == checksum;
        }
        if (!matched)
            return false;
        std::memcpy(buf, name, length * sizeof(char16_t));
        buf[length] = 0;
        return true;
    }
};

void note_unreadable_sector(fat_volume_s* fs, uint64_t sector)
{
    if (fs->dir_sectors_unreadable++ == 0) {
        fs->first_dir_sector_unreadable = sector;
        const auto lost = fs->source->unreadable_in(sector * fs->sector_bytes, fs->sector_bytes);
        fs->dir_read_error = lost.empty() ? 0 : lost.front().error;
    }
}

// Finds the next short entry from d's position, collecting its long name
// into d->long_name. Returns fr_ok with d at the entry, fr_no_more at the
// end, or an error.
int dir_read(fat_dir_s* d)
{
    fat_volume_s* fs = d->fs;
    uint8_t order = no_order;
    uint8_t checksum = 0;
    deleted_run_s run;
    d->long_name_index = 0xFFFF;
    for (;;) {
        if (fat_move_window(fs, d->sector) != fr_ok)
            return fr_disk_error;
        if (fs->window_unreadable) {
            // The medium gave zeros for this sector, which would read as
            // the folder's end: its entries are lost, the ones after it are
            // read on, and no name runs across it.
            if (d->index % entries_per_sector(fs) == 0)
                note_unreadable_sector(fs, d->sector);
            order = no_order;
            run.clear();
            d->long_name_index = 0xFFFF;
            const int r = dir_next(d);
            if (r != fr_ok)
                return r;
            continue;
        }
        const uint8_t* e = current_entry(d);
        uint8_t c = e[0];
        if (c == 0)
            return fr_no_more;
        d->deleted = c == mark_deleted;
        if (c == '.') {
            order = no_order;
            run.clear();
        } else if (is_long_name_entry(e)) {
            if (d->deleted) {
                order = no_order;
                if (run.count == 0 || d->index == run.first_index + run.count)
                    run.add(e, d->index);
            } else {
                run.clear();
                if (c & ln_last) {
                    checksum = e[ln_checksum];
                    c &= static_cast<uint8_t>(~ln_last);
                    order = c;
                    d->long_name_index = d->index;
                }
                order = (c == order && checksum == e[ln_checksum] && pick_long_name_piece(d->long_name, e, c))
                            ? static_cast<uint8_t>(order - 1)
                            : no_order;
            }
        } else if (e[de_attributes] & fat_attr_volume) {
            order = no_order;
            run.clear();
        } else {
            if (!d->deleted) {
                if (order != 0 || checksum != fat_short_name_checksum(e + de_name))
                    d->long_name_index = 0xFFFF;
            } else if (run.count > 0 && d->index == run.first_index + run.count &&
                       run.assemble(e, d->long_name)) {
                d->long_name_index = run.first_index;
            } else {
                d->long_name_index = 0xFFFF;
            }
            std::memcpy(d->short_name, e + de_name, 11);
            d->short_name[11] = e[de_case_flags];
            return fr_ok;
        }
        const int r = dir_next(d);
        if (r != fr_ok)
            return r;
    }
}

int check_dir(fat_dir_s* d)
{
    if (!d)
        return fr_invalid_object;
    return fat_check_object(d->fs, d->mount_id);
}

// Splits one path component off *path. Returns fr_ok with the component in
// unit/length (trailing spaces and dots removed), or fr_invalid_name.
int next_component(const char16_t** path, char16_t* out, int* length)
{
    const char16_t* p = *path;
    int n = 0;
    while (*p >= 0x20 && *p != u'/' && *p != u'\\') {
        const char16_t u = *p++;
        if (u == u'"' || u == u'*' || u == u':' || u == u'<' || u == u'>' || u == u'?' || u == u'|' || u == 0x7F)
            return fr_invalid_name;
        if (n >= fat_long_name_units - 1)
            return fr_invalid_name;
        out[n++] = u;
    }
    while (n > 0 && (out[n - 1] == u' ' || out[n - 1] == u'.'))
        --n;
    if (n == 0)
        return fr_invalid_name;
    while (*p == u'/' || *p == u'\\')
        ++p;
    *path = p;
    *length = n;
    return fr_ok;
}

// The 8.3 form of a component for exact matching against short names.
// Returns false when the component has no such form.
bool short_form(const char16_t* name, int length, uint8_t out[11])
{
    std::memset(out, ' ', 11);
    int dot = -1;
    for (int i = 0; i < length; ++i)
        if (name[i] == u'.')
            dot = i;
    int o = 0;
    int limit = 8;
    for (int i = 0; i < length; ++i) {
        if (i == dot) {
            o = 8;
            limit = 11;
            continue;
        }
        char16_t u = name[i];
        if (u == u' ' || u == u'.')
            continue;
        uint16_t code;
        if (u >= 0x80) {
            code = unicode_to_oem(u);
            if (code == 0)
                return false;
        } else {
            if (u >= u'a' && u <= u'z')
                u = static_cast<char16_t>(u - (u'a' - u'A'));
            if (u == u'+' || u == u',' || u == u';' || u == u'=' || u == u'[' || u == u']')
                u = u'_';
            code = u;
        }
        if (code > 0xFF) {
            if (o + 2 > limit)
                return false;
            out[o++] = static_cast<uint8_t>(code >> 8);
            out[o++] = static_cast<uint8_t>(code & 0xFF);
        } else {
            if (o + 1 > limit)
                return false;
            out[o++] = static_cast<uint8_t>(code);
        }
    }
    if (out[0] == mark_deleted)
        out[0] = 0x05;
    return out[0] != ' ';
}

bool long_name_equals(const char16_t* a, const char16_t* b, int length)
{
    for (int i = 0; i < length; ++i)
        if (a[i] == 0 || fat_upper(a[i]) != fat_upper(b[i]))
            return false;
    return a[length] == 0;
}

}  // namespace

int f_opendir(fat_dir_s* d, fat_volume_s* fs, const char16_t* path)
{
    if (!d || !fs || !path)
        return fr_invalid_object;
    const int mounted = fat_ensure_mounted(fs);
    if (mounted != fr_ok)
        return mounted;
    d->fs = fs;
    d->mount_id = fs->mount_id;
    d->start_cluster = 0;
    d->guess = nullptr;
    d->visited = nullptr;
    while (*path == u'/' || *path == u'\\')
        ++path;

    char16_t long_name[fat_long_name_units];
    d->long_name = long_name;
    int result = dir_rewind(d);
    while (result == fr_ok && *path >= 0x20) {
        char16_t component[fat_long_name_units];
        int length = 0;
        result = next_component(&path, component, &length);
        if (result != fr_ok)
            break;
        uint8_t wanted[11];
        const bool has_short = short_form(component, length, wanted);
        bool found = false;
        for (;;) {
            result = dir_read(d);
            if (result != fr_ok)
                break;
            if (!d->deleted && ((d->long_name_index != 0xFFFF && long_name_equals(d->long_name, component, length)) ||
                                (has_short && std::memcmp(d->short_name, wanted, 11) == 0))) {
                found = true;
                break;
            }
            result = dir_next(d);
            if (result != fr_ok)
                break;
        }
        if (!found) {
            if (result == fr_ok || result == fr_no_more)
                result = fr_no_path;
            break;
        }
        const uint8_t* e = current_entry(d);
        if (!(e[de_attributes] & fat_attr_directory)) {
            result = fr_no_path;
            break;
        }
        uint32_t cluster = le16(e + de_cluster_low);
        if (fs->fs_type == fat_32)
            cluster |= uint32_t{le16(e + de_cluster_high)} << 16;
        d->start_cluster = cluster;
        result = dir_rewind(d);
    }
    d->long_name = nullptr;
    return result;
}

int f_opendir_cluster(fat_dir_s* d, fat_volume_s* fs, uint32_t cluster)
{
    const int r = f_opendir(d, fs, u"/");
    if (r != fr_ok)
        return r;
    d->start_cluster = cluster;
    d->cluster = cluster;
    return f_readdir(d, nullptr);
}

int f_readdir(fat_dir_s* d, fat_info_s* info)
{
    const int valid = check_dir(d);
    if (valid != fr_ok)
        return valid;
    if (!info)
        return dir_rewind(d);

    info->short_name[0] = 0;
    if (info->long_name && info->long_name_capacity > 0)
        info->long_name[0] = 0;
    if (d->pending == fr_no_more)
        return fr_ok;
    if (d->pending != fr_ok) {
        const int r = d->pending;
        d->pending = fr_no_more;
        return r;
    }

    char16_t long_name[fat_long_name_units];
    d->long_name = long_name;
    const int r = dir_read(d);
    d->long_name = nullptr;
    if (r == fr_no_more) {
        d->pending = fr_no_more;
        return fr_ok;
    }
    if (r != fr_ok)
        return r;

    const uint8_t* e = current_entry(d);
    fat_short_name_to_utf16(e + de_name, e[de_case_flags], info->short_name);
    info->attributes = static_cast<uint8_t>(e[de_attributes] | (d->deleted ? fat_attr_deleted : 0));
    info->size = le32(e + de_size);
    info->start_cluster = le16(e + de_cluster_low);
    if (d->fs->fs_type == fat_32)
        info->start_cluster |= uint32_t{le16(e + de_cluster_high)} << 16;
    info->write_time = le16(e + de_write_time);
    info->write_date = le16(e + de_write_date);
    info->create_time = le16(e + de_create_time);
    info->create_date = le16(e + de_create_date);
    if (d->long_name_index != 0xFFFF && info->long_name) {
        uint32_t length = 0;
        while (length < fat_long_name_units && long_name[length] != 0)
            ++length;
        if (length + 1 <= info->long_name_capacity) {
            std::memcpy(info->long_name, long_name, length * sizeof(char16_t));
            info->long_name[length] = 0;
        }
    }

    // Step past the entry now; an error on the way is reported by the next
    // call, after this entry has reached the caller.
    const int step = dir_next(d);
    d->pending = static_cast<uint8_t>(step == fr_ok ? fr_ok : step);
    return fr_ok;
}
