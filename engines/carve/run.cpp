// The carving run: one sequential pass over the device in large blocks,
// every candidate start looked up in a first-byte table that serves all types
// at once, and the read-back calls.
#include "engines/carve/carve.h"
#include "engines/carve/carve_internal.h"
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace carve {

namespace {

// The piece of the device the scan loop is in.
struct block_s {
    uint64_t pos;
    const uint8_t* data;
    size_t length;
    // The source's refills() when data was had from it: a parser that read
    // on may since have put another block where data points. UINT64_MAX:
    // data is a copy that stays.
    uint64_t refills = UINT64_MAX;
};

// One signature the run is looking for, with what it needs to decide.
struct active_signature_s {
    const signature_s* signature;
    uint64_t max_size;  // the largest bound of the names its parser can report
};

// What a worker learned ahead of the scan about one candidate: one
// signature's verdict at one start and, for a JPEG the walk found whole,
// whether it may skip the decoder; for one it may not, what decoding it and
// searching for its second piece found. Parsers and the decoder are pure
// functions of the bytes, so the scan takes these as its own, the search
// only while the run's time for searching lasts.
struct memo_s {
    uint64_t start;
    size_t signature;  // index into the run's active signatures
    int clean;         // 1: keep the walk's JPEG undecoded; -1: not asked
    parse_result_s result;
    bool jpeg_known = false;  // jpeg holds what carve_jpeg says
    jpeg::jpeg_result_s jpeg;
};

// The first bytes at a start where a worker found a key: enough for the scan
// to try that start again without reading its block.
struct head_s {
    uint64_t start;
    uint32_t length;
    uint8_t bytes[72];
};

// A worker's own pass over its chunk. It steps over what it finds as the
// scan does, so from any start it passed through, the scan's path is the
// worker's for as long as the two take the same decisions.
struct walk_s {
    bool whole = false;  // it reached the chunk's end: no stop, no unreadable block
    uint64_t from = 0;   // its first start
    uint64_t exit = 0;   // where it left the chunk
    std::vector<std::pair<uint64_t, uint64_t>> jumps;  // (start of a found file, next start), by start
    std::vector<head_s> heads;                         // by start

    // The next start after a file found at start; 0 when none was.
    uint64_t jump_at(uint64_t start) const
    {
        const auto it = std::lower_bound(jumps.begin(), jumps.end(), std::make_pair(start, uint64_t{0}));
        return it != jumps.end() && it->first == start ? it->second : 0;
    }

    // Whether the worker stood at pos (a start of the scan's grid).
    bool passed(uint64_t pos) const
    {
        if (!whole || pos < from || pos >= exit)
            return false;
        auto it = std::upper_bound(jumps.begin(), jumps.end(), std::make_pair(pos, UINT64_MAX));
        if (it == jumps.begin())
            return true;
        --it;
        return it->first == pos || pos >= it->second;
    }

    void clear()
    {
        whole = false;
        from = exit = 0;
        jumps.clear();
        heads.clear();
    }
};

class run_c;

// Workers that judge the candidates of the chunks ahead of the scan, each
// with a byte source of its own. The scan stays the only one that reports,
// in disk order, so what it reports does not depend on how many there are.
class lookahead_c {
public:
    static constexpr uint64_t chunk_size = 8u << 20;

    lookahead_c(run_c& run, const platform::byte_source_c& device, const std::atomic<int32_t>* stop,
                const std::atomic<int32_t>* pause, unsigned workers)
        : run_(run), pause_(pause), chunks_((device.size() + chunk_size - 1) / chunk_size), slots_(4 * workers)
    {
        for (unsigned i = 0; i < workers; ++i)
            threads_.emplace_back([this, &device, stop] { work(device, stop); });
    }
    ~lookahead_c()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

    // What a worker found for signature at start; null when no worker
    // looked there. Waits for a worker that is still on start's chunk.
    const memo_s* find(uint64_t start, size_t signature)
    {
        const uint64_t c = start / chunk_size;
        std::unique_lock<std::mutex> lock(mutex_);
        move_to(c);
        slot_s& slot = slots_[c % slots_.size()];
        if (slot.number != c)
            return nullptr;
        changed_.wait(lock, [&] { return slot.done; });
        lock.unlock();
        // The slot is not handed out again before the scan leaves chunk c.
        const auto it = std::lower_bound(slot.memos.begin(), slot.memos.end(), std::make_pair(start, signature),
                                         [](const memo_s& m, const std::pair<uint64_t, size_t>& key) {
                                             return m.start < key.first ||
                                                    (m.start == key.first && m.signature < key.second);
                                         });
        return it != slot.memos.end() && it->start == start && it->signature == signature ? &*it : nullptr;
    }

    // The worker's walk of pos's chunk; null when no worker took it. Waits
    // like find. Valid until the scan leaves the chunk.
    const walk_s* walk(uint64_t pos)
    {
        const uint64_t c = pos / chunk_size;
        std::unique_lock<std::mutex> lock(mutex_);
        move_to(c);
        slot_s& slot = slots_[c % slots_.size()];
        if (slot.number != c)
            return nullptr;
        changed_.wait(lock, [&] { return slot.done; });
        return &slot.walk;
    }

    // The scan has come to offset: the workers may go further ahead.
    void scan_at(uint64_t offset)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        move_to(offset / chunk_size);
    }

private:
    void move_to(uint64_t chunk)
    {
        if (chunk <= scan_chunk_)
            return;
        scan_chunk_ = chunk;
        next_ = std::max(next_, chunk + 1);
        changed_.notify_all();
    }

    struct slot_s {
        uint64_t number = UINT64_MAX;
        bool done = false;
        std::vector<memo_s> memos;  // by start, then signature
        walk_s walk;
    };

    void work(const platform::byte_source_c& device, const std::atomic<int32_t>* stop);

    run_c& run_;
    const std::atomic<int32_t>* pause_;
    const uint64_t chunks_;
    std::vector<slot_s> slots_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t next_ = 1;        // the next chunk a worker takes
    uint64_t scan_chunk_ = 0;  // the chunk the scan is in
    bool quit_ = false;
};

class run_c final : public file_starts_c {
    friend class lookahead_c;

public:
    run_c(const config_s& config, source_c& src, carve_control_s& control, carve_found_pieces_fn pieces)
        : config_(config), src_(src), control_(control), pieces_(pieces)
    {
        fragments_.cluster = std::max<uint64_t>(config_.cluster_size, config_.sector_size);
        fragments_.max_gap = config_.fragment_gap;
        fragments_.seconds_per_file = config_.fragment_seconds;
        seconds_left_ = config_.fragment_total_seconds;
        seconds_left_seen_.store(seconds_left_, std::memory_order_relaxed);
        fragments_.seconds_left = &seconds_left_;
        for (const auto& s : builtin_signatures()) {
            uint64_t max = 0;
            for (const auto& t : builtin_types()) {
                if (std::string(t.format) != s.format)
                    continue;
                const auto it = config_.types.find(t.name);
                if (it != config_.types.end() && it->second.enabled && it->second.max_size > max)
                    max = it->second.max_size;
            }
            if (max > 0)
                add(&s, max);
        }
        for (const auto& user : config_.user_types) {
            user_signatures_.push_back({"user", 0, user.header, {}, parse_user, &user});
        }
        for (const auto& s : user_signatures_)
            add(&s, s.user->max_size);
        step_ = config_.byte_level ? 1 : config_.sector_size;
        sector_size_ = std::max<uint32_t>(config_.sector_size, 1);
        for (int b = 0; b < 256; ++b) {
            uint8_t run[72];
            std::memset(run, b, sizeof run);
            uniform_match_[b] = any_key_in(run);
        }
    }

    void set_lookahead(lookahead_c* lookahead) { lookahead_ = lookahead; }

    // Returns 0 at the device end, 1 when stopped.
    int run()
    {
        const uint64_t size = src_.size();
        uint64_t pos = 0;
        while (pos < size) {
            if (!wait_while_paused())
                return 1;
            control_.progress.store(static_cast<double>(pos) / static_cast<double>(size), std::memory_order_relaxed);
            if (lookahead_) {
                lookahead_->scan_at(pos);
                // Where a worker already read and judged this chunk, its
                // bytes are not read a second time.
                if (follow_walk(&pos)) {
                    if (src_.stopped())
                        return 1;
                    continue;
                }
            }
            size_t avail = 0;
            const uint8_t* data = src_.at(pos, &avail);
            if (!data) {
                if (src_.stopped())
                    return 1;
                // An unreadable block: go on after it.
                pos = align_up((pos / source_c::block_size + 1) * source_c::block_size);
                continue;
            }
            pos = step_ == 1 ? scan_bytes(pos, data, avail) : scan_sectors(pos, data, avail);
            if (src_.stopped())
                return 1;
        }
        control_.progress.store(1.0, std::memory_order_relaxed);
        return 0;
    }

private:
    void add(const signature_s* s, uint64_t max)
    {
        const size_t index = active_.size();
        active_.push_back({s, max});
        auto& table = s->key_offset == 0 ? first_byte_ : fifth_byte_;
        const uint8_t key = static_cast<uint8_t>(s->key[0]);
        const uint8_t mask = s->mask.empty() ? 0xFF : static_cast<uint8_t>(s->mask[0]);
        for (int b = 0; b < 256; ++b)
            if ((b & mask) == (key & mask))
                table[b].push_back(index);
        for (int b = 0; b < 256; ++b)
            any_[b] = !first_byte_[b].empty() || !fifth_byte_[b].empty();
        if (s->key_offset != 0)
            has_fifth_ = true;
        // A key this long seldom lies at a sector start of a text by chance
        // (and where it does, its parser is asked too).
        const bool strong = s->key.size() >= 4 && std::strcmp(s->format, "text") != 0;
        strong_.push_back(strong);
        if (strong)
            for (int b = 0; b < 256; ++b)
                if ((b & mask) == (key & mask))
                    (s->key_offset == 0 ? first_ : fifth_)[b] = true;
        max_key_end_ = std::max<size_t>(max_key_end_, std::max<size_t>(5, s->key_offset + s->key.size()));
        // Every key is at least two bytes long: the pair of bytes that can
        // begin it lets the byte-level search pass over most bytes at once.
        const uint8_t key1 = static_cast<uint8_t>(s->key[1]);
        const uint8_t mask1 = s->mask.empty() ? 0xFF : static_cast<uint8_t>(s->mask[1]);
        for (int b0 = 0; b0 < 256; ++b0) {
            if ((b0 & mask) != (key & mask))
                continue;
            for (int b1 = 0; b1 < 256; ++b1)
                if ((b1 & mask1) == (key1 & mask1))
                    pair_[static_cast<size_t>(b0 << 8 | b1)] = true;
        }
    }

    bool pair_may_begin_key(uint8_t b0, uint8_t b1) const { return pair_[static_cast<size_t>(b0 << 8 | b1)]; }

    uint64_t align_up(uint64_t offset) const
    {
        const uint64_t r = offset % step_;
        return r ? offset + (step_ - r) : offset;
    }

    // Sleeps while paused. Returns false once a stop was asked for. The
    // workers call it too: a pause holds every reader of the device.
    bool wait_while_paused() const
    {
        while (control_.stop.load(std::memory_order_relaxed) == 0) {
            if (control_.pause.load(std::memory_order_relaxed) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Candidate starts at every step_ in [pos, pos + avail). Returns where the
    // next block's search begins.
    uint64_t scan_sectors(uint64_t pos, const uint8_t* data, size_t avail)
    {
        const uint64_t end = pos + avail;
        const uint64_t refills = src_.refills();
        const block_s block{pos, data, avail, refills};
        for (uint64_t q = pos; q < end; q += step_) {
            // A parser that read far ahead may have reused this block's
            // cache slot: the outer loop fetches it again.
            if (src_.refills() != refills && q != pos)
                return q;
            uint64_t after = 0;
            if (try_position(q, block, &after))
                return align_up(after);
        }
        return align_up(end);
    }

    // The candidates at q whose keys its first or fifth byte may begin.
    // Returns true when a file was reported, with *after past it.
    bool try_position(uint64_t q, const block_s& block, uint64_t* after)
    {
        const size_t i = static_cast<size_t>(q - block.pos);
        if (held(block) && block.length - i >= max_key_end_ && !any_key_at(block.data + i))
            return false;
        if (!first_byte_[block.data[i]].empty() && try_at(q, first_byte_[block.data[i]], block, after))
            return true;
        if (!has_fifth_)
            return false;
        uint8_t b = 0;
        if (i + 4 < block.length && held(block))
            b = block.data[i + 4];
        else if (!src_.copy(q + 4, &b, 1))
            return false;
        return !fifth_byte_[b].empty() && try_at(q, fifth_byte_[b], block, after);
    }

    // Whether any key matches the bytes at head (max_key_end_ of them).
    // Blank sectors, zeros or 0xFF, begin several keys' first bytes but
    // none of their keys: told here, before any copying.
    bool any_key_at(const uint8_t* head) const
    {
        // A run of one byte value over every key's reach: answered from
        // the table made when the keys were set.
        if (max_key_end_ <= 16) {
            uint64_t w0 = 0;
            uint64_t w1 = 0;
            std::memcpy(&w0, head, 8);
            std::memcpy(&w1, head + 8, 8);
            if (w0 == w1 && w0 == head[0] * 0x0101010101010101ull)
                return uniform_match_[head[0]];
        }
        return any_key_in(head);
    }

    bool any_key_in(const uint8_t* head) const
    {
        for (size_t index : first_byte_[head[0]])
            if (key_matches(*active_[index].signature, head + active_[index].signature->key_offset))
                return true;
        if (has_fifth_)
            for (size_t index : fifth_byte_[head[4]])
                if (key_matches(*active_[index].signature, head + active_[index].signature->key_offset))
                    return true;
        return false;
    }

    // Whether block's bytes are still where it points.
    bool held(const block_s& block) const { return block.refills == UINT64_MAX || block.refills == src_.refills(); }

    // Goes along a worker's walk from *pos: only the starts where it found a
    // key are tried, from the bytes it kept, and the scan moves to where the
    // worker left the chunk. Where the scan decides otherwise than the worker
    // (a JPEG put together from two pieces, say) it stops there and reads for
    // itself. Returns false, leaving *pos, when there is no walk to follow.
    bool follow_walk(uint64_t* pos)
    {
        const walk_s* walk = lookahead_->walk(*pos);
        if (!walk || !walk->passed(*pos))
            return false;
        auto head = std::lower_bound(walk->heads.begin(), walk->heads.end(), *pos,
                                     [](const head_s& h, uint64_t start) { return h.start < start; });
        uint64_t p = *pos;
        for (; head != walk->heads.end(); ++head) {
            if (head->start < p)
                continue;
            if (src_.stopped() || !wait_while_paused()) {
                *pos = p;
                return true;
            }
            const uint64_t worker_next = walk->jump_at(head->start);
            uint64_t after = 0;
            const bool found = try_position(head->start, {head->start, head->bytes, head->length}, &after);
            const uint64_t next = found ? align_up(after) : 0;
            if (next != worker_next) {
                *pos = found ? next : head->start + step_;
                return true;
            }
            if (found)
                p = next;
        }
        *pos = std::max(p, walk->exit);
        return true;
    }

    // The length a reported file is given, or 0 when its type is not wanted.
    uint64_t accepted_length(const signature_s& s, const parse_result_s& r, uint64_t start) const
    {
        uint64_t length = r.length;
        if (length > src_.size() - start)
            length = src_.size() - start;  // never longer than the device
        if (!s.user) {
            const auto it = config_.types.find(r.type);
            if (it == config_.types.end() || !it->second.enabled || length > it->second.max_size)
                return 0;
        }
        return length;
    }

    // Every byte of [pos, pos + avail) looked up in the first-byte table.
    uint64_t scan_bytes(uint64_t pos, const uint8_t* data, size_t avail)
    {
        const uint64_t refills = src_.refills();
        const block_s block{pos, data, avail, refills};
        for (size_t i = 0; i < avail; ++i) {
            if (src_.refills() != refills && i != 0)
                return pos + i;
            const uint8_t b = data[i];
            if (!any_[b])
                continue;
            uint8_t next = 0;
            if (i + 1 < avail)
                next = data[i + 1];
            else if (!src_.copy(pos + i + 1, &next, 1))
                continue;
            if (!pair_may_begin_key(b, next))
                continue;
            const uint64_t q = pos + i;
            uint64_t after = 0;
            if (!first_byte_[b].empty() && try_at(q, first_byte_[b], block, &after))
                return std::max(after, q + 1);
            if (!fifth_byte_[b].empty() && q >= 4 && try_at(q - 4, fifth_byte_[b], block, &after))
                return std::max(after, q + 1);
        }
        return pos + avail;
    }

    // Tries every listed signature at start. Returns true when a file was
    // reported, with *after the first byte past it.
    bool try_at(uint64_t start, const std::vector<size_t>& candidates, const block_s& block, uint64_t* after)
    {
        // The first bytes are copied before any parser runs: each reads on
        // through the source, and a long file's walk refills the slot they
        // lay in.
        uint8_t copied[72];
        const uint8_t* head = copied;
        size_t have = 0;
        if (held(block) && start >= block.pos && start - block.pos < block.length) {
            have = std::min(sizeof copied, block.length - static_cast<size_t>(start - block.pos));
            std::memcpy(copied, block.data + (start - block.pos), have);
        }
        for (size_t index : candidates) {
            const active_signature_s& a = active_[index];
            const signature_s& s = *a.signature;
            const size_t need = s.key_offset + s.key.size();
            if (need > have) {
                // The key runs into the next block (or starts before this one).
                if (start + need > src_.size() || !src_.copy(start, copied, need))
                    continue;
                have = need;
            }
            if (!key_matches(s, head + s.key_offset))
                continue;
            const uint64_t limit = a.max_size > UINT64_MAX - start ? UINT64_MAX : start + a.max_size;
            const memo_s* memo = lookahead_ ? lookahead_->find(start, index) : nullptr;
            parse_ctx_s ctx{src_, start, limit, s.user, this};
            const parse_result_s r = memo ? memo->result : s.parse(ctx);
            if (pieces_ && s.parse == parse_jpeg && (r.outcome == verdict::invalid || !r.type)) {
                // The structure walk lost its way: the file may go on elsewhere.
                uint64_t jpeg_after = 0;
                if (jpeg_in_pieces(start, limit, r, memo, &jpeg_after)) {
                    *after = jpeg_after;
                    return true;
                }
                continue;
            }
            if (r.outcome == verdict::invalid || r.length == 0 || !r.type)
                continue;
            const uint64_t length = accepted_length(s, r, start);
            if (length == 0)
                continue;
            // A file the walk found whole and that shows no sign of a cut is
            // kept without decoding it: decoding would only confirm it.
            if (pieces_ && s.parse == parse_jpeg &&
                !(r.outcome == verdict::complete &&
                  (memo && memo->clean >= 0 ? memo->clean == 1
                                            : jpeg::ends_cleanly(src_, start, length, fragments_.cluster)))) {
                uint64_t jpeg_after = 0;
                if (jpeg_in_pieces(start, limit, r, memo, &jpeg_after)) {
                    *after = jpeg_after;
                    return true;
                }
            }
            if (control_.callback)
                control_.callback(control_.user, r.type, static_cast<int64_t>(start), static_cast<int64_t>(length));
            // A file cut by the device end may be a stray header: it must not
            // hide the files that lie inside what it claims.
            *after = r.outcome == verdict::truncated ? start + 1 : start + length;
            return true;
        }
        return false;
    }

    // Decodes the JPEG at start; reports it when it comes in pieces, or cut
    // short. walk is what the structure walk said; a file the walk found
    // whole and that cannot be put together otherwise is left to it, since
    // the decoder may be the one at fault. Returns true when reported, with
    // *after where the scan goes on: right after the first piece, so that
    // files in the gap are still found.
    // A worker's decoding and search stand for the scan's own while the
    // run's time for searching lasts: with the search's seconds spent here,
    // the scan's own search would have run to the same end.
    bool jpeg_in_pieces(uint64_t start, uint64_t limit, const parse_result_s& walk, const memo_s* memo,
                        uint64_t* after)
    {
        if (!jpeg_wanted())
            return false;
        jpeg::jpeg_result_s j;
        if (memo && memo->jpeg_known &&
            (memo->jpeg.search_seconds < 0 || seconds_left_ - memo->jpeg.search_seconds > 0)) {
            j = memo->jpeg;
            if (j.search_seconds > 0)
                seconds_left_ -= j.search_seconds;
        } else {
            j = jpeg::carve_jpeg(src_, start, limit, fragments_);
        }
        seconds_left_seen_.store(seconds_left_, std::memory_order_relaxed);
        carve_extent_s extents[2] = {};
        int32_t count = 0;
        if (!reported_pieces(j, walk, extents, &count))
            return false;
        pieces_(control_.user, "jpg", extents, count, j.outcome == jpeg::jpeg_result_s::kind::partial ? 1 : 0);
        *after = j.extents[0].first + j.extents[0].second;
        return true;
    }

    bool jpeg_wanted() const
    {
        const auto it = config_.types.find("jpg");
        return it != config_.types.end() && it->second.enabled;
    }

    // Whether what carve_jpeg found is reported as pieces (then in extents)
    // rather than left to the structure walk.
    bool reported_pieces(const jpeg::jpeg_result_s& j, const parse_result_s& walk, carve_extent_s (&extents)[2],
                         int32_t* count) const
    {
        using kind = jpeg::jpeg_result_s::kind;
        if (j.outcome == kind::whole || j.outcome == kind::unsupported || j.outcome == kind::broken)
            return false;
        if (j.outcome == kind::partial && walk.outcome == verdict::complete)
            return false;
        uint64_t total = 0;
        const size_t n = std::min<size_t>(j.extents.size(), 2);
        for (size_t k = 0; k < n; ++k) {
            extents[k] = {static_cast<int64_t>(j.extents[k].first), static_cast<int64_t>(j.extents[k].second)};
            total += j.extents[k].second;
        }
        *count = static_cast<int32_t>(n);
        return n > 0 && total <= config_.types.find("jpg")->second.max_size;
    }

    // A worker's share: the candidates of [from, to) judged as the scan
    // would judge them, through the worker's own source, stepping over what
    // it finds as the scan will.
    void judge_chunk(source_c& src, uint64_t from, uint64_t to, std::vector<memo_s>* memos, walk_s* walk) const
    {
        walk->from = align_up(from);
        uint64_t q = walk->from;
        while (q < to && !src.stopped()) {
            uint8_t copied[72];
            const size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof copied, src.size() - q));
            size_t avail = 0;
            const uint8_t* head = src.at(q, &avail);
            if (!head)
                return;  // not whole: the scan reads this chunk itself
            if (avail >= max_key_end_ ? !any_key_at(head)
                                      : first_byte_[head[0]].empty() &&
                                            (!has_fifth_ || (avail > 4 && fifth_byte_[head[4]].empty()))) {
                q += step_;
                continue;
            }
            // Kept apart from the slot they lie in, which the parsers' reads
            // may refill: every candidate's key is matched against them, and
            // they are what the scan tries this start with.
            if (avail < have) {
                if (!src.copy(q, copied, have)) {
                    q += step_;
                    continue;
                }
            } else {
                std::memcpy(copied, head, have);
            }
            head = copied;
            if (!wait_while_paused())
                return;
            const size_t judged = memos->size();
            uint64_t after = 0;
            if (!judge_at(src, q, head, have, first_byte_[head[0]], memos, &after) && has_fifth_ && have > 4)
                judge_at(src, q, head, have, fifth_byte_[head[4]], memos, &after);
            if (memos->size() != judged) {
                head_s& h = walk->heads.emplace_back();
                h.start = q;
                h.length = static_cast<uint32_t>(have);
                std::memcpy(h.bytes, head, have);
            }
            const uint64_t next = after > q ? align_up(after) : q + step_;
            if (after > q)
                walk->jumps.emplace_back(q, next);
            q = next;
        }
        walk->exit = q;
        walk->whole = !src.stopped();
    }

    bool judge_at(source_c& src, uint64_t start, const uint8_t* head, size_t have, const std::vector<size_t>& candidates,
                  std::vector<memo_s>* memos, uint64_t* after) const
    {
        for (size_t index : candidates) {
            const active_signature_s& a = active_[index];
            const signature_s& s = *a.signature;
            if (s.key_offset + s.key.size() > have || !key_matches(s, head + s.key_offset))
                continue;
            const uint64_t limit = a.max_size > UINT64_MAX - start ? UINT64_MAX : start + a.max_size;
            parse_ctx_s ctx{src, start, limit, s.user, this};
            memo_s m{start, index, -1, s.parse(ctx)};
            const parse_result_s& r = m.result;
            const bool lost = r.outcome == verdict::invalid || !r.type;
            const uint64_t length = lost || r.length == 0 ? 0 : accepted_length(s, r, start);
            // What decides whether the scan decodes, and the decoding and
            // the search for a second piece where it does, stepping on past
            // the file as the scan will. Whether a whole file decodes is
            // asked first: that decode keeps nothing to go back to.
            if (pieces_ && s.parse == parse_jpeg && (lost || length > 0)) {
                if (!lost && r.outcome == verdict::complete) {
                    const bool clean = jpeg::ends_cleanly(src, start, length, fragments_.cluster) ||
                                       jpeg::decodes_whole(src, start, limit, fragments_.cluster);
                    m.clean = clean ? 1 : 0;
                }
                if (m.clean != 1 && jpeg_wanted()) {
                    // The run's time is the scan's to spend, in disk order; a
                    // search longer than what is left of it is the scan's
                    // to make, so none here outlasts it.
                    double left = seconds_left_seen_.load(std::memory_order_relaxed);
                    jpeg::fragment_options_s options = fragments_;
                    options.seconds_left = &left;
                    m.jpeg = jpeg::carve_jpeg(src, start, limit, options);
                    m.jpeg_known = !m.jpeg.out_of_time && !src.stopped();
                    carve_extent_s extents[2] = {};
                    int32_t count = 0;
                    if (m.jpeg_known && reported_pieces(m.jpeg, r, extents, &count)) {
                        *after = m.jpeg.extents[0].first + m.jpeg.extents[0].second;
                        memos->push_back(std::move(m));
                        return true;
                    }
                }
            }
            memos->push_back(std::move(m));
            if (length == 0)
                continue;
            *after = r.outcome == verdict::truncated ? start + 1 : start + length;
            return true;
        }
        return false;
    }

    bool starts_at(source_c& src, uint64_t offset) const override
    {
        if (offset >= src.size())
            return false;
        uint8_t head[72];
        const size_t have = static_cast<size_t>(std::min<uint64_t>(max_key_end_, src.size() - offset));
        if (!src.copy(offset, head, have))
            return false;
        for (const std::vector<size_t>* candidates : {&first_byte_[head[0]], have > 4 ? &fifth_byte_[head[4]] : nullptr}) {
            if (!candidates)
                continue;
            for (size_t index : *candidates) {
                const active_signature_s& a = active_[index];
                const signature_s& s = *a.signature;
                if (!strong_[index] || s.key_offset + s.key.size() > have || !key_matches(s, head + s.key_offset))
                    continue;
                // Without the file's own parser, a text that names "%PDF-"
                // or "true" at a sector start would be cut there. A file cut
                // by the device end may be such a stray header too.
                const uint64_t limit = a.max_size > UINT64_MAX - offset ? UINT64_MAX : offset + a.max_size;
                parse_ctx_s ctx{src, offset, limit, s.user};
                const parse_result_s r = s.parse(ctx);
                if (r.outcome == verdict::complete && r.type && r.length > 0 && accepted_length(s, r, offset) > 0)
                    return true;
            }
        }
        return false;
    }

    static bool key_matches(const signature_s& s, const uint8_t* bytes)
    {
        for (size_t k = 0; k < s.key.size(); ++k) {
            const uint8_t mask = s.mask.empty() ? 0xFF : static_cast<uint8_t>(s.mask[k]);
            if ((bytes[k] & mask) != (static_cast<uint8_t>(s.key[k]) & mask))
                return false;
        }
        return true;
    }

    lookahead_c* lookahead_ = nullptr;
    const config_s& config_;
    source_c& src_;
    carve_control_s& control_;
    carve_found_pieces_fn pieces_;
    jpeg::fragment_options_s fragments_;
    double seconds_left_ = 0;
    std::atomic<double> seconds_left_seen_{0};  // seconds_left_ as the workers see it
    std::vector<signature_s> user_signatures_;
    std::vector<active_signature_s> active_;
    std::vector<bool> strong_;  // by active signature: a strong key of a type that is not text
    std::vector<size_t> first_byte_[256];
    std::vector<size_t> fifth_byte_[256];
    bool any_[256] = {};
    std::vector<bool> pair_ = std::vector<bool>(65536, false);
    bool has_fifth_ = false;
    size_t max_key_end_ = 5;  // bytes from a start that every key lies within
    bool uniform_match_[256] = {};  // whether a key matches a run of one byte value
    uint64_t step_ = 512;
};

void lookahead_c::work(const platform::byte_source_c& device, const std::atomic<int32_t>* stop)
{
    source_c src(device, stop);
    std::vector<memo_s> memos;
    walk_s walk;
    for (;;) {
        uint64_t n = 0;
        slot_s* slot = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                changed_.wait(lock, [&] { return quit_ || (next_ < chunks_ && next_ < scan_chunk_ + slots_.size()); });
                if (quit_)
                    return;
                if (pause_->load(std::memory_order_relaxed) == 0 || stop->load(std::memory_order_relaxed) != 0)
                    break;
                // Nothing signals the end of a pause: looked at again.
                changed_.wait_for(lock, std::chrono::milliseconds(100));
            }
            n = next_++;
            slot = &slots_[n % slots_.size()];
            slot->number = n;
            slot->done = false;
            memos.swap(slot->memos);  // both keep their capacity
            walk.jumps.swap(slot->walk.jumps);
            walk.heads.swap(slot->walk.heads);
        }
        memos.clear();
        walk.clear();
        run_.judge_chunk(src, n * chunk_size, std::min((n + 1) * chunk_size, device.size()), &memos, &walk);
        std::sort(memos.begin(), memos.end(), [](const memo_s& x, const memo_s& y) {
            return x.start < y.start || (x.start == y.start && x.signature < y.signature);
        });
        {
            std::lock_guard<std::mutex> lock(mutex_);
            memos.swap(slot->memos);
            std::swap(walk, slot->walk);
            slot->done = true;
        }
        changed_.notify_all();
    }
}

}  // namespace

}  // namespace carve

