// Compound documents (doc, xls, ppt), programs (PE, ELF) and the user's own
// types from the configuration.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace carve {

namespace {
constexpr uint32_t ole_free = 0xFFFFFFFFu;
constexpr uint32_t ole_end_of_chain = 0xFFFFFFFEu;
constexpr uint32_t ole_max_regular = 0xFFFFFFFAu;

// A directory entry's name (UTF-16LE, ASCII only here) compared with text.
bool ole_name_is(const uint8_t* entry, const char* text)
{
    const size_t n = std::strlen(text);
    const uint16_t bytes = le16(entry + 64);
    if (bytes != 2 * (n + 1))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (le16(entry + 2 * i) != static_cast<uint8_t>(text[i]))
            return false;
    return true;
}
}  // namespace

// OLE2 compound file: its length is the header plus every sector up to the
// last one the allocation table marks in use; the type comes from the names
// of the streams in its directory.
parse_result_s parse_ole2(parse_ctx_s& ctx)
{
    uint8_t h[512];
    CARVE_NEED(ctx, ctx.start, 512, nullptr);
    if (!ctx.read(ctx.start, h, 512))
        return invalid();
    const uint16_t major = le16(h + 26);
    const uint16_t shift = le16(h + 30);
    if (le16(h + 28) != 0xFFFE || le16(h + 32) != 6 || le32(h + 56) != 4096)
        return invalid();
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12)))
        return invalid();
    const uint64_t sector = 1ull << shift;
    const uint32_t fat_sectors = le32(h + 44);
    const uint32_t directory = le32(h + 48);
    uint32_t difat_next = le32(h + 68);
    const uint32_t difat_count = le32(h + 72);
    if (fat_sectors == 0 || fat_sectors > (1u << 20) || difat_count > (1u << 20))
        return invalid();
    auto offset_of = [&](uint64_t s) { return ctx.start + (s + 1) * sector; };
    // Where the allocation table's sectors are: 109 in the header, the rest
    // in a chain of further sectors.
    std::vector<uint32_t> fat_at;
    for (int i = 0; i < 109 && fat_at.size() < fat_sectors; ++i)
        fat_at.push_back(le32(h + 76 + 4 * i));
    std::vector<uint8_t> buffer(sector);
    for (uint32_t hops = 0; fat_at.size() < fat_sectors; ++hops) {
        if (hops >= difat_count || difat_next > ole_max_regular)
            return invalid();
        CARVE_NEED(ctx, offset_of(difat_next), sector, nullptr);
        if (!ctx.read(offset_of(difat_next), buffer.data(), sector))
            return invalid();
        for (uint64_t i = 0; i + 1 < sector / 4 && fat_at.size() < fat_sectors; ++i)
            fat_at.push_back(le32(buffer.data() + 4 * i));
        difat_next = le32(buffer.data() + sector - 4);
    }
    std::vector<uint32_t> fat;
    fat.reserve(fat_at.size() * (sector / 4));
    for (uint32_t s : fat_at) {
        if (s > ole_max_regular)
            return invalid();
        CARVE_NEED(ctx, offset_of(s), sector, nullptr);
        if (!ctx.read(offset_of(s), buffer.data(), sector))
            return invalid();
        for (uint64_t i = 0; i < sector / 4; ++i)
            fat.push_back(le32(buffer.data() + 4 * i));
    }
    uint64_t last = 0;
    bool any = false;
    for (uint64_t i = fat.size(); i-- > 0;) {
        if (fat[i] != ole_free) {
            last = i;
            any = true;
            break;
        }
    }
    if (!any || directory >= fat.size() || fat[directory] == ole_free)
        return invalid();
    const uint64_t length = (last + 2) * sector;
    // The type: the names of the directory's entries, read along its chain.
    const char* type = "ole";
    uint32_t s = directory;
    for (int hops = 0; hops < 64 && s <= ole_max_regular && s < fat.size(); ++hops) {
        if (ctx.check(offset_of(s), sector) != room::ok || !ctx.read(offset_of(s), buffer.data(), sector))
            break;
        for (uint64_t e = 0; e + 128 <= sector; e += 128) {
            const uint8_t* entry = buffer.data() + e;
            if (ole_name_is(entry, "WordDocument"))
                type = "doc";
            else if (ole_name_is(entry, "Workbook") || ole_name_is(entry, "Book"))
                type = "xls";
            else if (ole_name_is(entry, "PowerPoint Document"))
                type = "ppt";
        }
        if (std::strcmp(type, "ole") != 0)
            break;
        s = fat[s];
        if (s == ole_end_of_chain)
            break;
    }
    CARVE_NEED(ctx, ctx.start, length, type);
    return found(length, type);
}

