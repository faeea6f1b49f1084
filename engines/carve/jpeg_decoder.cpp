// The checking JPEG decoder: markers, Huffman tables and coded data, as
// strict as valid files allow, so that foreign data breaks it within a few
// hundred bytes.
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace carve::jpeg {

namespace {

// Frames larger than this are not checked (the planes would outgrow the
// deep scan's memory budget); the structure walk still reports them.
constexpr uint32_t max_blocks = 4u << 20;
// Undo entries a progressive file may pile up before it is given up on.
constexpr uint64_t max_log = 16u << 20;

// Bits first..last of a block's coefficient mask; below(n): bits 0..n-1.
constexpr uint64_t below(unsigned n) { return n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1; }
constexpr uint64_t from_to(unsigned first, unsigned last) { return below(last + 1) & ~below(first); }
// Set bits, without the library call std::popcount becomes on processors
// the build cannot assume a popcount instruction on.
constexpr unsigned ones(uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}

// Where each set bit of a byte lies: which[b][n] is the place of b's n-th
// set bit (counted from 0, lowest first).
struct bit_places_s {
    std::array<std::array<uint8_t, 8>, 256> which{};
    constexpr bit_places_s()
    {
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned place = 0, n = 0; place < 8; ++place)
                if ((b >> place) & 1)
                    which[b][n++] = static_cast<uint8_t>(place);
    }
};
constexpr bit_places_s bit_places;

// The place of x's n-th set bit (from 0, lowest first), or 64 when x has n
// or fewer. Without a loop whose length depends on the data: a refinement
// scan asks this for every coefficient code, and a branch per skipped bit
// was mispredicted most of the time.
inline unsigned nth_set_bit(uint64_t x, unsigned n)
{
    uint64_t b = x - ((x >> 1) & 0x5555555555555555u);
    b = (b & 0x3333333333333333u) + ((b >> 2) & 0x3333333333333333u);
    b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    const uint64_t upto = b * 0x0101010101010101u;  // byte i: set bits in bytes 0..i (at most 64)
    // Bytes whose count so far exceeds n (no byte borrows from the next:
    // each is at least 128 before the subtraction and n + 1 is at most 64).
    const uint64_t past = ((upto | 0x8080808080808080u) - (n + 1) * 0x0101010101010101u) & 0x8080808080808080u;
    if (past == 0 || n >= 64)
        return 64;
    const unsigned byte = static_cast<unsigned>(std::countr_zero(past)) / 8;
    const unsigned before = byte ? static_cast<unsigned>(upto >> (8 * byte - 8)) & 0xFF : 0;
    return 8 * byte + bit_places.which[(x >> (8 * byte)) & 0xFF][n - before];
}

// nth_set_bit for the few zero coefficients a refinement code mostly passes
// over: the lowest set bits cleared and the one wanted picked, without the
// byte sums.
inline unsigned nth_set_bit_of_few(uint64_t x, unsigned n)
{
    if (n >= 4)
        return nth_set_bit(x, n);
    const uint64_t x1 = x & (x - 1), x2 = x1 & (x1 - 1), x3 = x2 & (x2 - 1);
    const uint64_t pick = n == 0 ? x : n == 1 ? x1 : n == 2 ? x2 : x3;
    return static_cast<unsigned>(std::countr_zero(pick));
}

int32_t extend(uint32_t value, unsigned size)
{
    return value < (1u << (size - 1)) ? static_cast<int32_t>(value) - (1 << size) + 1 : static_cast<int32_t>(value);
}

// Builds the decoding tables from a DHT's counts and symbols. Returns false
// for counts that no prefix code can have.
bool build(huffman_s& t, const uint8_t* counts, const uint8_t* symbols, unsigned total)
{
    t = huffman_s{};
    std::copy(symbols, symbols + total, t.symbols.begin());
    int32_t code = 0;
    int32_t k = 0;
    for (unsigned length = 1; length <= 16; ++length) {
        t.offset[length] = k - code;
        for (unsigned i = 0; i < counts[length - 1]; ++i) {
            if (code >= (1 << length))
                return false;  // more codes of this length than there is room for
            if (length <= 9) {
                const unsigned shift = 9 - length;
                for (unsigned fill = 0; fill < (1u << shift); ++fill)
                    t.fast[static_cast<size_t>(code) << shift | fill] =
                        static_cast<uint16_t>(length << 8 | t.symbols[static_cast<size_t>(k)]);
            }
            ++code;
            ++k;
        }
        t.max_code[length] = counts[length - 1] ? code - 1 : -1;
        if (code > (1 << length))
            return false;
        code <<= 1;
    }
    t.max_code[17] = INT32_MAX;
    for (uint32_t peek = 0; peek < t.fast_ac.size(); ++peek) {
        // The code at the front of peek, found as decode_slow finds it.
        int32_t c = 0;
        for (unsigned length = 1; length <= fast_ac_bits; ++length) {
            c = c << 1 | static_cast<int32_t>((peek >> (fast_ac_bits - length)) & 1);
            if (c > t.max_code[length])
                continue;
            const int32_t index = t.offset[length] + c;
            if (index < 0 || index >= static_cast<int32_t>(total))
                break;
            const unsigned symbol = t.symbols[static_cast<size_t>(index)];
            const unsigned run = symbol >> 4, size = symbol & 15;
            // Only codes that carry a value: end of block and runs of zeros
            // take the plain way, which judges them.
            if (size && length + size <= fast_ac_bits)
                t.fast_ac[peek] = static_cast<uint16_t>(run << 8 | size << 4 | (length + size));
            break;
        }
    }
    t.defined = true;
    return true;
}

// Which bytes count as text in coded data.
struct printable_table_s {
    std::array<uint8_t, 256> yes{};
    constexpr printable_table_s()
    {
        for (int b = 0x20; b < 0x7F; ++b)
            yes[static_cast<size_t>(b)] = 1;
        yes['\t'] = yes['\n'] = yes['\r'] = 1;
    }
};
constexpr printable_table_s printable_table;

// Eight bytes at once (byte i in bits 8i to 8i + 7): bit 8i + 7 set where
// byte i is not zero, and where printable_table counts it as text. No byte's
// sum reaches 0x100, so none carries into the next.
constexpr uint64_t high_bits = 0x8080808080808080u;
constexpr uint64_t low_bits = 0x7F7F7F7F7F7F7F7Fu;
constexpr uint64_t nonzero_bytes(uint64_t w) { return (((w & low_bits) + low_bits) | w) & high_bits; }
constexpr uint64_t bytes_equal(uint64_t w, uint8_t c)
{
    return ~nonzero_bytes(w ^ (c * 0x0101010101010101u)) & high_bits;
}
constexpr uint64_t text_bytes(uint64_t w)
{
    const uint64_t low = w & low_bits;
    const uint64_t from_space = (low + 0x6060606060606060u) & high_bits;  // low 7 bits at least 0x20
    const uint64_t text = (from_space & ~bytes_equal(low, 0x7F)) | bytes_equal(w, '\t') | bytes_equal(w, '\n') |
                          bytes_equal(w, '\r');
    return text & ~w & high_bits;  // none of 0x80 and above
}

// Every byte value, in every place of a word, flagged as the tables say.
constexpr bool flags_agree_with_tables()
{
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned at = 0; at < 64; at += 8) {
            const uint64_t w = uint64_t(b) << at | (at ? 0x41 : uint64_t(0x41) << 56);
            if (((text_bytes(w) >> (at + 7)) & 1) != printable_table.yes[b] ||
                ((nonzero_bytes(w) >> (at + 7)) & 1) != (b != 0))
                return false;
        }
    return true;
}
static_assert(flags_agree_with_tables());

}  // namespace

