// A JPEG in two pieces: the first piece ends at the cluster where decoding
// stops making sense; the second starts at a cluster boundary after it, at
// most a bounded number of clusters on, and is the one whose data decodes
// on to a valid end of image, the smallest gap and the smoothest seam first.
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

namespace carve::jpeg {

namespace {

using clock_type = std::chrono::steady_clock;

// Cut points tried, newest first: foreign data rarely decodes across a whole
// cluster, so the break almost always lies in the last one or two.
constexpr size_t cut_points = 3;
// After the first plausible continuation, how many more clusters on are
// still looked at before the plausible ones are decoded to their end.
constexpr uint64_t window_after_first = 16;

struct candidate_s {
    uint64_t gap;
    double seam;  // negative: unknown
    // Where the first look left it: a sequential file's decoder goes on from
    // there (nothing it decodes depends on the planes); a file that already
    // ended is decided.
    std::optional<decoder_c> decoded;
    bool finished = false;
};

// Kept from one search to the next, like the planes themselves.
planes_c::saved_s& thread_saved_planes()
{
    thread_local planes_c::saved_s saved;
    return saved;
}

class search_c {
public:
    search_c(source_c& src, planes_c& planes, uint64_t start, uint64_t limit, const fragment_options_s& options)
        : src_(src), planes_(planes), start_(start), limit_(std::min(limit, src.size())), options_(options),
          began_(clock_type::now())
    {
    }

