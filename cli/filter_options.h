// The options scan and recover share to narrow the found files: --name,
// --type, --min-size, --max-size, --since, --until and --whole-only. They
// fill the same filter the window's filter box fills, so both pick the same
// files.
#pragma once

#include "results/result_filter.h"
#include "results/result_index.h"

#include <string>
#include <vector>

namespace cli {

// The usage text of the filter options.
inline constexpr const char* filter_options_usage =
    "[--name PATTERN] [--type pictures|documents|audio|video|archives|mail|fonts|text|other] [--min-size N[K|M|G]] "
    "[--max-size N[K|M|G]] [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--whole-only]";

// Takes the filter options out of args into *filter. Returns an empty
// string, or what is wrong with one of them.
std::string take_filter_options(std::vector<std::string>& args, result_filter_s* filter);

// The files of the index that pass the filter, by folder and then by name:
// the order the commands list.
std::vector<uint32_t> listed_files(const result_index_c& index, const result_filter_s& filter);

// Prints the files with the file table's columns (see print_found_rows).
void print_index_rows(const result_index_c& index, const std::vector<uint32_t>& files, bool json);

}  // namespace cli
