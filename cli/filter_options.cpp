#include "cli/filter_options.h"

#include "cli/cli.h"
#include "cli/scanners.h"

namespace cli {

std::string take_filter_options(std::vector<std::string>& args, result_filter_s* filter)
{
    bool ok = true;
    std::string value;
    if (take_option(args, "--name", &value, &ok)) {
        if (!ok || value.empty())
            return "--name needs a pattern";
        filter->name = from_utf8(value);
    }
    if (take_option(args, "--type", &value, &ok)) {
        if (!ok || !file_group_from_word(value, &filter->group)) {
            std::string words;
            for (int g = 1; g < file_group_count; ++g)
                words += std::string(g > 1 ? ", " : "") + file_group_word(file_group_e(g));
            return "--type needs one of " + words;
        }
    }
    for (const auto& [flag, bound] : {std::pair{"--min-size", &filter->min_size}, {"--max-size", &filter->max_size}}) {
        if (!take_option(args, flag, &value, &ok))
            continue;
        int64_t bytes = 0;
        if (!ok || !parse_size_text(from_utf8(value), &bytes))
            return std::string(flag) + " needs a size such as 4096, 700K, 1M or 2G";
        *bound = bytes;
    }
    for (const char* flag : {"--since", "--until"}) {
        if (!take_option(args, flag, &value, &ok))
            continue;
        QDate day;
        if (!ok || !parse_day_text(from_utf8(value), &day))
            return std::string(flag) + " needs a day as YYYY-MM-DD";
        if (flag[2] == 's')
            filter->since = day_first_second(day);
        else
            filter->until = day_last_second(day);
    }
    filter->whole_only = take_flag(args, "--whole-only") || filter->whole_only;
    return {};
}

std::vector<uint32_t> listed_files(const result_index_c& index, const result_filter_s& filter)
{
    const compiled_filter_c compiled(filter);
    std::vector<uint32_t> out;
    for (uint32_t file : index.order_by(5))
        if (index.passes(file, compiled))
            out.push_back(file);
    return out;
}

void print_index_rows(const result_index_c& index, const std::vector<uint32_t>& files, bool json)
{
    std::vector<found_row_s> rows;
    rows.reserve(files.size());
    for (uint32_t file : files)
        rows.push_back(index.found_row(file));
    print_found_rows(rows, json, index.reading());
}

}  // namespace cli