int carve_run(carve_control_s* control, const char* device_path) { return carve_run_pieces(control, device_path, nullptr); }

int carve_run_pieces(carve_control_s* control, const char* device_path, carve_found_pieces_fn pieces)
{
    if (!control || !device_path)
        return -1;
    const platform::byte_source_ptr source = platform::open_byte_source(device_path, nullptr);
    if (!source)
        return -1;
    return carve_run_source(control, *source, pieces);
}

int carve_run_source(carve_control_s* control, const platform::byte_source_c& device, carve_found_pieces_fn pieces)
{
    using namespace carve;
    if (!control)
        return -1;
    const config_s config = current_config();
    source_c src(device, &control->stop);
    run_c run(config, src, *control, pieces);
    const unsigned threads = config.threads ? config.threads : std::max(1u, std::thread::hardware_concurrency());
    std::unique_ptr<lookahead_c> lookahead;
    // Byte by byte, judging ahead would cost more than it saves.
    if (threads > 1 && !config.byte_level && device.size() > lookahead_c::chunk_size) {
        // The scan itself mostly waits for the workers: one per thread.
        lookahead = std::make_unique<lookahead_c>(run, device, &control->stop, &control->pause, threads);
        run.set_lookahead(lookahead.get());
    }
    return run.run();
}

struct carve_handle_s {
    platform::byte_source_ptr device;
    uint64_t position = 0;
};

carve_handle_s* carve_open(const char* device_path)
{
    if (!device_path)
        return nullptr;
    return carve_open_source(platform::open_byte_source(device_path, nullptr));
}

carve_handle_s* carve_open_source(platform::byte_source_ptr source)
{
    if (!source)
        return nullptr;
    return new carve_handle_s{std::move(source), 0};
}

int64_t carve_seek(carve_handle_s* handle, int64_t position, int origin)
{
    if (!handle || origin != 0 || position < 0 || static_cast<uint64_t>(position) > handle->device->size())
        return -1;
    handle->position = static_cast<uint64_t>(position);
    return position;
}

int64_t carve_read(carve_handle_s* handle, void* buffer, int64_t count)
{
    if (!handle || !buffer || count < 0)
        return -1;
    const int64_t got = handle->device->read_at(handle->position, buffer, static_cast<size_t>(count));
    if (got > 0)
        handle->position += static_cast<uint64_t>(got);
    return got;
}

void carve_close(carve_handle_s* handle) { delete handle; }