// ---- planes -----------------------------------------------------------------

void planes_c::reset(uint32_t blocks, bool progressive, uint32_t dc_blocks)
{
    bits_.assign(progressive ? blocks : 0, 0);
    dc_.assign(progressive ? 0 : dc_blocks, 0);
    log_.clear();
    base_ = 0;
    held_ = 0;
}

void planes_c::log(uint32_t entry)
{
    log_.push_back(entry);
}

void planes_c::undo_to(uint64_t size)
{
    while (log_size() > size && !log_.empty()) {
        const uint32_t e = log_.back();
        log_.pop_back();
        --held_;
        bits_[e >> 6] &= ~(uint64_t(1) << (e & 63));
    }
}

void planes_c::forget_before(uint64_t size)
{
    if (size <= base_)
        return;
    const uint64_t drop = std::min<uint64_t>(size - base_, held_);
    if (drop < 65536 || drop < held_ / 2)
        return;  // dropping from the front is paid for only in bulk
    if (keep_log_)
        log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(drop));
    base_ += drop;
    held_ -= static_cast<size_t>(drop);
}

// ---- bytes and bits ---------------------------------------------------------

decoder_c::decoder_c(source_c& src, planes_c& planes, uint64_t start, uint64_t limit, uint64_t cluster)
    : src_(&src), planes_(&planes), start_(start), limit_(std::min(limit, src.size())), cluster_(cluster)
{
    cur_.pos = start;
}

void decoder_c::splice(uint64_t offset)
{
    cur_.splice_at = boundary_;
    cur_.splice_to = offset;
    window_ = nullptr;
    window_left_ = 0;
}

bool decoder_c::fetch(uint8_t* b)
{
    if (window_left_ == 0) {
        if (cur_.pos == cur_.splice_at) {
            cur_.pos = cur_.splice_to;
            cur_.splice_at = UINT64_MAX;
        }
        if (cur_.pos >= limit_)
            return false;
        size_t avail = 0;
        const uint8_t* p = src_->at(cur_.pos, &avail);
        if (!p)
            return false;
        const uint64_t stop = std::min(cur_.splice_at > cur_.pos ? cur_.splice_at : UINT64_MAX, limit_);
        if (avail > stop - cur_.pos)
            avail = static_cast<size_t>(stop - cur_.pos);
        window_ = p;
        window_left_ = avail;
    }
    *b = *window_++;
    --window_left_;
    ++cur_.pos;
    return true;
}

bool decoder_c::read_raw(uint8_t* out, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (!fetch(out + i))
            return false;
    return true;
}

bool decoder_c::skip_raw(uint64_t n)
{
    while (n > 0) {
        if (window_left_ == 0) {
            uint8_t b = 0;
            if (!fetch(&b))
                return false;
            --n;
            continue;
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(window_left_, n));
        window_ += take;
        window_left_ -= take;
        cur_.pos += take;
        n -= take;
    }
    return true;
}

