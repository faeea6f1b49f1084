// Scanning a volume to its end for a command, with the progress the
// recovery page would paint written to stderr.
#pragma once

#include "scan/scan_service.h"

#include <string>

namespace cli {

// Runs the scan the recovery page would run (or the deep scan) on service.
// Returns 0, or -1 with a one-line *reason; what the scan had to skip is
// said on stderr.
int scan_volume(scan_service_c& service, const volume_item_s& volume, bool deep, std::string* reason);

// Every unreadable area on stderr with its first sector, count and the
// system's reason, then slow areas and a summary line.
void print_read_damage_lines(const read_damage_s& damage);
// With --json, after the rows: one object per area on stdout, told from a
// file's row by "record": "unreadable" or "slow".
void print_read_damage_json(const read_damage_s& damage);

}  // namespace cli
