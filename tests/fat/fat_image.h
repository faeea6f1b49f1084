// FAT volumes laid out byte by byte, for cases the real tools will not make:
// exact cluster counts, loops, self-containing folders, broken long names.
// One FAT, no partition table (the whole image is the volume).
#pragma once

#include "devices/volume_item.h"
#include "platform/drive_table.h"

#include <QDir>
#include <QString>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

class fat_image_c {
public:
    static constexpr uint32_t sector = 512;

    // bits: 12, 16 or 32. root_entries applies to FAT12/16 only.
    fat_image_c(int bits, uint32_t clusters, uint8_t cluster_sectors = 1, uint16_t root_entries = 512)
        : bits_(bits), clusters_(clusters), spc_(cluster_sectors)
    {
        root_entries_ = bits == 32 ? 0 : root_entries;
        const uint64_t entries = uint64_t{clusters} + 2;
        const uint64_t fat_bytes = bits == 32 ? entries * 4 : bits == 16 ? entries * 2 : (entries * 3 + 1) / 2;
        fat_sectors_ = static_cast<uint32_t>((fat_bytes + sector - 1) / sector);
        reserved_ = bits == 32 ? 32 : 1;
        fat_start_ = reserved_;
        root_start_ = fat_start_ + fat_sectors_;
        data_start_ = root_start_ + root_entries_ * 32 / sector;
        total_ = data_start_ + clusters * spc_;
        bytes.assign(uint64_t{total_} * sector, 0);

        uint8_t* b = bytes.data();
        b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
        std::memcpy(b + 3, "MKTEST  ", 8);
        put16(b + 11, sector);
        b[13] = spc_;
        put16(b + 14, static_cast<uint16_t>(reserved_));
        b[16] = 1;
        put16(b + 17, root_entries_);
        if (total_ < 65536 && bits != 32)
            put16(b + 19, static_cast<uint16_t>(total_));
        else
            put32(b + 32, total_);
        b[21] = 0xF8;
        if (bits == 32) {
            put32(b + 36, fat_sectors_);
            put32(b + 44, 2);
            std::memcpy(b + 82, "FAT32   ", 8);
        } else {
            put16(b + 22, static_cast<uint16_t>(fat_sectors_));
            std::memcpy(b + 54, bits == 16 ? "FAT16   " : "FAT12   ", 8);
        }
        b[510] = 0x55;
        b[511] = 0xAA;
        set_fat(0, 0x0FFFFFF8);
        set_fat(1, 0x0FFFFFFF);
        if (bits == 32)
            set_fat(2, end_of_chain());
    }

    std::vector<uint8_t> bytes;

    uint32_t end_of_chain() const { return bits_ == 32 ? 0x0FFFFFFF : bits_ == 16 ? 0xFFFF : 0xFFF; }
    uint32_t first_data_sector() const { return data_start_; }
    uint32_t fat_start() const { return fat_start_; }

    void set_fat(uint32_t c, uint32_t value)
    {
        uint8_t* fat = bytes.data() + uint64_t{fat_start_} * sector;
        if (bits_ == 32) {
            put32(fat + c * 4, value & 0x0FFFFFFF);
        } else if (bits_ == 16) {
            put16(fat + c * 2, static_cast<uint16_t>(value));
        } else {
            uint8_t* p = fat + c + c / 2;
            const uint16_t old = static_cast<uint16_t>(p[0] | p[1] << 8);
            const uint16_t v = (c & 1) ? static_cast<uint16_t>((old & 0x000F) | (value & 0xFFF) << 4)
                                       : static_cast<uint16_t>((old & 0xF000) | (value & 0xFFF));
            put16(p, v);
        }
    }

    // Links clusters first..first+count-1 into one chain ending there.
    void chain(uint32_t first, uint32_t count)
    {
        for (uint32_t i = 0; i + 1 < count; ++i)
            set_fat(first + i, first + i + 1);
        set_fat(first + count - 1, end_of_chain());
    }

