// What a job tells the person about its run beside done, stopped or failed:
// one note per fact (sectors it could not read, folders it could not enter),
// as a translation key and its arguments rather than a sentence, so that the
// window says it in the person's language and the command line in English
// from the same note, and --json hands it over whole.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A translation by key (text_for_key in the program, a table in a test).
using text_lookup_fn = std::function<QString(std::string_view key)>;

struct job_note_s {
    // The key of its text in the translation tables ("note_..."); the text
    // holds %1, %2 ... for the arguments in order.
    std::string key;
    // Counts, sectors, names and the system's reasons, in the order of the
    // marks in the text.
    QVariantList args;

    bool operator==(const job_note_s&) const = default;
};

using job_notes_t = std::vector<job_note_s>;

// The note's text with its arguments put in.
QString note_text(const job_note_s& note, const text_lookup_fn& text);
// Every note's text, one after the other, joined by "; ".
QString notes_line(const job_notes_t& notes, const text_lookup_fn& text);