// Notes one coded byte. Returns false once the coded data turned into text
// or a run of zeros: a kilobyte of printable characters of many values is
// not what an encoder writes (a smooth picture's data may stay below 0x80
// for long, but repeats a pattern of few values), nor is a kilobyte of zero
// bits.
bool decoder_c::note_coded(uint8_t byte)
{
    constexpr uint32_t longest_run = longest_coded_run;
    constexpr int text_values = 20;
    // Without branches on the byte's value: coded data is noise to a
    // branch predictor.
    const uint32_t printable = printable_table.yes[byte];
    const uint64_t keep = uint64_t(0) - printable;
    cur_.text_run = (cur_.text_run + 1) * printable;
    cur_.text_values[(byte >> 6) & 1] |= uint64_t(printable) << (byte & 63);
    cur_.text_values[0] &= keep;
    cur_.text_values[1] &= keep;
    cur_.zero_run = (cur_.zero_run + 1) * static_cast<uint32_t>(byte == 0);
    if (cur_.text_run >= longest_run &&
        std::popcount(cur_.text_values[0]) + std::popcount(cur_.text_values[1]) >= text_values) [[unlikely]]
        return false;
    return cur_.zero_run < longest_run;
}

// Tops the bit buffer up to more than 56 bits, or to a marker. Returns false
// when the data ends or stops being plausible.
bool decoder_c::fill_bits()
{
    // The usual case in one go: the bytes wanted are in the window, none is
    // 0xFF, and neither run of note_coded can reach its limit among them;
    // the byte-by-byte way below reads the same bytes to the same state.
    if (!cur_.marker_seen && cur_.bit_count <= 56) {
        const unsigned n = (56 - cur_.bit_count) / 8 + 1;
        if (window_left_ >= 8 && cur_.text_run + n < longest_coded_run && cur_.zero_run + n < longest_coded_run) {
            // No 0xFF among the next 8 bytes (so none among the n), told
            // from one load; the runs are then worked out from which bytes
            // end them, not byte by byte.
            const uint64_t word = le64(window_);
            if ((((~word) - 0x0101010101010101u) & word & high_bits) == 0) {
                // Byte i's flag is bit 8i + 7: the bytes up to the last one
                // that breaks a run are bit_width / 8.
                const uint64_t wanted = n == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1;
                const uint64_t breaks_text = ~text_bytes(word) & high_bits & wanted;
                const uint64_t breaks_zero = nonzero_bytes(word) & wanted;
                unsigned from = 0;  // the bytes from here on extend the text run
                if (breaks_text == 0) {
                    cur_.text_run += n;
                } else {
                    from = static_cast<unsigned>(std::bit_width(breaks_text)) / 8;
                    cur_.text_run = n - from;
                    cur_.text_values = {};
                }
                for (unsigned i = from; i < n; ++i)
                    cur_.text_values[(window_[i] >> 6) & 1] |= uint64_t(1) << (window_[i] & 63);
                cur_.zero_run =
                    breaks_zero == 0 ? cur_.zero_run + n : n - static_cast<unsigned>(std::bit_width(breaks_zero)) / 8;
                const uint64_t fresh = be64(window_) >> (64 - 8 * n);
                cur_.bit_buffer = n == 8 ? fresh : cur_.bit_buffer << (8 * n) | fresh;
                cur_.bit_count += 8 * n;
                cur_.pos += n;
                window_ += n;
                window_left_ -= n;
                return true;
            }
        }
        if (window_left_ >= n && cur_.text_run + n < longest_coded_run && cur_.zero_run + n < longest_coded_run &&
            !std::memchr(window_, 0xFF, n)) {
            uint32_t text_run = cur_.text_run, zero_run = cur_.zero_run;
            uint64_t low = cur_.text_values[0], high = cur_.text_values[1], buffer = cur_.bit_buffer;
            for (unsigned i = 0; i < n; ++i) {
                const uint8_t b = window_[i];
                const uint32_t printable = printable_table.yes[b];
                const uint64_t keep = uint64_t(0) - printable;
                const uint64_t bit = uint64_t(printable) << (b & 63);
                const uint64_t in_high = uint64_t(0) - ((b >> 6) & 1u);
                text_run = (text_run + 1) * printable;
                low = (low | (bit & ~in_high)) & keep;
                high = (high | (bit & in_high)) & keep;
                zero_run = (zero_run + 1) * static_cast<uint32_t>(b == 0);
                buffer = buffer << 8 | b;
            }
            cur_.text_run = text_run;
            cur_.zero_run = zero_run;
            cur_.text_values = {low, high};
            cur_.bit_buffer = buffer;
            cur_.bit_count += 8 * n;
            cur_.pos += n;
            window_ += n;
            window_left_ -= n;
            return true;
        }
    }
    while (cur_.bit_count <= 56 && !cur_.marker_seen) {
        uint8_t b = 0;
        if (!fetch(&b))
            return false;
        if (b == 0xFF) {
            uint8_t next = 0;
            do {
                if (!fetch(&next))
                    return false;
            } while (next == 0xFF);
            if (next != 0) {
                cur_.marker_seen = true;
                cur_.marker = next;
                return true;
            }
        }
        if (!note_coded(b))
            return false;
        cur_.bit_buffer = cur_.bit_buffer << 8 | b;
        cur_.bit_count += 8;
    }
    return true;
}

bool decoder_c::get_bits(unsigned n, uint32_t* out)
{
    if (cur_.bit_count < n && (!fill_bits() || cur_.bit_count < n))
        return false;
    cur_.bit_count -= n;
    *out = static_cast<uint32_t>(cur_.bit_buffer >> cur_.bit_count) & ((1u << n) - 1);
    return true;
}

