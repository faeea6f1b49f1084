// The deep scan's validators asked about one file of known length. A JPEG
// is decoded (its markers alone say little about data written over its
// middle), a PNG has every chunk's checksum checked, and every other type
// is walked by its parser; the type the name says must be the one the first
// bytes say.
#include "engines/carve/content_check.h"

#include "engines/carve/carve_internal.h"
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <unordered_set>

namespace carve {

pieces_source_c::pieces_source_c(const platform::byte_source_c& under, byte_extents_t pieces)
    : under_(under), pieces_(std::move(pieces))
{
    starts_.reserve(pieces_.size());
    for (const auto& [offset, length] : pieces_) {
        starts_.push_back(size_);
        size_ += length;
    }
}

int64_t pieces_source_c::read_at(uint64_t offset, void* buffer, size_t length) const
{
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    if (offset >= size_)
        return 0;
    if ((deadline_ != std::chrono::steady_clock::time_point::max() && std::chrono::steady_clock::now() > deadline_) ||
        (stop_ && stop_->load(std::memory_order_relaxed) != 0)) {
        expired_.store(true, std::memory_order_relaxed);
        return -1;
    }
    size_t k = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
    while (done < length && k < pieces_.size()) {
        const uint64_t within = offset + done - starts_[k];
        const uint64_t left = pieces_[k].second - within;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, length - done));
        const int64_t got = under_.read_at(pieces_[k].first + within, out + done, want);
        if (got < 0)
            return -1;
        done += static_cast<size_t>(got);
        if (static_cast<size_t>(got) < want)
            return -1;  // a piece the source does not hold
        ++k;
    }
    return static_cast<int64_t>(done);
}

namespace {

std::string lower_extension(const char* extension)
{
    std::string e = extension ? extension : "";
    for (char& ch : e)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    // Other spellings of the types the deep scan names one way.
    if (e == "jpeg" || e == "jpe" || e == "jfif")
        return "jpg";
    if (e == "tiff")
        return "tif";
    if (e == "m4v")
        return "mp4";
    return e;
}

// The parser families that may report files of this extension.
std::vector<std::string> families_of(const std::string& extension)
{
    std::vector<std::string> out;
    for (const type_info_s& t : builtin_types())
        if (extension == t.name && std::strcmp(t.format, "text") != 0)
            out.emplace_back(t.format);
    return out;
}

bool key_matches(const signature_s& s, const uint8_t* head, size_t have)
{
    const size_t need = s.key_offset + s.key.size();
    if (have < need)
        return false;
    for (size_t i = 0; i < s.key.size(); ++i) {
        const uint8_t mask = s.mask.empty() ? 0xFF : static_cast<uint8_t>(s.mask[i]);
        if ((head[s.key_offset + i] & mask) != (static_cast<uint8_t>(s.key[i]) & mask))
            return false;
    }
    return true;
}

// Bytes that only fill a file to its length: zeros or 0xFF.
bool only_padding(source_c& src, uint64_t from, uint64_t to)
{
    for (uint64_t pos = from; pos < to;) {
        size_t avail = 0;
        const uint8_t* p = src.at(pos, &avail);
        if (!p)
            return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(avail, to - pos));
        const uint8_t fill = p[0];
        if (fill != 0 && fill != 0xFF)
            return false;
        for (size_t i = 0; i < n; ++i)
            if (p[i] != fill)
                return false;
        pos += n;
    }
    return true;
}

content_check_s ended_at(source_c& src, uint64_t end)
{
    content_check_s r;
    if (end == src.size() || (end < src.size() && only_padding(src, end, src.size())))
        r.outcome = content_check_s::kind::whole;
    else if (end < src.size())
        r.outcome = content_check_s::kind::shorter;
    else
        r.outcome = content_check_s::kind::broken;
    return r;
}

content_check_s broken_at(uint64_t intact)
{
    content_check_s r;
    r.outcome = content_check_s::kind::broken;
    r.intact = intact;
    r.intact_known = true;
    return r;
}

// Each thread keeps its planes from one file to the next (a progressive
// picture needs megabytes of them); emptied before each use.
jpeg::planes_c& thread_planes()
{
    thread_local jpeg::planes_c planes;
    planes.reset(0, false, 0);
    return planes;
}

