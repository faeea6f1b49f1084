// Scanning a volume to its end for a command, with the progress the
// recovery page would paint written to stderr.
#pragma once

#include "jobs/job_note.h"
#include "scan/scan_service.h"

#include <string>
#include <vector>

namespace cli {

// Runs the scan the recovery page would run (or the deep scan) on service.
// Returns 0, or -1 with a one-line *reason; what the scan had to skip is
// said on stderr.
int scan_volume(scan_service_c& service, const volume_item_s& volume, bool deep, std::string* reason);

// Takes "--text" (every plain text type), "--text txt,csv" or
// "--text=txt,csv" out of args into *types and sets *given. The word after
// a bare --text is the list when it is made of letters, digits and commas
// and names no file (else it is the VOLUME argument). Returns an empty
// string, or what is wrong (a name that is no text type).
std::string take_text_option(std::vector<std::string>& args, bool* given, std::vector<std::string>* types);

// Runs the search for lost files the scan left waiting (the service's
// deferred search) with its progress and time left on stderr, and makes
// its scan the service's current one; of its notes, says on stderr those
// the listing had not. False when none waited, or it did not end (the scan
// shown before stays current then).
bool search_lost_files(scan_service_c& service);

// The text of a note in English, from the shipped translation tables (the
// key itself when they are missing).
QString note_english(const job_note_s& note);
// What the scan had to skip, one note a line on stderr.
void print_notes_lines(const job_notes_t& notes);
// With --json, after the rows: one object per note on stdout, told from a
// file's row by "record": "note", with its key, arguments and English text.
void print_notes_json(const job_notes_t& notes);

// Every unreadable area on stderr with its first sector, count and the
// system's reason, then slow areas and a summary line.
void print_read_damage_lines(const read_damage_s& damage);
// With --json, after the rows: one object per area on stdout, told from a
// file's row by "record": "unreadable" or "slow".
void print_read_damage_json(const read_damage_s& damage);

}  // namespace cli
