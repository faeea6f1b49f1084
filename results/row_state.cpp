#include "results/row_state.h"

#include "engines/fat/fat_trust.h"
#include "engines/ntfs/ntfs_engine.h"
#include "scan/exfat/exfat_recovery.h"
#include "scan/content_pass.h"
#include "scan/raw/raw_pieces.h"
#include "scan/unreadable_sectors.h"
#include "shell/settings.h"

namespace {

// What the check of a deleted file's content found, when it ran.
row_state_e content_state(int32_t flags)
{
    if (flags & row_content_damaged)
        return row_state_e::damaged;
    if (flags & row_content_rebuilt)
        return row_state_e::rebuilt;
    if (flags & row_content_verified)
        return row_state_e::verified;
    return row_state_e::unknown;
}

}  // namespace

row_state_e row_state(row_flags_e reading, int32_t flags)
{
    // A copy over unreadable sectors holds zeros there: that, not what a
    // check of those zeros concluded, is what to say of it. Only another
    // file's bytes, or a copy that fails, say more.
    if (flags & row_unreadable_sectors) {
        const row_state_e rest = row_state(reading, flags & ~row_unreadable_sectors);
        return rest == row_state_e::overwritten || rest == row_state_e::incomplete ? rest : row_state_e::unreadable;
    }
    switch (reading) {
    case row_flags_e::attributes:
        // The attribute byte says nothing about the copy; the bits above it
        // are the FAT scanner's findings on a deleted file's clusters.
        if (flags & fat_row_incomplete)
            return row_state_e::incomplete;
        if (flags & fat_row_overwritten)
            return row_state_e::overwritten;
        if (const row_state_e checked = content_state(flags); checked != row_state_e::unknown)
            return checked;
        if (flags & fat_row_uncertain)
            return row_state_e::uncertain;
        if (flags & fat_row_chain_kept)
            return row_state_e::chain_kept;
        return row_state_e::unknown;
    case row_flags_e::ntfs:
        // The record keeps its exact runs, but free clusters may have been
        // taken and freed since: only the content check can say more.
        if (uint32_t(flags) & ntfs_engine::flag_data_incomplete)
            return row_state_e::incomplete;
        if (uint32_t(flags) & ntfs_engine::flag_data_overwritten)
            return row_state_e::overwritten;
        if (const row_state_e checked = content_state(flags); checked != row_state_e::unknown)
            return checked;
        if (uint32_t(flags) & ntfs_engine::flag_data_in_record)
            return row_state_e::exact;
        // The runs it keeps point at free clusters; whether those still hold
        // its bytes is not known. A damaged row has its share where the
        // engine's bit was, so the deleted bit is what tells.
        if (uint32_t(flags) & ntfs_engine::flag_deleted)
            return row_state_e::not_contradicted;
        return row_state_e::unknown;
    case row_flags_e::deep_scan: return flags & raw_row_partial ? row_state_e::partial : row_state_e::unknown;
    case row_flags_e::exfat:
        if (flags & exfat_row_incomplete)
            return row_state_e::incomplete;
        if (flags & exfat_row_overwritten)
            return row_state_e::overwritten;
        if (const row_state_e checked = content_state(flags); checked != row_state_e::unknown)
            return checked;
        if (flags & exfat_row_from_free_clusters)
            return row_state_e::uncertain;
        if (flags & exfat_row_from_fat)
            return row_state_e::chain_kept;
        if (flags & exfat_row_contiguous)
            return row_state_e::exact;
        return row_state_e::unknown;
    }
    return row_state_e::unknown;
}

row_flags_e row_flags_reading(scanner_kind_e kind)
{
    switch (kind) {
    case scanner_kind_e::raw: return row_flags_e::deep_scan;
    case scanner_kind_e::exfat: return row_flags_e::exfat;
    case scanner_kind_e::ntfs: return row_flags_e::ntfs;
    default: return row_flags_e::attributes;
    }
}

const char* row_state_name(row_state_e state)
{
    switch (state) {
    case row_state_e::exact: return "exact";
    case row_state_e::chain_kept: return "chain kept";
    case row_state_e::verified: return "verified";
    case row_state_e::rebuilt: return "put back together";
    case row_state_e::not_contradicted: return "not contradicted";
    case row_state_e::damaged: return "damaged";
    case row_state_e::unreadable: return "unreadable sectors";
    case row_state_e::uncertain: return "uncertain";
    case row_state_e::overwritten: return "overwritten";
    case row_state_e::incomplete: return "incomplete";
    case row_state_e::partial: return "partial";
    default: return "";
    }
}

std::string row_state_name(row_state_e state, int32_t flags)
{
    std::string name = row_state_name(state);
    if (const int share = row_content_share(flags); state == row_state_e::damaged && share >= 0)
        name += ", first " + std::to_string(share) + " % intact";
    return name;
}

bool row_state_doubtful(row_state_e state)
{
    return state >= row_state_e::uncertain;
}

bool row_state_checked_whole(row_state_e state)
{
    return state == row_state_e::verified || state == row_state_e::rebuilt;
}

namespace {

const char* label_key(row_state_e state)
{
    switch (state) {
    case row_state_e::exact: return "row_state_exact";
    case row_state_e::chain_kept: return "row_state_chain";
    case row_state_e::not_contradicted: return "row_state_not_contradicted";
    case row_state_e::verified: return "row_state_verified";
    case row_state_e::rebuilt: return "row_state_rebuilt";
    case row_state_e::uncertain: return "row_state_uncertain";
    case row_state_e::damaged: return "row_state_damaged";
    case row_state_e::unreadable: return "row_state_unreadable";
    case row_state_e::overwritten: return "row_state_overwritten";
    case row_state_e::incomplete: return "row_state_incomplete";
    case row_state_e::partial: return "row_state_partial";
    default: return nullptr;
    }
}

const char* explanation_key(row_state_e state)
{
    switch (state) {
    case row_state_e::exact: return "row_state_exact_tip";
    case row_state_e::chain_kept: return "row_state_chain_tip";
    case row_state_e::verified: return "row_state_verified_tip";
    case row_state_e::rebuilt: return "row_state_rebuilt_tip";
    case row_state_e::not_contradicted: return "row_state_not_contradicted_tip";
    case row_state_e::uncertain: return "row_state_uncertain_tip";
    case row_state_e::damaged: return "row_state_damaged_tip";
    case row_state_e::unreadable: return "row_state_unreadable_tip";
    case row_state_e::overwritten: return "row_state_overwritten_tip";
    case row_state_e::incomplete: return "row_state_incomplete_tip";
    case row_state_e::partial: return "row_state_partial_tip";
    default: return nullptr;
    }
}

}  // namespace

QString row_state_label(row_state_e state)
{
    const char* key = label_key(state);
    return key ? text_for_key(key) : QString();
}

QString row_state_line(row_state_e state, int32_t flags)
{
    QString line = row_state_label(state);
    if (const int share = row_content_share(flags); state == row_state_e::damaged && share >= 0)
        line += QStringLiteral(" – ") + text_for_key("row_state_damaged_part").arg(share);
    return line;
}

QString row_state_explanation(row_state_e state)
{
    const char* key = explanation_key(state);
    return key ? text_for_key(key) : QString();
}

QString row_state_explanation(row_state_e state, int32_t flags)
{
    QString tip = row_state_explanation(state);
    if (state == row_state_e::damaged && row_content_share(flags) >= 0)
        tip += " " + text_for_key("row_state_damaged_share").arg(row_content_share(flags));
    return tip;
}