// PE (exe, dll): the end of the last section's raw data, of the headers, of
// the COFF symbol and string tables and of the signature, whichever is last.
parse_result_s parse_pe(parse_ctx_s& ctx)
{
    uint8_t dos[64];
    CARVE_NEED(ctx, ctx.start, 64, nullptr);
    if (!ctx.read(ctx.start, dos, 64))
        return invalid();
    const uint32_t pe = le32(dos + 60);
    if (pe < 4 || pe > 0x10000)
        return invalid();
    uint8_t c[24];
    CARVE_NEED(ctx, ctx.start + pe, 24, nullptr);
    if (!ctx.read(ctx.start + pe, c, 24) || std::memcmp(c, "PE\0\0", 4) != 0)
        return invalid();
    const uint16_t sections = le16(c + 6);
    const uint32_t symbols_at = le32(c + 12);
    const uint32_t symbols = le32(c + 16);
    const uint16_t optional_size = le16(c + 20);
    const uint16_t characteristics = le16(c + 22);
    if (sections == 0 || sections > 96 || optional_size < 96 || !(characteristics & 2))
        return invalid();
    std::vector<uint8_t> opt(optional_size);
    CARVE_NEED(ctx, ctx.start + pe + 24, optional_size, nullptr);
    if (!ctx.read(ctx.start + pe + 24, opt.data(), opt.size()))
        return invalid();
    const uint16_t magic = le16(opt.data());
    if (magic != 0x10B && magic != 0x20B)
        return invalid();
    const char* type = (characteristics & 0x2000) ? "dll" : "exe";
    uint64_t end = le32(opt.data() + 60);  // size of headers
    const size_t directories_at = magic == 0x10B ? 96 : 112;
    if (directories_at + 4 > opt.size() && magic == 0x20B)
        return invalid();
    const uint32_t directories = le32(opt.data() + directories_at - 4);
    if (directories > 4 && directories_at + 8 * 5 <= opt.size()) {
        const uint32_t certificates = le32(opt.data() + directories_at + 8 * 4);
        const uint32_t certificates_size = le32(opt.data() + directories_at + 8 * 4 + 4);
        if (certificates && certificates_size)
            end = std::max<uint64_t>(end, static_cast<uint64_t>(certificates) + certificates_size);
    }
    const uint64_t table = ctx.start + pe + 24 + optional_size;
    std::vector<uint8_t> t(40ull * sections);
    CARVE_NEED(ctx, table, t.size(), type);
    if (!ctx.read(table, t.data(), t.size()))
        return invalid();
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t* s = t.data() + 40 * i;
        const uint32_t raw_size = le32(s + 16);
        const uint32_t raw_at = le32(s + 20);
        if (raw_size && raw_at)
            end = std::max<uint64_t>(end, static_cast<uint64_t>(raw_at) + raw_size);
    }
    if (symbols_at && symbols && symbols < (1u << 24)) {
        const uint64_t strings = static_cast<uint64_t>(symbols_at) + 18ull * symbols;
        uint8_t n[4];
        if (ctx.check(ctx.start + strings, 4) == room::ok && ctx.read(ctx.start + strings, n, 4) && le32(n) >= 4)
            end = std::max<uint64_t>(end, strings + le32(n));
    }
    if (end < pe + 24 + optional_size + 40ull * sections)
        return invalid();
    CARVE_NEED(ctx, ctx.start, end, type);
    return found(end, type);
}

