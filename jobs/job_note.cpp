#include "jobs/job_note.h"

#include <QStringList>

QString note_text(const job_note_s& note, const text_lookup_fn& text)
{
    QString out = text(note.key);
    // A key the tables do not know still says what happened, if tersely.
    if (out.isEmpty())
        out = QString::fromStdString(note.key);
    // One pass over the text, so that a "%2" inside a name put in for %1 is
    // never read as a mark; a mark without its argument stays as it is.
    QString filled;
    filled.reserve(out.size());
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c == QLatin1Char('%') && i + 1 < out.size() && out.at(i + 1) >= QLatin1Char('1') &&
            out.at(i + 1) <= QLatin1Char('9')) {
            const qsizetype at = out.at(i + 1).unicode() - '1';
            if (at < note.args.size()) {
                filled += note.args.at(at).toString();
                ++i;
                continue;
            }
        }
        filled += c;
    }
    return filled;
}

QString notes_line(const job_notes_t& notes, const text_lookup_fn& text)
{
    QStringList parts;
    for (const job_note_s& note : notes)
        parts << note_text(note, text);
    return parts.join(QStringLiteral("; "));
}