// The usual case without a call: a code of at most 9 bits while the buffer
// holds 16 or more, which is what decode_slow would find without refilling.
inline bool decoder_c::decode(const huffman_s& t, unsigned* symbol)
{
    if (cur_.bit_count >= 16) [[likely]] {
        const uint16_t e = t.fast[static_cast<uint32_t>(cur_.bit_buffer >> (cur_.bit_count - 9)) & 0x1FF];
        if (e) {
            cur_.bit_count -= e >> 8;
            *symbol = e & 0xFF;
            return true;
        }
    }
    return decode_slow(t, symbol);
}

// Passes over n bits as n calls of get_bit would, refills at the same
// points included, without looking at them.
inline bool decoder_c::skip_bits(unsigned n)
{
    if (n <= cur_.bit_count) [[likely]] {
        cur_.bit_count -= n;
        return true;
    }
    return skip_bits_slow(n);
}

bool decoder_c::skip_bits_slow(unsigned n)
{
    while (n > 0) {
        if (cur_.bit_count == 0 && (!fill_bits() || cur_.bit_count == 0))
            return false;
        const unsigned take = std::min(n, cur_.bit_count);
        cur_.bit_count -= take;
        n -= take;
    }
    return true;
}

bool decoder_c::decode_slow(const huffman_s& t, unsigned* symbol)
{
    if (cur_.bit_count < 16 && !fill_bits())
        return false;
    // Past a marker the code is looked up as if padded with ones, which is
    // what a valid file's last byte holds.
    uint32_t peek = 0;
    if (cur_.bit_count >= 9)
        peek = static_cast<uint32_t>(cur_.bit_buffer >> (cur_.bit_count - 9)) & 0x1FF;
    else
        peek = (static_cast<uint32_t>(cur_.bit_buffer << (9 - cur_.bit_count)) | ((1u << (9 - cur_.bit_count)) - 1)) & 0x1FF;
    const uint16_t e = t.fast[peek];
    if (e) {
        const unsigned length = e >> 8;
        if (length > cur_.bit_count)
            return false;
        cur_.bit_count -= length;
        *symbol = e & 0xFF;
        return true;
    }
    int32_t code = 0;
    for (unsigned length = 1; length <= 16; ++length) {
        if (length > cur_.bit_count)
            return false;
        code = code << 1 | static_cast<int32_t>((cur_.bit_buffer >> (cur_.bit_count - length)) & 1);
        if (code <= t.max_code[length]) {
            cur_.bit_count -= length;
            const int32_t index = t.offset[length] + code;
            if (index < 0 || index > 255)
                return false;
            *symbol = t.symbols[static_cast<size_t>(index)];
            return true;
        }
    }
    return false;
}

// ---- structure --------------------------------------------------------------

step decoder_c::run(uint64_t stop_at, std::vector<decoder_c>* snapshots, size_t keep)
{
    window_ = nullptr;
    window_left_ = 0;
    if (cur_.pos == start_ && !frame_seen_ && segments_ == 0) {
        uint8_t soi[2];
        if (!read_raw(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8)
            return step::broken;
    }
    for (;;) {
        if (!in_scan_) {
            // A cut may fall between two scans, or inside a header segment:
            // the state before the segment that crosses it is kept too.
            std::unique_ptr<decoder_c> before;
            if (snapshots) {
                cur_.log_size = planes_->log_size();
                before = std::make_unique<decoder_c>(*this);
            }
            const step s = next_segment();
            if (before)
                keep_if_crossed(*before, before->cur_, snapshots, keep);
            if (s != step::running)
                return s;
            continue;
        }
        if (skip_scan_) {
            const step s = skip_coded();
            if (s != step::running)
                return s;
            continue;
        }
        if (cur_.mcu == mcus_total_) {
            const step s = end_of_scan();
            if (s != step::running)
                return s;
            continue;
        }
        if (cur_.pos >= stop_at)
            return step::running;
        if (frame_.progressive) {
            if (planes_->log_held() > max_log)
                return step::unsupported;
            cur_.log_size = planes_->log_size();
        }
        const cursor_s before = cur_;
        const bool decoded = decode_mcu();
        // A cut inside this MCU? (Also when the MCU broke: foreign data
        // often begins right at the cut.)
        if (snapshots)
            keep_if_crossed(*this, before, snapshots, keep);
        if (!decoded)
            return step::broken;
    }
}

void decoder_c::keep_if_crossed(const decoder_c& state, const cursor_s& before, std::vector<decoder_c>* snapshots,
                                size_t keep)
{
    // The first boundary at or after where the step began.
    const uint64_t into = before.pos - start_;
    const uint64_t boundary = start_ + (into + cluster_ - 1) / cluster_ * cluster_;
    if (boundary >= cur_.pos || boundary <= start_ || before.splice_at != UINT64_MAX)
        return;
    if (snapshots->size() >= keep && !snapshots->empty())
        snapshots->erase(snapshots->begin());
    snapshots->push_back(state);
    decoder_c& s = snapshots->back();
    s.cur_ = before;
    s.boundary_ = boundary;
    s.window_ = nullptr;
    s.window_left_ = 0;
    planes_->forget_before(snapshots->front().cur_.log_size);
}

step decoder_c::next_segment()
{
    if (++segments_ > 100000)
        return step::broken;
    uint8_t marker = 0;
    if (cur_.marker_seen) {
        marker = cur_.marker;
        cur_.marker_seen = false;
    } else {
        uint8_t m[2];
        if (!read_raw(m, 2) || m[0] != 0xFF)
            return step::broken;
        marker = m[1];
        while (marker == 0xFF)
            if (!fetch(&marker))
                return step::broken;
    }
    if (marker == 0xD9)
        return frame_seen_ && scan_seen_ ? (end_ = cur_.pos, step::finished) : step::broken;
    if (marker < 0xC0 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7))
        return step::broken;
    uint8_t l[2];
    if (!read_raw(l, 2))
        return step::broken;
    const uint16_t length = be16(l);
    if (length < 2)
        return step::broken;
    switch (marker) {
    case 0xC0: case 0xC1: case 0xC2:
        return read_frame(marker, length);
    case 0xC3: case 0xC5: case 0xC6: case 0xC7: case 0xC9: case 0xCA: case 0xCB:
    case 0xCD: case 0xCE: case 0xCF: case 0xCC: case 0xDC:
        return step::unsupported;  // lossless, hierarchical, arithmetic, DNL
    case 0xC4:
        return read_huffman(length);
    case 0xDA:
        return read_scan(length);
    case 0xDD: {
        uint8_t r[2];
        if (length != 4 || !read_raw(r, 2))
            return step::broken;
        restart_interval_ = be16(r);
        return step::running;
    }
    default:
        return skip_raw(length - 2u) ? step::running : step::broken;
    }
}