    uint8_t* cluster(uint32_t c) { return bytes.data() + (uint64_t{data_start_} + uint64_t{c - 2} * spc_) * sector; }

    // Entry i of a folder stored contiguously from its first cluster (0 =
    // the root: the fixed root on FAT12/16, cluster 2 on FAT32).
    uint8_t* entry(uint32_t folder, uint32_t i)
    {
        if (folder == 0 && bits_ != 32)
            return bytes.data() + uint64_t{root_start_} * sector + i * 32;
        return cluster(folder == 0 ? 2 : folder) + i * 32;
    }

    // A short entry; name11 is the 11 raw name bytes (first byte 0xE5 for deleted).
    static void put_short(uint8_t* e, const char* name11, uint8_t attributes, uint32_t first_cluster, uint32_t size,
                          uint16_t date = 0x5821, uint16_t time = 0x6000)
    {
        std::memcpy(e, name11, 11);
        e[11] = attributes;
        put16(e + 14, time);
        put16(e + 16, date);
        put16(e + 20, static_cast<uint16_t>(first_cluster >> 16));
        put16(e + 22, time);
        put16(e + 24, date);
        put16(e + 26, static_cast<uint16_t>(first_cluster & 0xFFFF));
        put32(e + 28, size);
    }

    // One long-name piece: order byte as stored (0x40 on the last piece,
    // 0xE5 once deleted), 13 units starting at name[from], NUL then 0xFFFF padding.
    static void put_long(uint8_t* e, uint8_t order_byte, uint8_t checksum, const std::u16string& name, size_t from)
    {
        static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        std::memset(e, 0, 32);
        e[0] = order_byte;
        e[11] = 0x0F;
        e[13] = checksum;
        for (int k = 0; k < 13; ++k) {
            const size_t at = from + k;
            const char16_t u = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
            put16(e + offsets[k], u);
        }
    }

    // Writes a long name and its short entry at folder entries i.. ; returns
    // the index after the short entry. deleted marks every entry 0xE5.
    uint32_t put_named(uint32_t folder, uint32_t i, const std::u16string& long_name, const char* name11,
                       uint8_t attributes, uint32_t first_cluster, uint32_t size, bool deleted)
    {
        uint8_t sum = 0;
        for (int k = 0; k < 11; ++k)
            sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + uint8_t(name11[k]));
        const uint32_t pieces = static_cast<uint32_t>((long_name.size() + 12) / 13);
        for (uint32_t p = pieces; p >= 1; --p) {
            const uint8_t order = static_cast<uint8_t>(p | (p == pieces ? 0x40 : 0));
            put_long(entry(folder, i++), deleted ? 0xE5 : order, sum, long_name, (p - 1) * 13);
        }
        uint8_t* e = entry(folder, i++);
        put_short(e, name11, attributes, first_cluster, size);
        if (deleted)
            e[0] = 0xE5;
        return i;
    }

    // Saves the image under dir and opens it in the drive table. Returns the
    // volume record a scanner is given for its whole-image volume.
    volume_item_s save(const QString& dir, const QString& name) const
    {
        const QString path = QDir(dir).absoluteFilePath(name);
        std::ofstream out(path.toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        platform::open_disk_image(path.toStdString());
        volume_item_s v;
        v.device_path = path + ":p0";
        v.dos_device = name + ":p0";
        v.root_path = v.device_path + "/";
        v.file_system = QString("FAT%1").arg(bits_);
        v.partition_number = 0;
        v.disk_number = platform::drive_number_of(path.toStdString());
        return v;
    }

    static void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
    static void put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }

private:
    int bits_;
    uint32_t clusters_;
    uint8_t spc_;
    uint16_t root_entries_ = 0;
    uint32_t fat_sectors_ = 0;
    uint32_t reserved_ = 1;
    uint32_t fat_start_ = 0;
    uint32_t root_start_ = 0;
    uint32_t data_start_ = 0;
    uint32_t total_ = 0;
};
