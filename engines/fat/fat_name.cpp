#include "engines/fat/fat_name.h"

#include <QChar>
#include <array>
#include <iconv.h>
#include <memory>
#include <mutex>

namespace {

// Both directions as flat tables built once from iconv, so lookups need no
// lock and the iconv handles are never shared between threads.
struct code_page_tables_s {
    std::array<char16_t, 65536> to_unicode{};
    std::array<uint16_t, 65536> to_oem{};
};

// Converts in (len bytes) with cd; returns the bytes produced or 0.
size_t convert(iconv_t cd, const char* in, size_t len, char* out, size_t out_len)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    char* dst = out;
    size_t src_left = len;
    size_t dst_left = out_len;
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) || src_left != 0)
        return 0;
    return out_len - dst_left;
}

const code_page_tables_s& tables()
{
    static std::unique_ptr<code_page_tables_s> built;
    static std::once_flag once;
    std::call_once(once, [] {
        built = std::make_unique<code_page_tables_s>();
        auto& t = *built;
        for (unsigned c = 0; c < 0x80; ++c) {
            t.to_unicode[c] = static_cast<char16_t>(c);
            t.to_oem[c] = static_cast<uint16_t>(c);
        }
        iconv_t from = iconv_open("UTF-16LE", "CP936");
        iconv_t to = iconv_open("CP936", "UTF-16LE");
        if (from != reinterpret_cast<iconv_t>(-1)) {
            char out[8];
            for (unsigned c = 0x80; c <= 0xFF; ++c) {
                const char in[1] = {static_cast<char>(c)};
                if (convert(from, in, 1, out, sizeof out) == 2)
                    t.to_unicode[c] = static_cast<char16_t>(uint8_t(out[0]) | uint8_t(out[1]) << 8);
            }
            for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
                for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
                    if (trail == 0x7F)
                        continue;
                    const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                    if (convert(from, in, 2, out, sizeof out) == 2)
                        t.to_unicode[lead << 8 | trail] =
                            static_cast<char16_t>(uint8_t(out[0]) | uint8_t(out[1]) << 8);
                }
            }
            iconv_close(from);
        }
        if (to != reinterpret_cast<iconv_t>(-1)) {
            char out[8];
            for (unsigned u = 0x80; u <= 0xFFFF; ++u) {
                if (u >= 0xD800 && u <= 0xDFFF)
                    continue;
                const char in[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
                const size_t n = convert(to, in, 2, out, sizeof out);
                if (n == 1)
                    t.to_oem[u] = uint8_t(out[0]);
                else if (n == 2)
                    t.to_oem[u] = static_cast<uint16_t>(uint8_t(out[0]) << 8 | uint8_t(out[1]));
            }
            iconv_close(to);
        }
    });
    return *built;
}

bool is_lead_byte(uint8_t b) { return b >= 0x81 && b <= 0xFE; }
bool is_trail_byte(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }

}  // namespace

char16_t oem_to_unicode(uint16_t code) { return tables().to_unicode[code]; }

uint16_t unicode_to_oem(char16_t unit) { return tables().to_oem[unit]; }

void fat_short_name_to_utf16(const uint8_t name[11], uint8_t case_flags, char16_t out[13])
{
    // Bytes of the name part (stopping at a space), then "." and the extension.
    uint8_t bytes[12];
    int n = 0;
    for (int i = 0; i < 8 && name[i] != ' '; ++i)
        bytes[n++] = name[i];
    const int name_end = n;
    if (name[8] != ' ') {
        bytes[n++] = '.';
        for (int i = 8; i < 11 && name[i] != ' '; ++i)
            bytes[n++] = name[i];
    }
    // A deleted entry's first byte is the mark, not a character: it pairs
    // with the next byte only when that byte cannot be ASCII (a lead byte's
    // trail at 0x80 and up), so "\xE5SC_0001JPG" keeps its "SC_0001".
    const bool deletion_mark = n > 0 && bytes[0] == 0xE5;
    if (n > 0 && bytes[0] == 0x05)
        bytes[0] = 0xE5;

    int o = 0;
    for (int i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (b >= 'A' && b <= 'Z' && (case_flags & (i < name_end ? 0x08 : 0x10)))
            b = static_cast<uint8_t>(b + ('a' - 'A'));
        if (b < 0x80) {
            out[o++] = b;
            continue;
        }
        uint16_t code = b;
        const bool pairs = is_lead_byte(b) && i + 1 < n && is_trail_byte(bytes[i + 1]) &&
                           !(i == 0 && deletion_mark && bytes[1] < 0x80);
        if (pairs)
            code = static_cast<uint16_t>(b << 8 | bytes[++i]);
        const char16_t u = oem_to_unicode(code);
        out[o++] = u ? u : u'?';
    }
    out[o] = 0;
}

uint8_t fat_short_name_checksum(const uint8_t name[11])
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

char16_t fat_upper(char16_t unit)
{
    return static_cast<char16_t>(QChar(unit).toUpper().unicode());
}

bool fat_valid_short_name_byte(uint8_t byte)
{
    if (byte >= 0x80)
        return byte != 0xE5;
    if ((byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9'))
        return true;
    for (const char c : "!#$%&'()-@^_`{}~")
        if (c && byte == static_cast<uint8_t>(c))
            return true;
    return byte == 0x05;
}
