#include "cli/scan_progress.h"

#include "cli/cli.h"
#include "cli/scanners.h"

#include "scan/time_left.h"
#include "shell/settings.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace cli {

namespace {

// ", 42 %, time left 1:05" once the pass can tell.
std::string progress_text(double progress, time_left_c* left)
{
    const int64_t seconds = left->seconds_left(progress);
    char text[64];
    if (seconds < 0)
        std::snprintf(text, sizeof text, ", %d %%", int(progress * 100));
    else
        std::snprintf(text, sizeof text, ", %d %%, time left %lld:%02lld", int(progress * 100),
                      static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
    return text;
}

bool looks_like_type_list(const std::string& word)
{
    if (word.empty() || word[0] == '-')
        return false;
    for (const char c : word)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ',')
            return false;
    return !QFileInfo::exists(from_utf8(word));
}

}  // namespace

std::string take_text_option(std::vector<std::string>& args, bool* given, std::vector<std::string>* types)
{
    *given = false;
    types->clear();
    const std::vector<std::string> known = raw_recovery_c::text_types();
    std::string list;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--text") {
            if (i + 1 < args.size() && looks_like_type_list(args[i + 1])) {
                list = args[i + 1];
                args.erase(args.begin() + static_cast<long>(i) + 1);
            }
        } else if (args[i].rfind("--text=", 0) == 0) {
            list = args[i].substr(7);
            if (list.empty())
                return "--text= needs text types, such as --text=txt,csv";
        } else {
            continue;
        }
        if (*given)
            return "--text is given twice";
        *given = true;
        args.erase(args.begin() + static_cast<long>(i));
        --i;
    }
    if (!*given)
        return {};
    if (list.empty()) {
        *types = known;
        return {};
    }
    std::vector<std::string> names;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos)
            end = list.size();
        std::string name = list.substr(at, end - at);
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        names.push_back(std::move(name));
        at = end + 1;
    }
    // The service's own check, so that a name is refused here for the
    // same reason the service would refuse it.
    if (std::string name; !scan_service_c::choose_text_types(names, types, &name)) {
        std::string all_known;
        for (const std::string& k : known)
            all_known += (all_known.empty() ? "" : ", ") + k;
        return (name.empty() ? std::string("an empty name in --text") : "\"" + name + "\" is not a text type") +
               " (the text types are " + all_known + ")";
    }
    return {};
}

int scan_volume(scan_service_c& service, const volume_item_s& volume, bool deep, std::string* reason)
{
    const bool live = ::isatty(STDERR_FILENO);
    const bool raw = choose_scanner(volume, deep) == scanner_kind_e::raw;
    const auto total = static_cast<unsigned long long>(volume.total_bytes);
    QString why;
    time_left_c left;
    const int result = service.scan_to_end(volume, deep, &why, [&] {
        recovery_base_c& s = service.scanner();
        if (!live)
            return;
        if (raw)
            std::fprintf(stderr, "\rsearched %.0f of %llu bytes", s.get_progress() * double(volume.total_bytes), total);
        else
            std::fprintf(stderr, "\rreading %lld, found %lld%s\033[K", static_cast<long long>(s.get_read_count()),
                         static_cast<long long>(s.get_found_count()), progress_text(s.get_progress(), &left).c_str());
    });
    recovery_base_c& s = service.scanner();
    if (result == 0 || service.kind() != scanner_kind_e::none) {
        if (raw)
            std::fprintf(stderr, "%ssearched %llu bytes, %zu found\n", live ? "\r" : "", total,
                         service.raw_scanner().records().size());
        else
            std::fprintf(stderr, "%sscanned %lld entries, %lld found\n", live ? "\r" : "",
                         static_cast<long long>(s.get_read_count()), static_cast<long long>(s.get_found_count()));
    }
    if (result != 0) {
        // A volume this account may not open: the way on is named with it.
        *reason = platform::with_way_out(utf8(why), service.open_refusal());
        return -1;
    }
    print_notes_lines(s.notes());
    print_read_damage_lines(s.read_damage());
    return 0;
}

