// quarvel-cli scan VOLUME [--deep [--text [TYPE,...]]] [--no-lost] [--no-verify] [filter options]: what the file
// table would show, one row per found file that passes the filter.
#include "cli/cli.h"
#include "cli/filter_options.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"

#include <cstdio>

namespace {

int run_scan_command(cli::context_s& ctx)
{
    std::string rescue_map;
    bool map_ok = true;
    if (cli::take_option(ctx.args, "--map", &rescue_map, &map_ok) && !map_ok)
        return cli::usage_error(ctx, "scan", "--map needs the image's rescue map");
    std::string at_text;
    bool at_ok = true;
    const bool at_given = cli::take_option(ctx.args, "--at", &at_text, &at_ok);
    uint64_t at_sector = 0;
    if (!at_ok || (at_given && !cli::parse_sector(at_text, &at_sector)))
        return cli::usage_error(ctx, "scan", "--at needs the sector a volume starts at, as \"partitions\" lists it");
    const bool deep = cli::take_flag(ctx.args, "--deep");
    bool text_given = false;
    std::vector<std::string> text_types;
    if (const std::string wrong = cli::take_text_option(ctx.args, &text_given, &text_types); !wrong.empty())
        return cli::usage_error(ctx, "scan", wrong);
    if (text_given && !deep)
        return cli::usage_error(ctx, "scan", "--text looks for plain text in a deep scan and needs --deep");
    // The search for lost folders and MFT records runs unless told not to;
    // --lost, which once asked for it, is still taken.
    const bool lost_asked = cli::take_flag(ctx.args, "--lost");
    const bool no_lost = cli::take_flag(ctx.args, "--no-lost");
    const bool no_check = cli::take_flag(ctx.args, "--no-verify");
    result_filter_s filter;
    if (const std::string wrong = cli::take_filter_options(ctx.args, &filter); !wrong.empty())
        return cli::usage_error(ctx, "scan", wrong);
    for (const auto& a : ctx.args)
        if (a.rfind("--", 0) == 0)
            return cli::usage_error(ctx, "scan", "unknown option \"" + a + "\"");
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "scan", ctx.args.empty() ? "no volume given" : "more than one volume given");

    if (const std::string why = cli::use_rescue_map(ctx.args[0], rescue_map); !why.empty())
        return cli::fail(why);
    volume_item_s volume;
    if (std::string why; !cli::volume_for_command(ctx.args[0], at_given, at_sector, deep, &volume, &why))
        return cli::fail(why);
    scan_service_c service;
    if (no_lost && lost_asked)
        return cli::usage_error(ctx, "scan", "--lost and --no-lost together");
    service.set_lost_pass(no_lost ? lost_pass_e::off : lost_pass_e::on);
    // A large disk shows what its file system knows at once; the search of
    // the whole volume follows with its own rows.
    service.set_lost_pass_deferred(true);
    if (no_check)
        service.set_content_check(false);
    service.set_text_types(text_types);
    std::string reason;
    if (cli::scan_volume(service, volume, deep, &reason) != 0)
        return cli::fail(reason);
    result_index_c index;
    index.build(service.scanner(), row_flags_reading(service.kind()));
    cli::print_index_rows(index, cli::listed_files(index, filter), ctx.json);
    std::fflush(stdout);
    if (cli::search_lost_files(service)) {
        result_index_c grown;
        grown.build(service.scanner(), row_flags_reading(service.kind()));
        std::vector<uint32_t> added;
        for (const uint32_t file : cli::listed_files(grown, filter))
            if (index.find_id(grown.row(file).id) == result_index_c::none)
                added.push_back(file);
        if (!added.empty())
            cli::print_index_rows(grown, added, ctx.json);
    }
    if (ctx.json)
        cli::print_read_damage_json(service.scanner().read_damage());
    return cli::exit_ok;
}

}  // namespace

// The filter's words (the groups among them) come from the one list of them.
static const std::string scan_usage =
    std::string("scan VOLUME|DISK --at SECTOR [--map IMG.map] [--deep [--text [TYPE,...]]] [--no-lost] [--no-verify] ") +
    cli::filter_options_usage;
QUARVEL_CLI_COMMAND(scan, "scan", scan_usage.c_str(), run_scan_command);