step decoder_c::read_frame(uint8_t marker, uint16_t length)
{
    uint8_t f[6 + 3 * 4];
    if (frame_seen_ || length < 8 || length > 2 + sizeof f || !read_raw(f, length - 2u))
        return step::broken;
    if (f[0] != 8)
        return step::unsupported;  // 12-bit samples
    frame_ = frame_s{};
    frame_.progressive = marker == 0xC2;
    frame_.height = be16(f + 1);
    frame_.width = be16(f + 3);
    frame_.count = f[5];
    if (frame_.height == 0)
        return step::unsupported;  // height given later by a DNL marker
    if (frame_.width == 0 || frame_.count == 0 || frame_.count > 4 || length != 8 + 3 * frame_.count)
        return step::broken;
    for (unsigned i = 0; i < frame_.count; ++i) {
        component_s& c = frame_.components[i];
        c.id = f[6 + 3 * i];
        c.h = f[7 + 3 * i] >> 4;
        c.v = f[7 + 3 * i] & 15;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || f[8 + 3 * i] > 3)
            return step::broken;
        for (unsigned j = 0; j < i; ++j)
            if (frame_.components[j].id == c.id)
                return step::broken;
        frame_.h_max = std::max(frame_.h_max, c.h);
        frame_.v_max = std::max(frame_.v_max, c.v);
    }
    frame_.mcus_wide = (frame_.width + 8u * frame_.h_max - 1) / (8u * frame_.h_max);
    frame_.mcus_high = (frame_.height + 8u * frame_.v_max - 1) / (8u * frame_.v_max);
    uint64_t blocks = 0;
    for (unsigned i = 0; i < frame_.count; ++i) {
        component_s& c = frame_.components[i];
        const uint64_t w = (static_cast<uint64_t>(frame_.width) * c.h + frame_.h_max - 1) / frame_.h_max;
        const uint64_t h = (static_cast<uint64_t>(frame_.height) * c.v + frame_.v_max - 1) / frame_.v_max;
        c.blocks_wide = static_cast<uint32_t>((w + 7) / 8);
        c.blocks_high = static_cast<uint32_t>((h + 7) / 8);
        c.first_block = static_cast<uint32_t>(blocks);
        blocks += static_cast<uint64_t>(c.blocks_wide) * c.blocks_high;
    }
    const uint64_t dc_blocks = static_cast<uint64_t>(frame_.mcus_wide) * frame_.mcus_high *
                               frame_.components[0].h * frame_.components[0].v;
    if (blocks > max_blocks || dc_blocks > max_blocks)
        return step::unsupported;
    frame_.blocks = static_cast<uint32_t>(blocks);
    planes_->reset(frame_.blocks, frame_.progressive, static_cast<uint32_t>(dc_blocks));
    frame_seen_ = true;
    return step::running;
}

step decoder_c::read_huffman(uint16_t length)
{
    uint64_t left = length - 2u;
    auto tables = std::make_shared<tables_s>(tables_ ? *tables_ : tables_s{});
    while (left > 0) {
        uint8_t head[17];
        if (left < 17 || !read_raw(head, 17))
            return step::broken;
        left -= 17;
        const unsigned table_class = head[0] >> 4;
        const unsigned slot = head[0] & 15;
        if (table_class > 1 || slot > 3)
            return step::broken;
        unsigned total = 0;
        for (unsigned i = 1; i <= 16; ++i)
            total += head[i];
        uint8_t symbols[256];
        if (total == 0 || total > 256 || total > left || !read_raw(symbols, total))
            return step::broken;
        left -= total;
        if (!build(tables->huffman[table_class * 4 + slot], head + 1, symbols, total))
            return step::broken;
    }
    tables_ = std::move(tables);
    return step::running;
}

