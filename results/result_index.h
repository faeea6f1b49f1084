// The result index: every row a finished scan shows, flat and compact, with
// its folder, its kind of file, its state and a tick. Built once when a scan
// ends or a scan file is loaded; the folder tree and the file table are
// views over it, and the ticks live here, so they survive opening another
// folder, sorting and filtering. The index holds no widgets.
//
// Folders are numbered depth first (the top "/" is 0), and a folder's files
// follow one another, so the files below a folder, at any depth, are one
// run of file numbers: ticking a folder ticks that run.
#pragma once

#include "jobs/job.h"
#include "results/huge_page_allocator.h"
#include "results/result_filter.h"
#include "results/row_state.h"
#include "scan/recovery_base.h"
#include "scan/recovery_writer.h"

#include <QString>
#include <QVarLengthArray>
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class result_index_c {
public:
    static constexpr uint32_t none = UINT32_MAX;
    // Deepest folder nesting the build enters.
    static constexpr int max_depth = 4096;

    struct folder_s {
        QString name;               // as the tree shows it ("/" for the top)
        QString path;               // "/" for the top, "/a/b" below
        const void* node = nullptr; // the scanner's record of it
        uint32_t parent = none;     // none for the top
        uint32_t row = 0;           // position among its parent's sub-folders
        std::vector<uint32_t> children;
        uint32_t first_file = 0;    // its own files: [first_file, files_end)
        uint32_t files_end = 0;
        uint32_t subtree_end = 0;   // its folders and those below: [itself, subtree_end)
        uint32_t subtree_files_end = 0;  // every file below it: [first_file, subtree_files_end)
        uint32_t ticked_own = 0;    // ticked files of its own
        uint32_t ticked_below = 0;  // ticked files of its own and below
    };

    // 24 bytes a file: a million rows in about 23 MiB plus their names. A
    // size or time that does not fit in 32 bits (over 4 GiB, before 1970,
    // after 2106) stands as `wide` and is kept whole beside the records; an
    // id keeps its low half here and its high half in runs beside them
    // (ids of one folder mostly share it). The state is read from the flags
    // when asked for.
    static constexpr uint32_t wide = UINT32_MAX;
    struct file_s {
        uint32_t id_low = 0;
        uint32_t size = 0;
        uint32_t date1 = 0;
        uint32_t date2 = 0;
        int32_t flags = 0;
        // Where the name starts in the name buffer; it runs to where the next
        // file's starts, and its last byte says how to read it.
        uint32_t name_at = 0;
    };
    // Longest name kept; no file system allows one this long, a damaged one is cut.
    static constexpr int max_name_units = 0x7FFF;

    // Sort keys of the file table: 1 name, 2 size (unsigned), 3 date1,
    // 4 date2, 5 folder (then name).
    static constexpr int key_count = 6;

    enum class tick_state_e { none, some, all };

    // Replaces the content with what the finished scan shows, every tick
    // cleared. Returns false when the store has no top folder (nothing
    // found); the index is empty then. A folder met a second time (a
    // damaged store in which a folder is its own ancestor) is not entered
    // again.
    // Run inside a job, the build sets the job's progress, and a stop asked
    // of the job ends it early with false and an empty index.
    bool build(const recovery_base_c& scanner, row_flags_e reading, job_c* job = nullptr);
    void clear();

    bool has_top() const { return !folders_.empty(); }
    uint32_t file_count() const { return uint32_t(files_.size()); }
    uint32_t folder_count() const { return uint32_t(folders_.size()); }
    const folder_s& folder(uint32_t at) const { return folders_[at]; }
    const file_s& file(uint32_t at) const { return files_[at]; }
    int64_t id(uint32_t file) const
    {
        const uint32_t low = files_[file].id_low;
        return id_high_.empty() ? int64_t(low) : int64_t(uint64_t(high_of(file)) << 32 | low);
    }
    row_state_e state(uint32_t file) const { return row_state(reading_, files_[file].flags); }
    file_group_e group(uint32_t file) const;
    int64_t size(uint32_t file) const
    {
        const uint32_t s = files_[file].size;
        return s != wide ? int64_t(s) : wide_.at(file).size;
    }
    int64_t date1(uint32_t file) const
    {
        const uint32_t d = files_[file].date1;
        return d != wide ? int64_t(d) : wide_.at(file).date1;
    }
    int64_t date2(uint32_t file) const
    {
        const uint32_t d = files_[file].date2;
        return d != wide ? int64_t(d) : wide_.at(file).date2;
    }
    QString name(uint32_t file) const;
    // Calls fn with the file's name as a QStringView valid during the call.
    template <typename F>
    decltype(auto) with_name(uint32_t file, F&& fn) const
    {
        QVarLengthArray<char16_t, 128> units;
        return fn(name_view(file, &units));
    }
    // Ordinal comparison of two files' names, as QStringView's.
    int compare_names(uint32_t a, uint32_t b) const;
    // The folder a file is listed in.
    uint32_t folder_of(uint32_t file) const;
    const QString& folder_path_of(uint32_t file) const { return folders_[folder_of(file)].path; }
    row_flags_e reading() const { return reading_; }
    // The name the file will be written under, where it is not the name
    // shown (a "#" the disk can still undo); empty otherwise.
    QString written_name(uint32_t file) const;
    // The file-table row, with the tick.
    recovery_item_s row(uint32_t file) const;
    // The row as the writer gets it: its tick is not read.
    found_row_s found_row(uint32_t file) const;
    // The file with this id, or none; a walk through every file, for a
    // few look-ups (the writer's goes along the index's order).
    uint32_t find_id(int64_t id) const;
    // Takes the rows' new flags (row id, flags) from a check made after the
    // build, with the states they mean; answers the files that changed, in
    // rising order. Ids not in the index are passed over. The writer may
    // read rows meanwhile: a row's flags change as one word.
    std::vector<uint32_t> update_flags(const std::vector<std::pair<int64_t, int32_t>>& changes);
    // The folder shown at this path ("/", "/a/b"; a trailing "/" is
    // ignored), or none.
    uint32_t folder_at_path(QStringView path) const;

    bool ticked(uint32_t file) const { return ticks_[file / 64] >> (file % 64) & 1; }
    void set_ticked(uint32_t file, bool value);
    void set_ticked(const std::vector<uint32_t>& files, bool value);
    // Ticks or unticks the files [begin, end).
    void set_ticked_range(uint32_t begin, uint32_t end, bool value);
    // Ticks or unticks every file of the folder and of all folders below it.
    void tick_folder(uint32_t folder, bool value);
    void clear_ticks();
    tick_state_e folder_tick_state(uint32_t folder) const;
    // How many of the files [begin, end) are ticked.
    uint32_t count_ticks(uint32_t begin, uint32_t end) const;
    int64_t ticked_count() const { return ticked_count_; }
    uint64_t ticked_bytes() const { return ticked_bytes_; }
    // The ticked rows' ids, in the index's order (folder by folder).
    std::vector<int64_t> selected_ids() const;

    // The files of [begin, end) that pass the filter, in index order.
    std::vector<uint32_t> matching(uint32_t begin, uint32_t end, const compiled_filter_c& filter) const;
    // Whether a file passes the filter.
    bool passes(uint32_t file, const compiled_filter_c& filter) const;
    // Every file in ascending order of a sort key; computed on first use.
    const std::vector<uint32_t>& order_by(int key) const;
    // Whether file a comes before b in ascending order of the key.
    bool before(int key, uint32_t a, uint32_t b) const;
    // Sorts files by the key, ascending or not; equal keys keep their order
    // when stable is set, else end in no set order.
    void sort_files(std::vector<uint32_t>* files, int key, bool ascending, bool stable = false) const;

private:
    struct wide_s {
        int64_t size = 0;
        int64_t date1 = 0;
        int64_t date2 = 0;
    };
    // A name in the buffer: its characters, one byte each (Latin-1) or two
    // (UTF-16, native order), then one code byte: below 0x10 a Latin-1 name
    // of that group; 0x10 to 0x1F a UTF-16 name of group (code - 0x10); from
    // 0x20 a Latin-1 name whose extension, one of the volume's commonest, is
    // kept once in extensions_[code - 0x20] instead of with every name.
    static constexpr uint8_t code_wide = 0x10;
    static constexpr uint8_t code_extension = 0x20;
    static_assert(file_group_count <= code_wide, "a name's group must fit below the wide names' codes");
    struct extension_s {
        std::array<char, 8> text{};  // the dot and up to seven characters
        uint8_t length = 0;
        file_group_e group = file_group_e::other;
    };
    struct name_parts_s {
        const uint8_t* units = nullptr;  // the characters stored with the file
        size_t count = 0;                // how many (bytes, or UTF-16 units when wide)
        const extension_s* extension = nullptr;
        bool wide = false;
        uint8_t code = uint8_t(file_group_e::other);
    };
    name_parts_s name_parts(uint32_t file) const;
    static size_t length_of(const name_parts_s& parts)
    {
        return parts.count + (parts.extension ? parts.extension->length : 0);
    }
    static char16_t unit_at(const name_parts_s& parts, size_t at);
    static uint64_t name_key(const name_parts_s& parts, size_t skip);
    struct keyed_s {
        uint64_t key;
        uint32_t at;  // place in the run being sorted
    };
    // How many first units all the files' names share, knowing they share `from`.
    size_t common_start(const uint32_t* files, size_t n, size_t from) const;
    void sort_by_name(std::vector<uint32_t>* files, bool ascending, bool stable) const;
    void sort_names_in(uint32_t* files, size_t n, bool ascending, bool by_place, std::vector<keyed_s>* keyed,
                       int depth, size_t from) const;
    QStringView name_view(uint32_t file, QVarLengthArray<char16_t, 128>* units) const;
    static QStringView name_view(const name_parts_s& parts, QVarLengthArray<char16_t, 128>* units);
    static file_group_e group_of(const name_parts_s& parts);
    uint32_t high_of(uint32_t file) const;
    void add_file(const recovery_item_s& row, const QString& written);
    // The code of the name's extension, kept apart from now on, and where
    // it starts; 0 when it is not kept apart (none, too long, no room).
    uint8_t extension_code(const char16_t* text, qsizetype units, qsizetype* stem);
    void recount_folders();
    void change_tick(uint32_t file, uint32_t folder, bool value);
    void keep_first_units_by_file(uint32_t count);

    std::vector<folder_s> folders_;
    std::vector<file_s, huge_page_allocator<file_s>> files_;
    // Names of Latin-1 characters only take one byte a character; others
    // two.
    std::vector<uint8_t> names_;
    std::vector<extension_s> extensions_;
    std::unordered_map<uint64_t, uint8_t> extension_codes_;  // while building
    uint64_t last_extension_key_ = 0;
    uint8_t last_extension_code_ = 0;
    std::unordered_map<uint32_t, wide_s> wide_;
    // Runs of ids' high halves: (first file, high half), rising by file; none
    // while every id so far fits in 32 bits.
    std::vector<std::pair<uint32_t, uint32_t>> id_high_;
    // Written names that differ from the shown ones. Mostly the "#" undone
    // (every deleted entry of a FAT volume with long names): the one or two
    // units put in its place, by file in index order. Any other kind whole.
    std::vector<std::pair<uint32_t, char32_t>> first_units_;
    // Once a quarter of the files have one, a single unit is kept a unit a
    // file instead (0: none): two bytes a file rather than eight a name.
    std::vector<char16_t> first_unit_by_file_;
    bool first_units_dense_ = false;
    std::unordered_map<uint32_t, QString> written_;
    std::vector<uint64_t> ticks_;  // a bit a file
    int64_t ticked_count_ = 0;
    uint64_t ticked_bytes_ = 0;
    row_flags_e reading_ = row_flags_e::attributes;
    mutable std::array<std::vector<uint32_t>, key_count> orders_;
};

// The writer's way from a row id to its row (name, flags, folder), reading
// only what a build wrote: safe on the writer's thread while the window
// ticks and filters, and it keeps the index alive until the writer is done.
row_lookup_fn index_row_lookup(std::shared_ptr<const result_index_c> index);
