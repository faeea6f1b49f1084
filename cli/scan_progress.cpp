#include "cli/scan_progress.h"

#include "cli/scanners.h"

#include <cstdio>
#include <unistd.h>

namespace cli {

int scan_volume(scan_service_c& service, const volume_item_s& volume, bool deep, std::string* reason)
{
    const bool live = ::isatty(STDERR_FILENO);
    const bool raw = choose_scanner(volume, deep) == scanner_kind_e::raw;
    const auto total = static_cast<unsigned long long>(volume.total_bytes);
    QString why;
    const int result = service.scan_to_end(volume, deep, &why, [&] {
        recovery_base_c& s = service.scanner();
        if (!live)
            return;
        if (raw)
            std::fprintf(stderr, "\rsearched %.0f of %llu bytes", s.get_progress() * double(volume.total_bytes), total);
        else
            std::fprintf(stderr, "\rreading %lld, found %lld", static_cast<long long>(s.get_read_count()),
                         static_cast<long long>(s.get_found_count()));
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
        *reason = utf8(why);
        return -1;
    }
    const QString warning = s.warning();
    if (!warning.isEmpty())
        std::fprintf(stderr, "quarvel-cli: %s\n", terminal_escape(utf8(warning)).c_str());
    return 0;
}

}  // namespace cli