    // Looks for the continuation of the file cut at the snapshot's boundary.
    // Returns the device offset it starts at and the end of the file, or
    // false.
    bool continuation(const decoder_c& cut, uint64_t* at, uint64_t* end)
    {
        const uint64_t cluster = options_.cluster;
        const uint64_t b = cut.boundary();
        // Cut inside a scan's coded data, the continuation is read as coded
        // data from its first byte: zeros there end it (see opens_with_zeros).
        const bool coded = cut.in_coded_data() && 2 * cluster >= zeros_that_break;
        uint64_t gap = 1;
        while (gap <= options_.max_gap) {
            // Plausible continuations: their first clusters decode.
            std::vector<candidate_s> plausible;
            uint64_t last = options_.max_gap;
            for (; gap <= last; ++gap) {
                if ((gap & 15) == 0 && out_of_time())
                    return false;
                const uint64_t c = b + gap * cluster;
                if (c >= limit_)
                    break;
                uint8_t head[3];
                if (src_.copy(c, head, 3) && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
                    continue;  // another JPEG starts there
                if (coded && opens_with_zeros(c))
                    continue;
                candidate_s& p = plausible.emplace_back(candidate_s{gap, -1, std::nullopt, false});
                if (!plausible_at(cut, c, &p)) {
                    plausible.pop_back();
                    continue;
                }
                if (plausible.size() == 1)
                    last = std::min(options_.max_gap, gap + std::max<uint64_t>(gap, window_after_first));
            }
            if (plausible.empty())
                return false;
            // The smoothest seam first; the smaller gap among equals.
            std::stable_sort(plausible.begin(), plausible.end(), [](const candidate_s& x, const candidate_s& y) {
                const double sx = x.seam < 0 ? 0 : x.seam;
                const double sy = y.seam < 0 ? 0 : y.seam;
                return sx < sy;
            });
            // The decode that decides runs to the file's end, or far into a
            // wrong one: it keeps no log, and going back from it is one copy
            // of the planes as they stood at the cut.
            bool saved = false;
            for (candidate_s& p : plausible) {
                if (out_of_time())
                    return false;
                if (p.finished) {
                    *at = b + p.gap * cluster;
                    *end = p.decoded->end();
                    return true;
                }
                planes_.undo_to(t_log(cut));
                if (!saved)
                    planes_.save(&at_cut_);
                saved = true;
                decoder_c t = cut;
                if (p.decoded && !p.decoded->progressive())
                    t = std::move(*p.decoded);
                else
                    t.splice(b + p.gap * cluster);
                planes_.keep_log(false);
                const step s = t.run(UINT64_MAX);
                planes_.keep_log(true);
                if (s == step::finished) {
                    *at = b + p.gap * cluster;
                    *end = t.end();
                    return true;
                }
                planes_.restore(at_cut_);
            }
            if (gap > options_.max_gap || b + gap * cluster >= limit_)
                return false;
        }
        return false;
    }

    bool out_of_time()
    {
        const double spent = std::chrono::duration<double>(clock_type::now() - began_).count();
        ran_out_ = ran_out_ || spent > options_.seconds_per_file ||
                   (options_.stop && options_.stop->load(std::memory_order_relaxed) != 0) ||
                   (options_.seconds_left && *options_.seconds_left - spent <= 0);
        return ran_out_;
    }
    // Whether the search was ever told it was out of time.
    bool ran_out() const { return ran_out_; }

    double spent() const { return std::chrono::duration<double>(clock_type::now() - began_).count(); }

private:
    static uint64_t t_log(const decoder_c& d) { return d.log_mark(); }

    // Zeros read as coded data end it at longest_coded_run in a row; one
    // more, as the first may stand for the zero that follows an 0xFF the
    // first piece ends with, which is not counted.
    static constexpr size_t zeros_that_break = longest_coded_run + 1;

    // Whether the cluster at c opens with zeros_that_break zero bytes. A
    // decode spliced there from inside coded data reads them before it can
    // reach the two clusters plausible_at asks of it (2 * cluster bytes,
    // at least as many), finds no marker among them, and breaks: cleared
    // or never written clusters are common on a card, and each cost a
    // kilobyte's decode.
    bool opens_with_zeros(uint64_t c)
    {
        if (c > limit_ || limit_ - c < zeros_that_break)
            return false;
        uint8_t copied[zeros_that_break];
        size_t avail = 0;
        const uint8_t* p = src_.at(c, &avail);
        if (!p)
            return false;
        if (avail < zeros_that_break) {
            if (!src_.copy(c, copied, zeros_that_break))
                return false;
            p = copied;
        }
        return p[0] == 0 && std::memcmp(p, p + 1, zeros_that_break - 1) == 0;
    }

    // Whether the data at c decodes on from the cut for two clusters (and,
    // for a baseline file, for a whole row of MCUs, to judge the seam); the
    // seam and where the decoder stood go to the candidate.
    bool plausible_at(const decoder_c& cut, uint64_t c, candidate_s* p)
    {
        decoder_c& t = p->decoded.emplace(cut);
        planes_.undo_to(t_log(cut));
        t.splice(c);
        const uint64_t cluster = options_.cluster;
        step s = t.run(c + 2 * cluster);
        for (uint64_t more = 3; s == step::running && !t.seam_row_done(cut.mcu()) && more <= 8; ++more)
            s = t.run(c + more * cluster);
        if (s != step::running && s != step::finished)
            return false;
        p->seam = t.seam_score(cut.mcu());
        p->finished = s == step::finished;
        return true;
    }

    source_c& src_;
    planes_c& planes_;
    planes_c::saved_s& at_cut_ = thread_saved_planes();
    uint64_t start_;
    uint64_t limit_;
    const fragment_options_s& options_;
    clock_type::time_point began_;
    bool ran_out_ = false;
};

}  // namespace

// Each thread keeps its planes from one picture to the next: a camera's
// progressive picture needs megabytes of them, and taking those from the
// kernel afresh for every picture cost more than decoding it. Emptied before
// each use, so nothing of one picture reaches the next. undo: whether the
// decode may be gone back on (the search), or only asks if the file is whole.
static planes_c& thread_planes(bool undo = true)
{
    thread_local planes_c planes;
    planes.reset(0, false, 0);
    planes.keep_log(undo);
    return planes;
}

bool decodes_whole(source_c& src, uint64_t start, uint64_t limit, uint64_t cluster)
{
    // Decoded as carve_jpeg decodes, cut points and all: they bound the
    // memory a progressive file may take, and so what the decoder says.
    planes_c& planes = thread_planes(false);
    decoder_c d(src, planes, start, limit, std::max<uint64_t>(cluster, 1));
    std::vector<decoder_c> cuts;
    const step s = d.run(UINT64_MAX, &cuts, cut_points);
    return s == step::finished || s == step::unsupported;
}

bool decodes_after_restart(source_c& src, uint64_t start, uint64_t end, uint64_t cluster, uint64_t scan_at,
                           uint64_t at, uint64_t restarts)
{
    planes_c& planes = thread_planes(false);
    decoder_c d(src, planes, start, end, std::max<uint64_t>(cluster, 1));
    const step s = d.run(scan_at);
    if (s == step::unsupported)
        return true;  // as the whole decode would find it
    if (s != step::running || d.position() != scan_at || !d.resume_after_restart(at, restarts))
        return false;
    return d.run(UINT64_MAX) == step::finished && d.end() == end;
}

bool decodes_last_scan(source_c& src, uint64_t start, uint64_t end, uint64_t cluster, uint64_t scan_at, int ac_of)
{
    // With cut points as carve_jpeg keeps them: they bound the memory the
    // planes' log may take, and so what the decoder says.
    planes_c& planes = thread_planes(false);
    decoder_c d(src, planes, start, end, std::max<uint64_t>(cluster, 1));
    d.decode_only(scan_at, ac_of);
    std::vector<decoder_c> cuts;
    return d.run(UINT64_MAX, &cuts, cut_points) == step::finished && d.end() == end;
}

jpeg_result_s carve_jpeg(source_c& src, uint64_t start, uint64_t limit, const fragment_options_s& options)
{
    jpeg_result_s result;
    planes_c& planes = thread_planes();
    const uint64_t cluster = std::max<uint64_t>(options.cluster, 1);
    decoder_c d(src, planes, start, limit, cluster);
    std::vector<decoder_c> cuts;
    const step s = d.run(UINT64_MAX, &cuts, cut_points);
    if (s == step::finished) {
        result.outcome = jpeg_result_s::kind::whole;
        result.extents.push_back({start, d.end() - start});
        return result;
    }
    if (s == step::unsupported || src.stopped()) {
        result.outcome = jpeg_result_s::kind::unsupported;
        return result;
    }
    if (cuts.empty()) {
        // Broken before its coded data crossed a cluster boundary: nothing
        // of it can be told apart from a stray header.
        result.outcome = jpeg_result_s::kind::broken;
        return result;
    }
    search_c search(src, planes, start, limit, options);
    bool found = false;
    uint64_t at = 0, end = 0;
    const decoder_c* used = nullptr;
    if (options.max_gap > 0) {
        for (auto it = cuts.rbegin(); it != cuts.rend() && !found; ++it) {
            found = search.continuation(*it, &at, &end);
            used = &*it;
            if (search.out_of_time())
                break;
        }
    }
    result.search_seconds = search.spent();
    result.out_of_time = search.ran_out() || src.stopped();
    if (options.seconds_left)
        *options.seconds_left -= result.search_seconds;
    if (found) {
        result.outcome = jpeg_result_s::kind::fragmented;
        result.extents.push_back({start, used->boundary() - start});
        result.extents.push_back({at, end - at});
        return result;
    }
    // What decoded is kept and said to be only a part.
    result.outcome = jpeg_result_s::kind::partial;
    result.extents.push_back({start, cuts.back().boundary() - start});
    return result;
}

}  // namespace carve::jpeg
