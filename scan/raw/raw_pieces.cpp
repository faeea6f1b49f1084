#include "scan/raw/raw_pieces.h"

#include "scan/raw/scan_file.h"

#include "ondisk/byte_order.h"

#include <cstring>
#include <unordered_map>

namespace {

constexpr uint8_t tag[3] = {0x00, 'P', 'C'};

void put_le64(uint8_t* p, int64_t value)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

}  // namespace

bool raw_pieces_sound(const raw_extent_s* extents, size_t count)
{
    if (!extents || count == 0 || count > raw_max_pieces)
        return false;
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const raw_extent_s& e = extents[i];
        if (e.offset < 0 || e.size <= 0 || e.offset > INT64_MAX - e.size || total > INT64_MAX - e.size)
            return false;
        total += e.size;
    }
    return true;
}

bool raw_is_piece_record(const uint8_t* p)
{
    return static_cast<int64_t>(platform::le64(p)) < 0 && std::memcmp(p + 24, tag, sizeof tag) == 0;
}

void raw_put_piece_records(const raw_pieces_t& pieces, std::vector<uint8_t>* out)
{
    for (const auto& [index, file] : pieces) {
        for (size_t n = 0; n < file.extents.size(); ++n) {
            uint8_t r[32] = {};
            put_le64(r, -1 - index);
            put_le64(r + 8, file.extents[n].offset);
            put_le64(r + 16, file.extents[n].size);
            std::memcpy(r + 24, tag, sizeof tag);
            r[27] = file.partial ? 1 : 0;
            for (int i = 0; i < 4; ++i)
                r[28 + i] = static_cast<uint8_t>(n >> (8 * i));
            out->insert(out->end(), r, r + sizeof r);
        }
    }
}

bool raw_read_piece_records(const uint8_t* p, size_t count, const std::vector<raw_item_s>& records,
                            uint64_t device_size, raw_pieces_t* out)
{
    std::unordered_map<int64_t, size_t> by_index;
    for (size_t i = 0; i < records.size(); ++i)
        by_index.emplace(records[i].index, i);
    raw_pieces_t pieces;
    int64_t previous = -1;
    for (size_t i = 0; i < count; ++i, p += 32) {
        if (!raw_is_piece_record(p) || (p[27] & ~1u) != 0)
            return false;
        const int64_t index = -1 - static_cast<int64_t>(platform::le64(p));
        const uint32_t number = platform::le32(p + 28);
        const raw_extent_s e{static_cast<int64_t>(platform::le64(p + 8)), static_cast<int64_t>(platform::le64(p + 16))};
        if (!raw_pieces_sound(&e, 1) || (device_size && static_cast<uint64_t>(e.offset + e.size) > device_size))
            return false;
        if (number == 0) {
            // A new file: after the one before, naming a record.
            if (index <= previous || !by_index.count(index))
                return false;
            previous = index;
            pieces[index].partial = p[27] & 1;
        } else if (index != previous || number != pieces[index].extents.size() ||
                   pieces[index].partial != ((p[27] & 1) != 0)) {
            return false;
        }
        pieces[index].extents.push_back(e);
    }
    for (const auto& [index, file] : pieces) {
        const raw_item_s& item = records[by_index.at(index)];
        if (!raw_pieces_sound(file.extents.data(), file.extents.size()) || file.extents[0].offset != item.offset)
            return false;
        int64_t total = 0;
        for (const raw_extent_s& e : file.extents)
            total += e.size;
        if (total != item.size || (file.extents.size() == 1 && !file.partial))
            return false;
    }
    *out = std::move(pieces);
    return true;
}
