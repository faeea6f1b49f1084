#include "ntfs_test_util.h"

#include "engines/ntfs/ntfs_layout.h"

#include <cstring>
#include <fstream>

namespace ntfs_test {

using namespace ntfs_engine;

found_s decode(const uint8_t* r) {
    found_s f;
    std::memcpy(&f.number, r + rec_number, 8);
    std::memcpy(&f.parent, r + rec_parent, 8);
    std::memcpy(&f.size, r + rec_size, 8);
    std::memcpy(&f.time_a, r + rec_time_a, 8);
    std::memcpy(&f.time_b, r + rec_time_b, 8);
    std::memcpy(&f.flags, r + rec_flags, 4);
    for (size_t i = 0; i < name_units; ++i) {
        char16_t u;
        std::memcpy(&u, r + rec_name + 2 * i, 2);
        if (!u)
            break;
        f.name += u;
    }
    return f;
}

int scan_all(const std::string& path, std::vector<found_s>* found, scan_stats_s* stats,
             std::vector<uint8_t>* context) {
    std::vector<uint8_t> local(context_size);
    std::vector<uint8_t>& ctx = context ? *context : local;
    ctx.assign(context_size, 0);
    const int started = ntfs_scan_startup_path(path.c_str(), ctx.data());
    if (started < 0)
        return started;
    uint8_t record[record_size];
    for (;;) {
        std::memset(record, 0, sizeof record);
        if (!ntfs_scan_next(ctx.data(), record))
            break;
        found->push_back(decode(record));
    }
    if (stats)
        *stats = ntfs_scan_stats(ctx.data());
    if (!context)
        ntfs_scan_close(ctx.data());
    return started;
}

std::string utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string path_of(const std::map<int64_t, found_s>& by_number, int64_t number) {
    std::string path;
    for (int guard = 0; guard < 64; ++guard) {
        const auto it = by_number.find(number);
        if (it == by_number.end())
            return {};
        if (number == 5)
            return path.empty() ? "/" : path;
        path = "/" + utf8(it->second.name) + path;
        number = it->second.parent;
    }
    return {};
}

bool copy_range(const std::string& image, uint64_t start, uint64_t size, const std::string& out) {
    std::ifstream in(image, std::ios::binary);
    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    if (!in || !o)
        return false;
    in.seekg(std::streamoff(start));
    std::vector<char> buf(1 << 20);
    while (size > 0) {
        const size_t take = size_t(std::min<uint64_t>(buf.size(), size));
        in.read(buf.data(), std::streamsize(take));
        if (in.gcount() != std::streamsize(take))
            return false;
        o.write(buf.data(), std::streamsize(take));
        size -= take;
    }
    return bool(o);
}

bool copy_fixture_volume(const test_support::fixture_s& f, int partition, const std::string& out) {
    for (const auto& v : test_support::entries_of(f, "volume")) {
        // volume: partition, file system, label, start, size, ...
        if (v.fields.size() >= 5 && std::stoi(v.fields[0]) == partition)
            return copy_range(f.image, std::stoull(v.fields[3]), std::stoull(v.fields[4]), out);
    }
    return false;
}

volume_file_c::volume_file_c(std::string path) : path_(std::move(path)) {
    const std::vector<uint8_t> boot = read_bytes(0, 512);
    if (boot.size() != 512)
        return;
    using namespace ntfs_layout;
    cluster_size_ = le16(&boot[boot::bytes_per_sector]) * boot[boot::sectors_per_cluster];
    const int8_t cpr = int8_t(boot[boot::clusters_per_record]);
    record_size_ = cpr > 0 ? uint32_t(cpr) * cluster_size_ : 1u << unsigned(-cpr);
    mft_offset_ = le64(&boot[boot::mft_lcn]) * cluster_size_;
    ok_ = cluster_size_ != 0 && record_size_ != 0;
}

uint64_t volume_file_c::record_offset(int64_t n) const { return mft_offset_ + uint64_t(n) * record_size_; }

std::vector<uint8_t> volume_file_c::read_record(int64_t n) const {
    std::vector<uint8_t> r = read_bytes(record_offset(n), record_size_);
    using namespace ntfs_layout;
    const uint16_t usa = le16(&r[record::usa_offset]);
    for (uint32_t i = 0; i < record_size_ / 512; ++i)
        std::memcpy(&r[(i + 1) * 512 - 2], &r[usa + 2 + 2 * i], 2);
    return r;
}

void volume_file_c::write_record(int64_t n, std::vector<uint8_t> r) {
    using namespace ntfs_layout;
    const uint16_t usa = le16(&r[record::usa_offset]);
    for (uint32_t i = 0; i < record_size_ / 512; ++i) {
        std::memcpy(&r[usa + 2 + 2 * i], &r[(i + 1) * 512 - 2], 2);
        std::memcpy(&r[(i + 1) * 512 - 2], &r[usa], 2);
    }
    write_bytes(record_offset(n), r.data(), r.size());
}

void volume_file_c::write_bytes(uint64_t offset, const void* data, size_t size) {
    std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(offset));
    f.write(static_cast<const char*>(data), std::streamsize(size));
}

