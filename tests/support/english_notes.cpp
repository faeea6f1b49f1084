#include "english_notes.h"

#include "shell/settings.h"

#include <QtGlobal>
#include <cstdio>

#ifndef QUARVEL_DEFAULT_SOURCE_DIR
#define QUARVEL_DEFAULT_SOURCE_DIR ""
#endif

QString english_text(std::string_view key)
{
    static const bool loaded = [] {
        QString source = qEnvironmentVariable("QUARVEL_SOURCE_DIR");
        if (source.isEmpty())
            source = QStringLiteral(QUARVEL_DEFAULT_SOURCE_DIR);
        const bool ok = load_language_file((source + "/data/language.ini").toStdString(), "English", false) == 0;
        if (!ok)
            std::fprintf(stderr, "english_text: data/language.ini not found under %s\n", qPrintable(source));
        return ok;
    }();
    Q_UNUSED(loaded);
    return text_for_key(key);
}

QString english_notes(const job_notes_t& notes) { return notes_line(notes, english_text); }
