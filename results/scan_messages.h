// What the window says about a scan beside its progress: the one place such
// lines are put together, so that every page says the same thing in the
// same words and a test can read them without a window. The page only
// shows them.
#pragma once

#include "jobs/job_note.h"
#include "scan/read_damage.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

// One unreadable area as the list shows it.
struct damage_area_row_s {
    QString first_sector;
    QString sectors;
    QString reason;
};

// A failing medium's account, translated. Every part is empty on a sound
// medium.
struct read_damage_text_s {
    // "N sectors could not be read; M files are affected" (without M where
    // the scanner cannot tell before the files are copied).
    QString line;
    // "slow area at sector …" for the first slow area, with how many more.
    QString slow;
    // A failing disk (not an image): save an image of it before reading on.
    QString advice;
    std::vector<damage_area_row_s> areas;

    bool empty() const { return line.isEmpty() && slow.isEmpty(); }
    // The line, the slow area and the advice, one after the other.
    QString summary() const;
};

// What the page knows beside the damage itself.
struct read_damage_view_s {
    // How many found files lie over the unreadable sectors; -1 when the
    // scanner cannot tell before it copies them.
    int64_t affected_files = -1;
    // The scan still runs: no file count yet, the sectors so far.
    bool scanning = false;
    // The scan read a disk, not an image file: the advice is for it.
    bool block_device = false;
};

read_damage_text_s read_damage_text(const read_damage_s& damage, const read_damage_view_s& view,
                                    const text_lookup_fn& text);

// What a finished scan had to skip or found damaged, translated.
struct scan_notes_text_s {
    // The first note, with how many more: the summary line's part. Empty
    // when there are none.
    QString line;
    // Every note's text, for the list on request.
    QStringList notes;
};

scan_notes_text_s scan_notes_text(const job_notes_t& notes, const text_lookup_fn& text);
