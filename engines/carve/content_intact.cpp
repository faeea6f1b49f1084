// How far a file that failed its check is sound from its start, for the
// types whose structure says so at little cost: a ZIP's entries one by one
// (each one's data checked against its CRC), an ISO media file's top-level
// boxes, a PDF's objects in the order they were written. The answer is the
// start of the first part that does not hold up, so it never claims more
// than was seen whole.
#include "engines/carve/carve_internal.h"

#include <zlib.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace carve {

namespace {

// The CRC-32 of length bytes at offset as stored (method 0) or inflated
// (method 8), and whether inflating gave exactly usize bytes. False when
// the bytes cannot be read or do not inflate.
bool entry_crc(source_c& src, uint64_t offset, uint64_t length, uint16_t method, uint64_t usize, uint32_t* crc)
{
    uint32_t sum = 0;
    if (method == 0) {
        for (uint64_t done = 0; done < length;) {
            size_t avail = 0;
            const uint8_t* p = src.at(offset + done, &avail);
            if (!p)
                return false;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(avail, length - done));
            sum = crc32_of(p, n, sum);
            done += n;
        }
        *crc = sum;
        return length == usize;
    }
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    std::vector<uint8_t> out(64 * 1024);
    uint64_t produced = 0;
    int r = Z_OK;
    for (uint64_t done = 0; r == Z_OK && done < length;) {
        size_t avail = 0;
        const uint8_t* p = src.at(offset + done, &avail);
        if (!p)
            break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>({avail, length - done, uint64_t{1} << 30}));
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = static_cast<uInt>(n);
        while (r == Z_OK && z.avail_in > 0) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            r = inflate(&z, Z_NO_FLUSH);
            const size_t made = out.size() - z.avail_out;
            sum = crc32_of(out.data(), made, sum);
            produced += made;
            if (produced > usize)
                r = Z_DATA_ERROR;
        }
        done += n - z.avail_in;
    }
    // What is left in the window once the input has all gone in.
    while (r == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        r = inflate(&z, Z_FINISH);
        const size_t made = out.size() - z.avail_out;
        sum = crc32_of(out.data(), made, sum);
        produced += made;
        if (made == 0 && r != Z_STREAM_END)
            break;
    }
    inflateEnd(&z);
    *crc = sum;
    return r == Z_STREAM_END && produced == usize;
}

}  // namespace

uint64_t zip_entries_intact(source_c& src, bool* failed)
{
    *failed = false;
    uint64_t pos = 0;
    for (uint64_t entries = 0; entries < 10000000; ++entries) {
        uint8_t h[30];
        if (!src.copy(pos, h, 4) || std::memcmp(h, "PK\x03\x04", 4) != 0)
            return pos;  // the central directory, or damage: either way the entries so far held
        if (!src.copy(pos, h, 30))
            return pos;
        const uint16_t flags = le16(h + 6), method = le16(h + 8);
        const uint32_t crc = le32(h + 14);
        const uint64_t csize = le32(h + 18), usize = le32(h + 22);
        const uint64_t data = pos + 30 + le16(h + 26) + le16(h + 28);
        // Sizes after the data, encryption, zip64 or another method: nothing
        // more can be told cheaply.
        if ((flags & 8) || (flags & 1) || (method != 0 && method != 8) || csize == 0xFFFFFFFFu ||
            usize == 0xFFFFFFFFu)
            return pos;
        uint32_t sum = 0;
        if (le16(h + 26) == 0 || data + csize > src.size() || !entry_crc(src, data, csize, method, usize, &sum) ||
            sum != crc) {
            *failed = true;
            return pos;
        }
        pos = data + csize;
    }
    return pos;
}