step decoder_c::read_scan(uint16_t length)
{
    uint8_t s[1 + 2 * 4 + 3];
    if (!frame_seen_ || length < 8 || length > 2 + sizeof s || !read_raw(s, length - 2u))
        return step::broken;
    const unsigned n = s[0];
    if (n < 1 || n > frame_.count || length != 6 + 2 * n)
        return step::broken;
    scan_count_ = static_cast<uint8_t>(n);
    unsigned blocks_per_mcu = 0;
    for (unsigned i = 0; i < n; ++i) {
        unsigned index = frame_.count;
        for (unsigned c = 0; c < frame_.count; ++c)
            if (frame_.components[c].id == s[1 + 2 * i])
                index = c;
        if (index == frame_.count)
            return step::broken;
        for (unsigned j = 0; j < i; ++j)
            if (scan_components_[j] == index)
                return step::broken;
        scan_components_[i] = static_cast<uint8_t>(index);
        dc_table_[i] = s[2 + 2 * i] >> 4;
        ac_table_[i] = s[2 + 2 * i] & 15;
        if (dc_table_[i] > 3 || ac_table_[i] > 3)
            return step::broken;
        blocks_per_mcu += frame_.components[index].h * frame_.components[index].v;
    }
    ss_ = s[1 + 2 * n];
    se_ = s[2 + 2 * n];
    ah_ = s[3 + 2 * n] >> 4;
    al_ = s[3 + 2 * n] & 15;
    if (n > 1 && blocks_per_mcu > 10)
        return step::broken;
    if (!frame_.progressive) {
        if (ss_ != 0 || se_ != 63 || ah_ != 0 || al_ != 0)
            return step::broken;
    } else if (ss_ == 0 ? se_ != 0 : (se_ < ss_ || se_ > 63 || n != 1)) {
        return step::broken;
    } else if (al_ > 13 || ah_ > 13) {
        return step::broken;
    }
    // The tables the scan will use must exist.
    for (unsigned i = 0; i < n; ++i) {
        const bool needs_dc = !frame_.progressive || (ss_ == 0 && ah_ == 0);
        const bool needs_ac = !frame_.progressive || ss_ > 0;
        if ((needs_dc && (!tables_ || !tables_->huffman[dc_table_[i]].defined)) ||
            (needs_ac && (!tables_ || !tables_->huffman[4 + ac_table_[i]].defined)))
            return step::unsupported;  // default tables (motion JPEG) are not carried
    }
    if (n == 1) {
        const component_s& c = frame_.components[scan_components_[0]];
        mcus_total_ = static_cast<uint64_t>(c.blocks_wide) * c.blocks_high;
        mcus_per_row_ = c.blocks_wide;
        dc_blocks_per_mcu_ = 1;
    } else {
        mcus_total_ = static_cast<uint64_t>(frame_.mcus_wide) * frame_.mcus_high;
        mcus_per_row_ = frame_.mcus_wide;
        dc_blocks_per_mcu_ = static_cast<uint32_t>(frame_.components[0].h) * frame_.components[0].v;
    }
    seam_scan_ = !frame_.progressive && scan_components_[0] == 0;
    cur_.mcu = 0;
    cur_.dc_pred = {};
    cur_.eob_run = 0;
    cur_.restarts_left = restart_interval_;
    cur_.next_restart = 0;
    cur_.bit_count = 0;
    cur_.marker_seen = false;
    cur_.text_run = 0;
    cur_.text_values = {};
    cur_.zero_run = 0;
    in_scan_ = true;
    scan_seen_ = true;
    skip_scan_ = only_scan_at_ != UINT64_MAX && cur_.pos != only_scan_at_ &&
                 !(only_ac_of_ >= 0 && n == 1 && ss_ > 0 && frame_.components[scan_components_[0]].id == only_ac_of_);
    return step::running;
}

// Passes over a scan's coded data to the marker after it.
step decoder_c::skip_coded()
{
    for (;;) {
        uint8_t b = 0;
        if (window_left_ > 0) {
            const void* ff = std::memchr(window_, 0xFF, window_left_);
            const size_t n = ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - window_) : window_left_;
            window_ += n;
            window_left_ -= n;
            cur_.pos += n;
            if (!ff)
                continue;
        }
        if (!fetch(&b))
            return step::broken;
        if (b != 0xFF)
            continue;
        uint8_t next = 0;
        do {
            if (!fetch(&next))
                return step::broken;
        } while (next == 0xFF);
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7))
            continue;
        cur_.marker_seen = true;
        cur_.marker = next;
        cur_.bit_count = 0;
        in_scan_ = false;
        skip_scan_ = false;
        return step::running;
    }
}

// The coded data of a scan ends with fewer than 8 bits of ones, then a
// marker.
step decoder_c::end_of_scan()
{
    if (!cur_.marker_seen && !fill_bits())
        return step::broken;
    if (!cur_.marker_seen || cur_.bit_count >= 8 || (cur_.bit_buffer & ((uint64_t(1) << cur_.bit_count) - 1)) !=
                                                        (uint64_t(1) << cur_.bit_count) - 1)
        return step::broken;
    if (cur_.marker >= 0xD0 && cur_.marker <= 0xD7)
        return step::broken;
    cur_.bit_count = 0;
    in_scan_ = false;
    return step::running;
}

bool decoder_c::restart()
{
    if (!cur_.marker_seen && !fill_bits())
        return false;
    if (!cur_.marker_seen || cur_.bit_count >= 8 || cur_.marker != 0xD0 + cur_.next_restart ||
        (cur_.bit_buffer & ((uint64_t(1) << cur_.bit_count) - 1)) != (uint64_t(1) << cur_.bit_count) - 1)
        return false;
    cur_.next_restart = (cur_.next_restart + 1) & 7;
    cur_.marker_seen = false;
    cur_.bit_count = 0;
    cur_.dc_pred = {};
    cur_.eob_run = 0;
    cur_.restarts_left = restart_interval_;
    return true;
}

