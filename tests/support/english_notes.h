// A scan's notes as the command line says them: in the English of the
// shipped translation tables, joined by "; " (what scanners once wrote
// themselves, so that a test can look for a phrase in one line).
#pragma once

#include "jobs/job_note.h"

#include <QString>

QString english_text(std::string_view key);
QString english_notes(const job_notes_t& notes);
