// How far the copy of a found file can be trusted, read from what its
// scanner recorded in the row's flags. The flags mean different things per
// scanner (on FAT they are the entry's attribute byte, where 0x01 is
// read-only; on a deep scan 0x01 marks a partial file), so the table is told
// how to read them.
#pragma once

#include "scan/scan_service.h"

#include <QString>
#include <cstdint>
#include <string>

// Whose flags a table shows.
enum class row_flags_e {
    attributes,  // FAT: the entry's own bits and the trust bits above them
    ntfs,        // the NTFS engine's bits: a deleted file's clusters overwritten or its runs short
    deep_scan,   // the raw scanner: partial files
    exfat,       // where the data was taken from, and whether it is whole
};

// Worst last: a row with several marks shows the worst.
enum class row_state_e : uint8_t {
    unknown,      // the scanner says nothing about it
    exact,        // consecutive clusters: the copy is exact
    chain_kept,   // the file system still held its chain
    verified,     // chain gone; its content checked whole in the run from its start
    rebuilt,      // chain gone; put back together from the clusters that make it whole
    not_contradicted,  // NTFS: its clusters are free and nobody's since, its content not checkable
    uncertain,    // chain gone, free clusters taken from its start on
    damaged,      // chain gone; no choice of clusters makes it whole
    unreadable,   // its copy met sectors the disk could not give: zeros there
    overwritten,  // some of its clusters now belong to another file
    incomplete,   // fewer clusters than its size needs: the copy fails
    partial,      // only its first part was found
};

row_state_e row_state(row_flags_e reading, int32_t flags);

// How the rows a scanner of that kind fills are to be read.
row_flags_e row_flags_reading(scanner_kind_e kind);

// The state as one plain English word or two, for a text front end that
// has no translations; empty for unknown.
const char* row_state_name(row_state_e state);
// The same with, for a damaged file whose intact share is known, that
// share: "damaged, first 62 % intact".
std::string row_state_name(row_state_e state, int32_t flags);

// Whether the state deserves a mark beside the name: the copy may be wrong.
bool row_state_doubtful(row_state_e state);
// Whether the state says the content was checked and found whole.
bool row_state_checked_whole(row_state_e state);

// The short word drawn beside the name; empty for a state that needs none.
QString row_state_label(row_state_e state);
// The word with, for a damaged file, how much of it is intact: the line
// under a preview ("damaged – first 62 % intact").
QString row_state_line(row_state_e state, int32_t flags);

// The sentence of the row's tooltip; empty for an unknown state. With the
// row's flags, a damaged file's tooltip says how much of it is intact.
QString row_state_explanation(row_state_e state);
QString row_state_explanation(row_state_e state, int32_t flags);