content_check_s check_jpeg(source_c& src, uint64_t cluster, const signature_s& s)
{
    jpeg::planes_c& planes = thread_planes();
    jpeg::decoder_c d(src, planes, 0, src.size(), cluster);
    std::vector<jpeg::decoder_c> cuts;
    const jpeg::step st = d.run(UINT64_MAX, &cuts, 3);
    if (st == jpeg::step::finished)
        return ended_at(src, d.end());
    if (st == jpeg::step::unsupported) {
        // A kind of JPEG the decoder does not check: its structure still can be.
        parse_ctx_s ctx{src, 0, UINT64_MAX, nullptr};
        const parse_result_s r = s.parse(ctx);
        if (r.outcome == verdict::complete)
            return ended_at(src, r.length);
        content_check_s out;
        out.outcome = content_check_s::kind::broken;
        return out;
    }
    // The data went wrong in the cluster after the last boundary it crossed
    // in one piece.
    const uint64_t at = cuts.empty() ? d.broken_at() / cluster * cluster : cuts.back().boundary();
    return broken_at(std::min(at, src.size()));
}

// Every chunk's checksum: the structure walk alone passes foreign bytes
// that land inside a chunk's data.
content_check_s check_png(source_c& src)
{
    uint64_t pos = 8;
    std::vector<uint8_t> data;
    for (uint64_t chunks = 0; chunks < 100000000; ++chunks) {
        uint8_t head[8];
        if (pos + 12 > src.size() || !src.copy(pos, head, 8))
            return broken_at(pos);
        const uint32_t length = be32(head);
        if (length > 0x7FFFFFFFu || pos + 12 + uint64_t{length} > src.size())
            return broken_at(pos);
        uint32_t crc = crc32_of(head + 4, 4);
        uint64_t at = pos + 8;
        for (uint64_t left = length; left > 0;) {
            size_t avail = 0;
            const uint8_t* p = src.at(at, &avail);
            if (!p)
                return broken_at(pos);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(avail, left));
            crc = crc32_of(p, n, crc);
            at += n;
            left -= n;
        }
        uint8_t stored[4];
        if (!src.copy(at, stored, 4) || be32(stored) != crc)
            return broken_at(pos);
        pos = at + 4;
        if (std::memcmp(head + 4, "IEND", 4) == 0)
            return ended_at(src, pos);
    }
    return broken_at(pos);
}

}  // namespace

bool content_check_known(const char* extension)
{
    // Asked for every deleted file of a volume: one look-up each.
    static const std::unordered_set<std::string> known = [] {
        std::unordered_set<std::string> names;
        // Text says nothing about where it ends: a deleted text file's
        // clusters are not judged by it.
        for (const type_info_s& t : builtin_types())
            if (std::strcmp(t.format, "text") != 0)
                names.insert(t.name);
        return names;
    }();
    return known.count(lower_extension(extension)) != 0;
}

content_check_s check_content(const platform::byte_source_c& file, const char* extension, uint64_t cluster)
{
    content_check_s result;
    const std::vector<std::string> families = families_of(lower_extension(extension));
    if (families.empty() || file.size() == 0)
        return result;
    source_c src(file, nullptr);
    uint8_t head[72] = {};
    const size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof head, src.size()));
    if (!src.copy(0, head, have))
        return broken_at(0);
    const signature_s* sig = nullptr;
    for (const signature_s& s : builtin_signatures())
        if (std::find(families.begin(), families.end(), s.format) != families.end() && key_matches(s, head, have)) {
            sig = &s;
            break;
        }
    if (!sig) {
        // First bytes of another known kind: a file named for one type that
        // holds another is not judged. Bytes of no kind at all are damage,
        // except under a name text files share (TypeScript and translation
        // sources are ".ts" too).
        for (const signature_s& s : builtin_signatures())
            if (key_matches(s, head, have))
                return result;
        if (lower_extension(extension) == "ts")
            return result;
        return broken_at(0);
    }
    cluster = std::max<uint64_t>(cluster, 1);
    if (sig->parse == parse_jpeg)
        return check_jpeg(src, cluster, *sig);
    if (sig->parse == parse_png)
        return check_png(src);
    parse_ctx_s ctx{src, 0, UINT64_MAX, nullptr};
    const parse_result_s r = sig->parse(ctx);
    if (r.outcome == verdict::complete && sig->parse == parse_zip) {
        // Its structure walk reads headers only: bytes written over an
        // entry's data show in its CRC.
        bool failed = false;
        if (const uint64_t sound = zip_entries_intact(src, &failed); failed)
            return broken_at(sound);
    }
    if (r.outcome == verdict::complete)
        return ended_at(src, r.length);
    if (uint64_t intact = 0; intact_prefix(src, sig->parse, &intact))
        return broken_at(intact);
    result.outcome = content_check_s::kind::broken;
    return result;
}

