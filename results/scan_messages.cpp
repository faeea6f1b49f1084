#include "results/scan_messages.h"

#include <QFile>
#include <QStringBuilder>

QString read_damage_text_s::summary() const
{
    QStringList parts;
    for (const QString& part : {line, slow, advice})
        if (!part.isEmpty())
            parts << part;
    return parts.join(QLatin1Char(' '));
}

read_damage_text_s read_damage_text(const read_damage_s& damage, const read_damage_view_s& view,
                                    const text_lookup_fn& text)
{
    read_damage_text_s out;
    const uint64_t sectors = damage.unreadable_sector_count();
    if (sectors > 0) {
        out.line = view.scanning                ? text("read_damage_scanning").arg(sectors)
                   : view.affected_files >= 0 ? text("read_damage_files").arg(sectors).arg(view.affected_files)
                                              : text("read_damage_sectors").arg(sectors);
        // An image is already safe; a disk that fails may fail further with
        // every pass over it.
        if (view.block_device)
            out.advice = text("read_damage_image_first").arg(text("image_disk_button"));
    }
    for (const unreadable_area_s& area : damage.unreadable)
        out.areas.push_back({QString::number(area.first_sector), QString::number(area.sectors),
                             area.error != 0 ? QString::fromStdString(platform::read_error_text(area.error))
                                             : text("read_damage_not_read")});
    if (damage.slow.size() == 1)
        out.slow = text("read_damage_slow").arg(damage.slow.front().first_sector);
    else if (damage.slow.size() > 1)
        out.slow = text("read_damage_slow_more").arg(damage.slow.size()).arg(damage.slow.front().first_sector);
    return out;
}

scan_notes_text_s scan_notes_text(const job_notes_t& notes, const text_lookup_fn& text)
{
    scan_notes_text_s out;
    for (const job_note_s& note : notes)
        out.notes << note_text(note, text);
    if (out.notes.size() == 1)
        out.line = out.notes.front();
    else if (out.notes.size() > 1)
        out.line = note_text({"scan_notes_more", {out.notes.front(), qlonglong(out.notes.size() - 1)}}, text);
    return out;
}