bool decoder_c::resume_after_restart(uint64_t at, uint64_t restarts)
{
    if (!in_scan_ || frame_.progressive || restart_interval_ == 0 || cur_.mcu != 0 || cur_.marker_seen ||
        restarts == 0 || mcus_total_ == 0 || restarts > (mcus_total_ - 1) / restart_interval_ || at < cur_.pos + 2 || at > limit_ ||
        cur_.splice_at != UINT64_MAX)
        return false;
    const uint64_t scan_at = cur_.pos;
    uint8_t m[2];
    if (!src_->copy(at - 2, m, 2) || m[0] != 0xFF || m[1] != 0xD0 + ((restarts - 1) & 7))
        return false;
    cur_.pos = scan_at;
    if (!runs_before(at - 2))
        return false;
    cur_.pos = at;
    cur_.mcu = restarts * restart_interval_;
    cur_.restarts_left = restart_interval_;
    cur_.next_restart = static_cast<uint8_t>(restarts & 7);
    cur_.dc_pred = {};
    cur_.eob_run = 0;
    cur_.bit_buffer = 0;
    cur_.bit_count = 0;
    window_ = nullptr;
    window_left_ = 0;
    return true;
}

// Sets the runs note_coded counts to what they are at the marker at offset
// marker, from the coded bytes before it (cur_.pos: where the scan's coded
// data begins). The bytes are read from the last one that ends both runs,
// at most a run's length back; false when none does, or when the bytes
// read cannot be placed in the stream (a fill byte).
bool decoder_c::runs_before(uint64_t marker)
{
    constexpr size_t window = 1100;
    uint8_t d[window];
    const uint64_t from = std::max(cur_.pos, marker > window ? marker - window : 0);
    const size_t n = static_cast<size_t>(marker - from);
    if (!src_->copy(from, d, n))
        return false;
    // The last noted byte neither printable nor zero: 0xFF of a stuffed
    // pair, or a byte of 0x80 and above other than a marker's second.
    size_t i = n;
    for (;;) {
        if (i == 0)
            return false;
        --i;
        const uint8_t b = d[i];
        if (i == 0 && from > cur_.pos)
            return false;  // what stands before it is not known
        const bool after_ff = i > 0 && d[i - 1] == 0xFF;
        if (b == 0xFF)
            return false;  // a fill byte: the backward reading has lost its place
        if (after_ff) {
            if (b == 0x00)
                break;  // the 0xFF before it is noted
            if (b >= 0xD0 && b <= 0xD7) {
                if (i == 0)
                    return false;
                --i;
                continue;
            }
            return false;  // no other marker lies inside a scan's coded data
        }
        if (b >= 0x80)
            break;
        if (!printable_table.yes[b] && b != 0)
            break;
    }
    cur_.text_run = 0;
    cur_.text_values = {};
    cur_.zero_run = 0;
    for (size_t k = i + 1; k < n; ++k) {
        if (d[k] == 0xFF && k + 1 < n && d[k + 1] != 0x00) {
            ++k;  // a restart marker: the runs go on past it
            continue;
        }
        if (!note_coded(d[k]))
            return false;
        if (d[k] == 0xFF)
            ++k;  // its stuffed zero
    }
    return true;
}

// ---- MCUs -------------------------------------------------------------------

bool decoder_c::decode_mcu()
{
    if (restart_interval_) {
        if (cur_.restarts_left == 0 && !restart())
            return false;
        --cur_.restarts_left;
    }
    const uint64_t mcu = cur_.mcu++;
    if (scan_count_ == 1) {
        const unsigned c = scan_components_[0];
        const uint32_t block = frame_.components[c].first_block + static_cast<uint32_t>(mcu);
        if (!frame_.progressive)
            return decode_baseline(0, mcu);
        if (ss_ == 0) {
            uint32_t bit = 0;
            return ah_ == 0 ? decode_dc(0) : get_bit(&bit);
        }
        return ah_ == 0 ? decode_ac_first(block) : decode_ac_refine(block);
    }
    for (unsigned i = 0; i < scan_count_; ++i) {
        const component_s& c = frame_.components[scan_components_[i]];
        const unsigned blocks = static_cast<unsigned>(c.h) * c.v;
        for (unsigned b = 0; b < blocks; ++b) {
            bool ok = true;
            uint32_t bit = 0;
            if (!frame_.progressive)
                ok = decode_baseline(i, mcu * dc_blocks_per_mcu_ + b);
            else if (ah_ == 0)
                ok = decode_dc(i);
            else
                ok = get_bit(&bit);
            if (!ok)
                return false;
        }
    }
    return true;
}