namespace {

bool top_level_box(const uint8_t* t)
{
    for (int i = 0; i < 4; ++i)
        if (t[i] < 0x20 || t[i] > 0x7E)
            return false;
    return true;
}

// The top-level boxes by their sizes, while each has a type of four
// printable characters and fits in the file.
uint64_t isobmff_intact(source_c& src)
{
    uint64_t pos = 0;
    for (int boxes = 0; boxes < 1000000 && pos < src.size(); ++boxes) {
        uint8_t b[16];
        if (!src.copy(pos, b, 8) || !top_level_box(b + 4))
            return pos;
        uint64_t size = be32(b);
        if (size == 1) {
            if (!src.copy(pos, b, 16))
                return pos;
            size = be64(b + 8);
            if (size < 16)
                return pos;
        } else if (size == 0) {
            return src.size();  // to the end of the file
        } else if (size < 8) {
            return pos;
        }
        if (size > src.size() - pos)
            return pos;
        pos += size;
    }
    return pos;
}

bool digits_at(const std::string& s, size_t* i)
{
    const size_t from = *i;
    while (*i < s.size() && std::isdigit(static_cast<unsigned char>(s[*i])))
        ++*i;
    return *i > from;
}

// The objects in the order they were written: each "N G obj" up to its
// "endobj", a stream whose length is given directly ending where it says.
// The cross-reference section and what follows are not walked.
uint64_t pdf_intact(source_c& src)
{
    constexpr size_t head_bytes = 256;
    uint64_t pos = 0;
    // Past the header line.
    while (pos < src.size() && pos < 1024) {
        uint8_t c = 0;
        if (!src.copy(pos, &c, 1))
            return 0;
        ++pos;
        if (c == '\n' || c == '\r')
            break;
    }
    for (uint64_t objects = 0; objects < 10000000; ++objects) {
        // Blank space and comment lines (the binary marker after the header).
        for (;;) {
            uint8_t c = 0;
            if (pos >= src.size() || !src.copy(pos, &c, 1))
                return pos;
            if (c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f') {
                ++pos;
                continue;
            }
            if (c != '%')
                break;
            while (pos < src.size() && src.copy(pos, &c, 1) && c != '\n' && c != '\r')
                ++pos;
        }
        const uint64_t start = pos;
        std::string head(static_cast<size_t>(std::min<uint64_t>(head_bytes, src.size() - pos)), '\0');
        if (!src.copy(pos, head.data(), head.size()))
            return start;
        if (head.rfind("xref", 0) == 0 || head.rfind("trailer", 0) == 0 || head.rfind("startxref", 0) == 0)
            return src.size();  // the objects held up to the end's tables
        size_t i = 0;
        if (!digits_at(head, &i) || i >= head.size() || head[i++] != ' ' || !digits_at(head, &i) ||
            head.compare(i, 4, " obj") != 0)
            return start;
        const uint64_t end = find_bytes(src, pos, src.size(), "endobj", 6);
        if (end == not_found || end == unreadable)
            return start;
        // A stream's data is checked against a length given directly: bytes
        // written over it rarely keep its "endstream" where it belongs.
        const uint64_t stream = find_bytes(src, pos, end, "stream", 6);
        if (stream != not_found && stream != unreadable) {
            const std::string dictionary(head, 0, static_cast<size_t>(std::min<uint64_t>(head.size(), stream - pos)));
            const size_t at = dictionary.find("/Length ");
            size_t k = at + 8;
            if (at != std::string::npos && digits_at(dictionary, &k) &&
                !(k + 4 <= dictionary.size() && dictionary.compare(k, 2, " 0") == 0 &&
                  dictionary.find('R', k) != std::string::npos && dictionary.find('R', k) < k + 6)) {
                const uint64_t length = std::stoull(dictionary.substr(at + 8, k - at - 8));
                uint64_t data = stream + 6;
                uint8_t eol[2] = {};
                if (src.copy(data, eol, 2) && eol[0] == '\r' && eol[1] == '\n')
                    data += 2;
                else if (eol[0] == '\n' || eol[0] == '\r')
                    data += 1;
                const uint64_t close = find_bytes(src, data + length, std::min(end, data + length + 16), "endstream", 9);
                if (close == not_found || close == unreadable)
                    return start;
            }
        }
        pos = end + 6;
    }
    return pos;
}

}  // namespace

bool intact_prefix(source_c& src, parse_fn parse, uint64_t* intact)
{
    bool failed = false;
    if (parse == parse_zip)
        *intact = zip_entries_intact(src, &failed);
    else if (parse == parse_isobmff)
        *intact = isobmff_intact(src);
    else if (parse == parse_pdf)
        *intact = pdf_intact(src);
    else
        return false;
    *intact = std::min(*intact, src.size());
    return true;
}

}  // namespace carve
