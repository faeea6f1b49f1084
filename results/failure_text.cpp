#include "results/failure_text.h"

#include "devices/enumerate.h"

QString open_refusal_text(platform::open_refusal_e refusal, const QString& device, const QString& detail,
                          const text_lookup_fn& text)
{
    using platform::open_refusal_e;
    const char* key = "open_failed";
    switch (refusal) {
    case open_refusal_e::denied: key = "open_denied"; break;
    case open_refusal_e::no_agent: key = "open_no_agent"; break;
    case open_refusal_e::dismissed: key = "open_dismissed"; break;
    case open_refusal_e::not_authorized: key = "open_not_authorized"; break;
    case open_refusal_e::no_way_to_ask: key = "open_no_way_to_ask"; break;
    case open_refusal_e::none:
    case open_refusal_e::other: break;
    }
    QString out = text(key).arg(device);
    if (platform::refusal_is_access(refusal))
        out += QStringLiteral("\n\n") + text("open_way_out").arg(text("menu_open_image"));
    if (!detail.isEmpty())
        out += QStringLiteral("\n\n") + detail;
    return out;
}

QString output_check_text(const output_check_s& check, const text_lookup_fn& text)
{
    switch (check.problem) {
    case output_check_s::problem_e::none: break;
    case output_check_s::problem_e::on_source: return text("output_refused") + QStringLiteral("\n\n") + check.detail;
    case output_check_s::problem_e::not_writable: return text("output_not_writable").arg(check.folder, check.detail);
    case output_check_s::problem_e::no_room:
        return text("output_no_room").arg(format_size(check.needed), format_size(check.free), check.folder);
    }
    return {};
}
