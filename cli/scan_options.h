// The options scan and recover share: where the volume is (--at, --map), how
// it is scanned (--deep, --text, --no-lost, --no-verify) and which found files count
// (the filter options), taken and checked the same way for both.
#pragma once

#include "devices/volume_item.h"
#include "results/result_filter.h"

#include <cstdint>
#include <string>
#include <vector>

class scan_service_c;

namespace cli {

struct scan_options_s {
    std::string rescue_map;  // --map; empty: the one beside the image, if any
    bool at_given = false;   // --at SECTOR
    uint64_t at_sector = 0;
    bool deep = false;
    bool no_lost = false;    // --no-lost
    bool no_check = false;   // --no-verify
    std::vector<std::string> text_types;  // --text [TYPES]: plain text too, in a deep scan
    result_filter_s filter;

    // The volume the VOLUME argument names with these options, its rescue
    // map in use. Returns false with a one-line *why when there is none.
    bool open_volume(const std::string& argument, volume_item_s* out, std::string* why) const;
    // The search for lost files and the content check as asked.
    void apply(scan_service_c& service) const;
};

// Takes --map, --at, --deep, --text, --lost, --no-lost and --no-verify out of
// args.
// Returns an empty string, or what is wrong with them.
std::string take_scan_options(std::vector<std::string>& args, scan_options_s* out);
// Takes the filter options out of args and checks that only the VOLUME
// argument is left: no option unknown to the command, and one volume.
// Returns an empty string, or what is wrong.
std::string take_filter_and_volume(std::vector<std::string>& args, scan_options_s* out);

}  // namespace cli
