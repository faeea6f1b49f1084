// NTFS structures from a disk: boot sector, MFT record with its fixups and
// attribute walk, every attribute's value decoders, runlists, attribute lists
// and compressed units.
#include "engines/ntfs/ntfs_harvest.h"
#include "engines/ntfs/ntfs_parse.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace ntfs_parse;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 512) {
        volume_params_s params;
        parse_boot_sector(data, uint64_t{1} << 40, &params);
    }
    // The record in a copy: the fixups are applied in place.
    for (const size_t record_size : {size_t{1024}, size_t{4096}}) {
        if (size < record_size)
            continue;
        std::vector<uint8_t> record(data, data + record_size);
        record_header_s header;
        if (check_record(record.data(), record.size(), &header) != record_state::valid)
            continue;
        std::vector<attribute_s> attributes;
        walk_attributes(record.data(), header, &attributes);
        for (const attribute_s& a : attributes) {
            times_s times;
            file_name_s name;
            read_standard_information(a, &times);
            read_file_name(a, &name);
            if (a.non_resident && a.mapping_pairs) {
                std::vector<run_s> runs;
                if (decode_runlist(a.mapping_pairs, a.mapping_pairs_size, a.lowest_vcn, uint64_t{1} << 32, &runs))
                    arrange_runs(&runs);
            } else if (a.value && a.type == 0x20) {
                std::vector<list_entry_s> entries;
                parse_attribute_list(a.value, a.value_length, &entries);
            }
        }
    }
    // The harvest's search for records anywhere in the bytes, cut short
    // where a chunk would end.
    std::vector<ntfs_harvest::candidate_s> found;
    ntfs_harvest::find_records(data, size / 2, size, 0, &found);
    if (size >= 32) {
        ntfs_harvest::geometry_s g;
        uint64_t v[4];
        std::memcpy(v, data, sizeof v);
        ntfs_harvest::geometry_from_mft_copies(v[0], v[1], v[2], v[3], &g);
    }
    std::vector<run_s> runs;
    if (decode_runlist(data, size, 0, uint64_t{1} << 32, &runs))
        arrange_runs(&runs);
    std::vector<uint8_t> out(65536);
    lznt1_decompress(data, size, out.data(), out.size());
    return 0;
}