bool find_jpeg_two_pieces(const platform::byte_source_c& device, uint64_t start, uint64_t size, uint64_t cluster,
                          uint64_t max_gap, double seconds, double* seconds_left, byte_extents_t* pieces,
                          const std::atomic<int32_t>* stop)
{
    if (cluster == 0 || size == 0 || start >= device.size() || max_gap == 0)
        return false;
    source_c src(device, nullptr);
    jpeg::fragment_options_s options;
    options.cluster = cluster;
    options.max_gap = max_gap;
    options.seconds_per_file = seconds;
    options.seconds_left = seconds_left;
    options.stop = stop;
    const jpeg::jpeg_result_s j = jpeg::carve_jpeg(src, start, device.size(), options);
    if (j.outcome != jpeg::jpeg_result_s::kind::fragmented || j.extents.size() != 2)
        return false;
    if (j.extents[0].second + j.extents[1].second != size)
        return false;
    *pieces = {j.extents[0], j.extents[1]};
    return true;
}

namespace {

int percent_of(uint64_t part, uint64_t whole)
{
    if (whole == 0)
        return -1;
    return static_cast<int>(std::min<uint64_t>(100, part * 100 / whole));
}

uint64_t total_of(const byte_extents_t& pieces)
{
    uint64_t sum = 0;
    for (const auto& piece : pieces)
        sum += piece.second;
    return sum;
}

}  // namespace

deleted_verdict_s judge_deleted_file(const platform::byte_source_c& volume, const char* extension, uint64_t size,
                                     uint64_t cluster, const byte_extents_t& run, const byte_extents_t& free_run,
                                     bool keep_free, check_budget_s* budget)
{
    using kind = deleted_verdict_s::kind;
    deleted_verdict_s verdict;
    if (size == 0 || !content_check_known(extension))
        return verdict;
    // A check that ran out of time says nothing about the file.
    const double seconds = budget ? std::max(0.0, std::min(budget->seconds_per_file, budget->seconds_left)) : 3600.0;
    const auto check = [&](const byte_extents_t& pieces) {
        pieces_source_c file(volume, pieces);
        file.set_deadline(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                  std::chrono::duration<double>(seconds)));
        file.set_stop(budget ? budget->stop : nullptr);
        const content_check_s r = check_content(file, extension, cluster);
        return file.expired() ? content_check_s{} : r;
    };
    content_check_s a;
    if (!run.empty() && total_of(run) == size) {
        a = check(run);
        if (a.outcome == content_check_s::kind::whole) {
            verdict.outcome = kind::verified;
            return verdict;
        }
        if (a.outcome == content_check_s::kind::unchecked)
            return verdict;
    }
    content_check_s b;
    const bool other_free = !free_run.empty() && free_run != run && total_of(free_run) == size;
    if (other_free) {
        b = check(free_run);
        if (b.outcome == content_check_s::kind::whole) {
            verdict.outcome = kind::rebuilt;
            verdict.chosen = free_run;
            return verdict;
        }
    }
    const std::string type = lower_extension(extension);
    // A JPEG broken before its first cluster boundary has no cut to search from.
    const bool cut_found = !(a.intact_known && a.intact == 0);
    if (type == "jpg" && cut_found && !run.empty() && budget && budget->seconds_left > 0) {
        byte_extents_t pieces;
        if (find_jpeg_two_pieces(volume, run.front().first, size, cluster, budget->max_gap, budget->seconds_per_file,
                                 &budget->seconds_left, &pieces, budget->stop) &&
            check(pieces).outcome == content_check_s::kind::whole) {
            verdict.outcome = kind::rebuilt;
            verdict.chosen = std::move(pieces);
            return verdict;
        }
    }
    // A search cut short by a stop proves nothing broken.
    if (budget && budget->stop && budget->stop->load(std::memory_order_relaxed) != 0)
        return deleted_verdict_s{};
    // Nothing is whole: the copy reads what it read before, and says how
    // much of that holds.
    const content_check_s& kept = keep_free && other_free ? b : a;
    if (kept.outcome != content_check_s::kind::broken)
        return verdict;  // a whole file followed by more, or nothing read: not judged
    verdict.outcome = kind::damaged;
    if (kept.intact_known)
        verdict.intact_percent = percent_of(kept.intact, size);
    return verdict;
}

}  // namespace carve

namespace carve {

content_settings_s content_check_settings()
{
    const config_s config = current_config();
    content_settings_s settings;
    settings.enabled = config.check_deleted;
    settings.budget.seconds_per_file = config.check_seconds;
    settings.budget.seconds_left = config.check_total_seconds;
    settings.budget.max_gap = config.fragment_gap;
    return settings;
}

}  // namespace carve
