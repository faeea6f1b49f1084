// What the FAT and exFAT scanners share about the search of a volume's whole
// data area for folders no walk reaches (a deleted folder's lost clusters, the
// folders of a volume formatted over its files).
#pragma once

#include <QString>
#include <cstdint>

// When a scan also runs the search: never, always, or when the walk suggests
// it (a volume that looks freshly formatted, or deleted folders whose later
// clusters could not be found). later: not in this scan, because a pass of
// its own follows the listing; what the records alone can still give (an
// NTFS volume laid out from its MFT's copies) is used as with on.
enum class lost_pass_e : uint8_t { off, on, automatic, later };

// The note on a volume that looks freshly formatted, by what became of its
// old folders: listed under the lost folders' name (the note's argument),
// searched for and not found, or not searched for.
inline const char* formatted_note_key(bool old_folders_listed, bool searched)
{
    return old_folders_listed ? "note_formatted_listed" : searched ? "note_formatted_none_found" : "note_formatted_not_searched";
}

// The names the search's folders are shown under; a front end puts its own
// language's texts here. folder_at holds %1 for the cluster number.
struct lost_names_s {
    QString lost_folders = QStringLiteral("Lost folders");
    QString folder_at = QStringLiteral("Folder at cluster %1");
    // NTFS: a folder whose own MFT record is gone, by its record number.
    QString folder_record = QStringLiteral("Folder %1");
};
