#include "cli/scan_options.h"

#include "cli/cli.h"
#include "cli/filter_options.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"
#include "scan/scan_service.h"

namespace cli {

std::string take_scan_options(std::vector<std::string>& args, scan_options_s* out)
{
    bool map_ok = true;
    if (take_option(args, "--map", &out->rescue_map, &map_ok) && !map_ok)
        return "--map needs the image's rescue map";
    std::string at_text;
    bool at_ok = true;
    out->at_given = take_option(args, "--at", &at_text, &at_ok);
    if (!at_ok || (out->at_given && !parse_sector(at_text, &out->at_sector)))
        return "--at needs the sector a volume starts at, as \"partitions\" lists it";
    out->deep = take_flag(args, "--deep");
    bool text_given = false;
    if (std::string wrong = take_text_option(args, &text_given, &out->text_types); !wrong.empty())
        return wrong;
    if (text_given && !out->deep)
        return "--text looks for plain text in a deep scan and needs --deep";
    // The search for lost folders and MFT records runs unless told not to;
    // --lost, which once asked for it, is still taken. Both together are
    // refused before anything is read or made.
    const bool lost_asked = take_flag(args, "--lost");
    out->no_lost = take_flag(args, "--no-lost");
    out->no_check = take_flag(args, "--no-verify");
    if (out->no_lost && lost_asked)
        return "--lost and --no-lost together";
    return {};
}

std::string take_filter_and_volume(std::vector<std::string>& args, scan_options_s* out)
{
    if (std::string wrong = take_filter_options(args, &out->filter); !wrong.empty())
        return wrong;
    for (const auto& a : args)
        if (a.rfind("--", 0) == 0)
            return "unknown option \"" + a + "\"";
    if (args.size() != 1)
        return args.empty() ? "no volume given" : "more than one volume given";
    return {};
}

bool scan_options_s::open_volume(const std::string& argument, volume_item_s* out, std::string* why) const
{
    if (*why = use_rescue_map(argument, rescue_map); !why->empty())
        return false;
    return volume_for_command(argument, at_given, at_sector, deep, out, why);
}

void scan_options_s::apply(scan_service_c& service) const
{
    service.set_lost_pass(no_lost ? lost_pass_e::off : lost_pass_e::on);
    if (no_check)
        service.set_content_check(false);
    service.set_text_types(text_types);
}

}  // namespace cli