// ELF: the end of the headers' tables and of every section and segment that
// has bytes in the file, whichever is last.
parse_result_s parse_elf(parse_ctx_s& ctx)
{
    uint8_t h[64];
    CARVE_NEED(ctx, ctx.start, 52, nullptr);
    if (!ctx.read(ctx.start, h, 52))
        return invalid();
    const bool wide = h[4] == 2;
    const bool little = h[5] == 1;
    if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2) || h[6] != 1)
        return invalid();
    if (wide) {
        CARVE_NEED(ctx, ctx.start, 64, nullptr);
        if (!ctx.read(ctx.start, h, 64))
            return invalid();
    }
    auto u16 = [&](const uint8_t* p) { return little ? le16(p) : be16(p); };
    auto u32 = [&](const uint8_t* p) { return little ? le32(p) : be32(p); };
    auto u64 = [&](const uint8_t* p) { return little ? le64(p) : be64(p); };
    auto word = [&](const uint8_t* p) -> uint64_t { return wide ? u64(p) : u32(p); };
    const uint16_t type = u16(h + 16);
    if (type < 1 || type > 4 || u32(h + 20) != 1)
        return invalid();
    const uint64_t ph_at = word(h + (wide ? 32 : 28));
    const uint64_t sh_at = word(h + (wide ? 40 : 32));
    const size_t tail = wide ? 52 : 40;
    const uint16_t header_size = u16(h + tail);
    const uint16_t ph_size = u16(h + tail + 2);
    const uint16_t ph_count = u16(h + tail + 4);
    const uint16_t sh_size = u16(h + tail + 6);
    const uint16_t sh_count = u16(h + tail + 8);
    if (header_size != (wide ? 64 : 52))
        return invalid();
    if ((ph_count && ph_size != (wide ? 56 : 32)) || (sh_count && sh_size != (wide ? 64 : 40)))
        return invalid();
    if (ph_at > (1ull << 40) || sh_at > (1ull << 40))
        return invalid();
    uint64_t end = header_size;
    if (ph_count)
        end = std::max(end, ph_at + static_cast<uint64_t>(ph_count) * ph_size);
    if (sh_count)
        end = std::max(end, sh_at + static_cast<uint64_t>(sh_count) * sh_size);
    const char* held = "elf";
    if (ph_count) {
        std::vector<uint8_t> t(static_cast<size_t>(ph_count) * ph_size);
        CARVE_NEED(ctx, ctx.start + ph_at, t.size(), held);
        if (!ctx.read(ctx.start + ph_at, t.data(), t.size()))
            return invalid();
        for (uint16_t i = 0; i < ph_count; ++i) {
            const uint8_t* p = t.data() + static_cast<size_t>(i) * ph_size;
            const uint64_t at = wide ? u64(p + 8) : u32(p + 4);
            const uint64_t size = wide ? u64(p + 32) : u32(p + 16);
            if (at > (1ull << 40) || size > (1ull << 40))
                return invalid();
            end = std::max(end, at + size);
        }
    }
    if (sh_count) {
        std::vector<uint8_t> t(static_cast<size_t>(sh_count) * sh_size);
        CARVE_NEED(ctx, ctx.start + sh_at, t.size(), held);
        if (!ctx.read(ctx.start + sh_at, t.data(), t.size()))
            return invalid();
        for (uint16_t i = 0; i < sh_count; ++i) {
            const uint8_t* s = t.data() + static_cast<size_t>(i) * sh_size;
            if (u32(s + 4) == 8)  // no bytes in the file
                continue;
            const uint64_t at = wide ? u64(s + 24) : u32(s + 16);
            const uint64_t size = wide ? u64(s + 32) : u32(s + 20);
            if (at > (1ull << 40) || size > (1ull << 40))
                return invalid();
            end = std::max(end, at + size);
        }
    }
    CARVE_NEED(ctx, ctx.start, end, held);
    return found(end, "elf");
}

// A user type: its header (already matched), then its footer within the
// maximum size; without a footer the maximum size, cut at the device end.
parse_result_s parse_user(parse_ctx_s& ctx)
{
    const user_type_s& user = *ctx.user;
    if (user.footer.empty())
        return {ctx.limit <= ctx.device_end() ? verdict::complete : verdict::truncated,
                ctx.bound() - ctx.start, user.name.c_str()};
    const uint64_t hit =
        find_bytes(ctx.src, ctx.start + user.header.size(), ctx.bound(), user.footer.data(), user.footer.size());
    if (hit == not_found || hit == unreadable)
        return invalid();
    return found(hit + user.footer.size() - ctx.start, user.name.c_str());
}

}  // namespace carve
