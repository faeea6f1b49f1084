// What the scan, recover and load commands print about a scan, and how a
// VOLUME argument becomes a volume record. Choosing and running the scanner
// is the scan service's (scan/scan_service.h).
#pragma once

#include "cli/cli.h"
#include "devices/volume_item.h"
#include "results/row_state.h"
#include "scan/recovery_base.h"

#include <QString>
#include <string>
#include <vector>

namespace cli {

inline std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }
inline QString from_utf8(const std::string& text) { return QString::fromUtf8(text.c_str()); }

// The volume record for a VOLUME argument (a device_path, or an image file
// taken as its whole-image volume). Returns false when there is none.
bool volume_for_argument(const std::string& argument, volume_item_s* out);

// The volume a scan or recover command reads: with --at SECTOR (at_given),
// the one that starts at that sector of the whole disk or disk image named
// by argument, read through a window over it; else the VOLUME argument, and
// for a deep scan a whole disk that is not a volume of its own. Returns
// false with a one-line *error.
bool volume_for_command(const std::string& argument, bool at_given, uint64_t at, bool deep, volume_item_s* out,
                        std::string* error);
// "--at SECTOR": a sector number, decimal. Returns false for anything else.
bool parse_sector(const std::string& text, uint64_t* sector);

// Every row the result tree shows after the scan.
inline std::vector<found_row_s> found_rows(const recovery_base_c& scanner) { return scanner.found_rows(); }

// Every found row, by folder and then by name: the order the commands list.
std::vector<found_row_s> sorted_found_rows(const recovery_base_c& scanner);

// Prints rows with the file table's columns: for people, dates in local
// time and sizes as size text; with --json, the raw numbers. The last
// column says how far each copy can be trusted, read from the flags the way
// the scanner that filled them means them.
void print_found_rows(const std::vector<found_row_s>& rows, bool json, row_flags_e reading);

// Seconds since 1970 as local "YYYY-MM-DD HH:MM"; "-" for 0 or a time the
// C library cannot convert.
std::string local_time_text(int64_t seconds);

}  // namespace cli