bool decoder_c::decode_baseline(unsigned i, size_t dc_index)
{
    if (!decode_dc(i))
        return false;
    if (i == 0 && seam_scan_)
        planes_->set_dc(dc_index, static_cast<int16_t>(std::clamp(cur_.dc_pred[i], -32768, 32767)));
    const huffman_s& ac = tables_->huffman[4 + ac_table_[i]];
    unsigned s = 0;
    uint32_t v = 0;
    for (unsigned k = 1; k < 64;) {
        // A code and its value in one look-up while the buffer holds them
        // (what decode and get_bits would do, without their refills); the
        // bit count kept in a register meanwhile, as this is the loop the
        // time goes to.
        unsigned count = cur_.bit_count;
        const uint64_t buffer = cur_.bit_buffer;
        while (count >= 16) {
            const unsigned e =
                ac.fast_ac[static_cast<uint32_t>(buffer >> (count - fast_ac_bits)) & ((1u << fast_ac_bits) - 1)];
            if (!e)
                break;
            count -= e & 15;
            k += (e >> 8) + 1;
            if (k >= 64)
                break;
        }
        cur_.bit_count = count;
        if (k > 64)
            return false;
        if (k == 64)
            return true;
        if (!decode(ac, &s))
            return false;
        const unsigned r = s >> 4;
        s &= 15;
        if (s) {
            k += r;
            if (k > 63 || s > 10 || !get_bits(s, &v))
                return false;
            ++k;
        } else if (r == 15) {
            k += 16;
            if (k > 64)
                return false;
        } else {
            return r == 0;  // end of block; other runs without a value are not codes
        }
    }
    return true;
}

bool decoder_c::decode_dc(unsigned i)
{
    unsigned s = 0;
    uint32_t v = 0;
    if (!decode(tables_->huffman[dc_table_[i]], &s) || s > 11 || (s && !get_bits(s, &v)))
        return false;
    cur_.dc_pred[i] += s ? extend(v, s) : 0;
    return true;
}

bool decoder_c::decode_ac_first(uint32_t block)
{
    if (cur_.eob_run > 0) {
        --cur_.eob_run;
        return true;
    }
    const huffman_s& ac = tables_->huffman[4 + ac_table_[0]];
    for (unsigned k = ss_; k <= se_; ++k) {
        unsigned s = 0;
        uint32_t v = 0;
        if (!decode(ac, &s))
            return false;
        const unsigned r = s >> 4;
        s &= 15;
        if (s) {
            k += r;
            if (k > se_ || s > 10 || !get_bits(s, &v))
                return false;
            planes_->set_nonzero(block, k);
        } else if (r == 15) {
            k += 15;
            if (k >= se_)
                return false;
        } else {
            cur_.eob_run = 1u << r;
            if (r) {
                if (!get_bits(r, &v))
                    return false;
                cur_.eob_run += v;
            }
            --cur_.eob_run;
            return true;
        }
    }
    return true;
}

bool decoder_c::decode_ac_refine(uint32_t block)
{
    const huffman_s& ac = tables_->huffman[4 + ac_table_[0]];
    unsigned k = ss_;
    uint32_t bit = 0;
    if (cur_.eob_run == 0) {
        for (; k <= se_; ++k) {
            unsigned s = 0;
            if (!decode(ac, &s))
                return false;
            unsigned r = s >> 4;
            s &= 15;
            if (s) {
                if (s != 1 || !get_bit(&bit))
                    return false;
            } else if (r != 15) {
                cur_.eob_run = 1u << r;
                if (r) {
                    uint32_t v = 0;
                    if (!get_bits(r, &v))
                        return false;
                    cur_.eob_run += v;
                }
                break;
            }
            // Past r coefficients that are still zero, to the next zero
            // one; the ones already non-zero each carry a correction bit.
            // Between k and that one lie the r zero ones and the rest are
            // non-zero, so their bits are counted only when none is found.
            const uint64_t zero = ~planes_->nonzero_bits(block) & from_to(k, se_);
            const unsigned place = nth_set_bit_of_few(zero, r);
            const unsigned to = place < 64 ? place : se_ + 1u;
            const unsigned corrections =
                place < 64 ? place - k - r : ones(planes_->nonzero_bits(block) & from_to(k, se_));
            if (!skip_bits(corrections))
                return false;
            k = to;
            if (s) {
                if (k > se_)
                    return false;
                planes_->set_nonzero(block, k);
            }
        }
    }
    if (cur_.eob_run > 0) {
        if (k <= se_ && !skip_bits(ones(planes_->nonzero_bits(block) & from_to(k, se_))))
            return false;
        --cur_.eob_run;
    }
    return true;
}

// ---- seams ------------------------------------------------------------------

bool decoder_c::seam_row_done(uint64_t mcu_from) const
{
    return !seam_scan_ || !in_scan_ || cur_.mcu >= mcu_from + mcus_per_row_;
}

double decoder_c::seam_score(uint64_t mcu_from) const
{
    if (frame_.progressive || !seam_scan_ || mcus_per_row_ == 0)
        return -1;
    const uint64_t row = mcus_per_row_;
    const unsigned h = scan_count_ > 1 ? frame_.components[0].h : 1;
    const unsigned v = scan_count_ > 1 ? frame_.components[0].v : 1;
    const uint64_t to = std::min<uint64_t>(cur_.mcu, mcu_from + row);
    double sum = 0;
    uint64_t count = 0;
    for (uint64_t m = std::max<uint64_t>(mcu_from, row); m < to; ++m) {
        for (unsigned i = 0; i < h; ++i) {
            const size_t top = m * dc_blocks_per_mcu_ + i;
            const size_t above = (m - row) * dc_blocks_per_mcu_ + (v - 1) * h + i;
            sum += std::abs(planes_->dc(top) - planes_->dc(above));
            ++count;
        }
    }
    return count ? sum / static_cast<double>(count) : -1;
}

}  // namespace carve::jpeg