std::vector<uint8_t> volume_file_c::read_bytes(uint64_t offset, size_t size) const {
    std::ifstream f(path_, std::ios::binary);
    std::vector<uint8_t> buf(size);
    f.seekg(std::streamoff(offset));
    f.read(reinterpret_cast<char*>(buf.data()), std::streamsize(size));
    buf.resize(size_t(std::max<std::streamsize>(0, f.gcount())));
    return buf;
}

size_t find_attribute(const std::vector<uint8_t>& r, uint32_t type) {
    using namespace ntfs_layout;
    size_t off = le16(&r[record::attrs_offset]);
    while (off + 8 <= r.size()) {
        const uint32_t t = le32(&r[off]);
        const uint32_t len = le32(&r[off + 4]);
        if (t == attr::type_end || len == 0)
            return 0;
        if (t == type)
            return off;
        off += len;
    }
    return 0;
}

}  // namespace ntfs_test

#include <QProcess>
#include <QStringList>
#include <cstdlib>
#include <sstream>

namespace ntfs_test {

const std::vector<std::string>* cases_s::find(const std::string& kind, const std::string& path) const {
    for (const auto& l : lines)
        if (l.size() >= 2 && l[0] == kind && l[1] == path)
            return &l;
    return nullptr;
}

namespace {

// Runs tests/ntfs/make_<base>.sh (once per build tree) and reads
// <base>.img and <base>.manifest.
bool script_fixture(const std::string& base, cases_s* out, std::string* reason) {
    // ctest sets both; a binary run by hand uses the build tree's.
    const char* source = std::getenv("QUARVEL_SOURCE_DIR");
    const char* dir = std::getenv("QUARVEL_FIXTURE_DIR");
    if (!source || !*source)
        source = QUARVEL_NTFS_SOURCE_DIR;
    if (!dir || !*dir)
        dir = QUARVEL_NTFS_FIXTURE_DIR;
    const std::string script = "make_" + base + ".sh";
    QProcess builder;
    builder.start("bash", {QString(source) + "/tests/ntfs/" + QString::fromStdString(script), QString(dir)});
    if (!builder.waitForFinished(10 * 60 * 1000)) {
        *reason = script + " did not finish";
        return false;
    }
    const std::string err = builder.readAllStandardError().toStdString();
    if (builder.exitCode() == 77) {
        *reason = err.rfind("skip:", 0) == 0 ? err : "skip: " + err;
        return false;
    }
    if (builder.exitCode() != 0) {
        *reason = script + " failed: " + err;
        return false;
    }
    out->image = std::string(dir) + "/" + base + ".img";
    std::ifstream man(std::string(dir) + "/" + base + ".manifest");
    std::string line;
    while (std::getline(man, line)) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t'))
            fields.push_back(field);
        out->lines.push_back(fields);
    }
    return !out->lines.empty() || (*reason = "empty case manifest", false);
}

}  // namespace

bool cases_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_cases", out, reason); }

bool streams_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_streams", out, reason); }

bool reuse_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_reuse", out, reason); }

bool claims_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_claims", out, reason); }

bool formatted_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_formatted", out, reason); }

bool content_fixture(cases_s* out, std::string* reason) { return script_fixture("ntfs_content", out, reason); }

}  // namespace ntfs_test