bool search_lost_files(scan_service_c& service)
{
    if (!service.lost_pass_waiting())
        return false;
    const bool live = ::isatty(STDERR_FILENO);
    // scan_volume said these; the search walks the volume again and finds
    // most of them again.
    const job_notes_t said = service.scanner().notes();
    time_left_c left;
    const int result = service.lost_pass_to_end([&] {
        if (live)
            std::fprintf(stderr, "\rsearching the volume for lost files: %lld found%s\033[K",
                         static_cast<long long>(service.lost_pass_found()),
                         progress_text(service.lost_pass_progress(), &left).c_str());
    });
    if (result != 0) {
        std::fprintf(stderr, "%squarvel-cli: the search for lost files did not end; the rows above are all\n",
                     live ? "\r\033[K" : "");
        return false;
    }
    std::fprintf(stderr, "%ssearched the volume for lost files\n", live ? "\r\033[K" : "");
    job_notes_t added;
    for (const job_note_s& note : service.scanner().notes())
        if (std::find(said.begin(), said.end(), note) == said.end())
            added.push_back(note);
    print_notes_lines(added);
    return true;
}

QString note_english(const job_note_s& note)
{
    static const bool loaded = load_language(QStringLiteral("English"), false) == 0;
    Q_UNUSED(loaded);
    return note_text(note, [](std::string_view key) { return text_for_key(key); });
}

void print_notes_lines(const job_notes_t& notes)
{
    for (const job_note_s& note : notes)
        std::fprintf(stderr, "quarvel-cli: %s\n", terminal_escape(utf8(note_english(note))).c_str());
}

void print_notes_json(const job_notes_t& notes)
{
    for (const job_note_s& note : notes) {
        QJsonObject row;
        row.insert(QStringLiteral("record"), QStringLiteral("note"));
        row.insert(QStringLiteral("key"), QString::fromStdString(note.key));
        row.insert(QStringLiteral("args"), QJsonArray::fromVariantList(note.args));
        row.insert(QStringLiteral("text"), note_english(note));
        std::fputs(QJsonDocument(row).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    }
    std::fflush(stdout);
}

void print_read_damage_lines(const read_damage_s& damage)
{
    // A disk that fails everywhere would bury everything else.
    constexpr size_t most = 50;
    size_t shown = 0;
    for (const unreadable_area_s& r : damage.unreadable)
        if (shown++ < most)
            std::fprintf(stderr, "quarvel-cli: %s\n", unreadable_line(r).c_str());
    if (damage.unreadable.size() > most)
        std::fprintf(stderr, "quarvel-cli: and %zu more unreadable areas\n", damage.unreadable.size() - most);
    for (size_t i = 0; i < damage.slow.size() && i < most; ++i)
        std::fprintf(stderr, "quarvel-cli: %s\n", slow_line(damage.slow[i]).c_str());
    if (const std::string summary = read_damage_summary(damage); !summary.empty())
        std::fprintf(stderr, "quarvel-cli: %s\n", summary.c_str());
}

void print_read_damage_json(const read_damage_s& damage)
{
    for (const unreadable_area_s& r : damage.unreadable)
        table_c::print_json_row({"record", "first_sector", "sectors", "sector_size", "reason"},
                                {std::string("unreadable"), r.first_sector, r.sectors,
                                 static_cast<uint64_t>(damage.sector_size),
                                 r.error ? platform::read_error_text(r.error) : std::string("not read")});
    for (const slow_area_s& r : damage.slow)
        table_c::print_json_row({"record", "first_sector", "sectors", "sector_size", "milliseconds"},
                                {std::string("slow"), r.first_sector, r.sectors,
                                 static_cast<uint64_t>(damage.sector_size), static_cast<uint64_t>(r.milliseconds)});
    std::fflush(stdout);
}

}  // namespace cli
