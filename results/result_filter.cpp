#include "results/result_filter.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace {

struct group_row_s {
    file_group_e group;
    const char* word;
    const char* key;
    std::vector<const char*> extensions;
};

// The one table of extension groups. Deep-scan type names (jpg, docx, ...)
// are extensions too, so a deep scan's folders fall into the same groups.
const std::vector<group_row_s>& group_table()
{
    static const std::vector<group_row_s> table = {
        {file_group_e::all, "all", "filter_type_all", {}},
        {file_group_e::pictures, "pictures", "filter_type_pictures",
         {"jpg", "jpeg", "jpe", "jfif", "png", "gif", "bmp", "tif", "tiff", "webp", "heic", "heif", "avif", "psd",
          "svg", "ico", "cur", "icns", "jp2", "j2k", "jxl", "emf", "wmf", "raw", "cr2", "cr3", "crw", "nef", "nrw",
          "arw", "srf", "sr2", "dng", "orf", "rw2", "raf", "pef", "x3f", "srw", "xcf", "pcx", "tga"}},
        {file_group_e::documents, "documents", "filter_type_documents",
         {"pdf", "doc", "docx", "docm", "dot", "dotx", "xls", "xlsx", "xlsm", "ppt", "pptx", "pps", "ppsx", "odt",
          "ods", "odp", "odg", "vsd", "vsdx", "rtf", "tex", "epub", "mobi", "djvu", "xps", "chm", "pages", "numbers",
          "key", "wpd", "wps", "ole"}},
        {file_group_e::audio, "audio", "filter_type_audio",
         {"mp3", "wav", "flac", "ogg", "oga", "opus", "m4a", "aac", "ac3", "wma", "aif", "aiff", "mid", "midi", "amr",
          "ape", "wv", "ra", "au"}},
        {file_group_e::video, "video", "filter_type_video",
         {"mp4", "m4v", "mov", "avi", "mkv", "wmv", "mpg", "mpeg", "m2v", "3gp", "3g2", "webm", "flv", "f4v", "swf",
          "mts", "m2ts", "ts", "vob", "ogv", "asf", "rm", "rmvb", "dv"}},
        {file_group_e::archives, "archives", "filter_type_archives",
         {"zip", "rar", "7z", "gz", "tgz", "bz2", "tbz2", "xz", "txz", "zst", "lz", "lzma", "tar", "cab", "iso", "jar",
          "apk", "ipa", "arj", "lzh", "z", "cpio", "deb", "rpm", "dmg"}},
        {file_group_e::mail, "mail", "filter_type_mail",
         {"eml", "emlx", "msg", "mbox", "mbx", "pst", "ost", "dbx", "vcf", "ics"}},
        {file_group_e::fonts, "fonts", "filter_type_fonts",
         {"ttf", "otf", "ttc", "woff", "woff2", "eot", "pfb", "pfm", "afm", "fon", "fnt"}},
        // Text people write or programs keep; ts stays video (MPEG streams
        // are far commoner on a card than TypeScript).
        {file_group_e::text, "text", "filter_type_text",
         {"txt", "csv", "tsv", "md", "log", "ini", "cfg", "conf", "nfo", "srt", "htm", "html", "xml", "json", "yaml",
          "yml", "toml", "css", "js", "c", "h", "cc", "cpp", "hpp", "cs", "java", "py", "sh", "bash", "pl", "rb",
          "php", "sql"}},
        {file_group_e::other, "other", "filter_type_other", {}},
    };
    return table;
}

// An extension of one to eight ASCII characters as a number, lower case;
// 0 for any other.
template <typename Text>
uint64_t extension_key(Text text)
{
    if (text.size() == 0 || text.size() > 8)
        return 0;
    uint64_t key = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = char16_t(QChar(text[i]).unicode());
        if (c >= 0x80 || c == 0)
            return 0;
        key = key << 8 | uint8_t(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    return key;
}

inline char16_t fold(char16_t c)
{
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? char16_t(c + 32) : c;
    return QChar(c).toCaseFolded().unicode();
}

bool contains_folded(QStringView name, const std::u16string& pattern)
{
    const qsizetype n = name.size();
    const qsizetype m = qsizetype(pattern.size());
    if (m == 0)
        return true;
    const char16_t first = pattern[0];
    for (qsizetype i = 0; i + m <= n; ++i) {
        if (fold(name[i].unicode()) != first)
            continue;
        qsizetype k = 1;
        while (k < m && fold(name[i + k].unicode()) == pattern[size_t(k)])
            ++k;
        if (k == m)
            return true;
    }
    return false;
}

// * and ? over the whole name; the last * met is the only point to go back
// to, so the match is linear in practice and never recursive.
bool wildcard_folded(QStringView name, const std::u16string& pattern)
{
    size_t p = 0, star = std::u16string::npos;
    qsizetype i = 0, star_at = 0;
    while (i < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            star_at = i;
        } else if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == fold(name[i].unicode()))) {
            ++p;
            ++i;
        } else if (star != std::u16string::npos) {
            p = star + 1;
            i = ++star_at;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

}  // namespace

file_group_e group_of_extension(QStringView extension)
{
    // Every listed extension fits in eight ASCII letters: one number each,
    // so a million names cost a million hash lookups, not string compares.
    static const std::unordered_map<uint64_t, file_group_e> by_key = [] {
        std::unordered_map<uint64_t, file_group_e> map;
        for (const auto& row : group_table())
            for (const char* e : row.extensions)
                map.emplace(extension_key(QLatin1StringView(e)), row.group);
        return map;
    }();
    const uint64_t key = extension_key(extension);
    if (key == 0)
        return file_group_e::other;
    const auto it = by_key.find(key);
    return it == by_key.end() ? file_group_e::other : it->second;
}

file_group_e group_of_name(QStringView name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0 || dot + 1 >= name.size())
        return file_group_e::other;
    return group_of_extension(name.mid(dot + 1));
}

const char* file_group_word(file_group_e group) { return group_table()[size_t(group)].word; }

const char* file_group_key(file_group_e group) { return group_table()[size_t(group)].key; }

bool file_group_from_word(const std::string& word, file_group_e* group)
{
    for (const auto& row : group_table()) {
        if (word == row.word) {
            *group = row.group;
            return true;
        }
    }
    return false;
}

bool parse_size_text(QStringView text, int64_t* bytes)
{
    QString t = text.trimmed().toString().toUpper();
    if (t.endsWith(QLatin1String("IB")))
        t.chop(2), t += 'B';
    if (t.endsWith('B'))
        t.chop(1);
    int shift = 0;
    if (!t.isEmpty()) {
        static const QString units = QStringLiteral("KMGT");
        const qsizetype unit = units.indexOf(t.back());
        if (unit >= 0) {
            shift = 10 * int(unit + 1);
            t.chop(1);
        }
    }
    t = t.trimmed();
    if (t.isEmpty() || t.front() == '.' || t.back() == '.')
        return false;
    for (QChar c : t)
        if (!c.isDigit() && c != '.')
            return false;
    if (t.count('.') > 1)
        return false;
    const qsizetype dot = t.indexOf('.');
    if (dot < 0) {
        bool ok = false;
        const qulonglong whole = t.toULongLong(&ok);
        if (!ok || whole > (uint64_t(INT64_MAX) >> shift))
            return false;
        *bytes = int64_t(whole << shift);
        return true;
    }
    bool ok = false;
    const double value = t.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return false;
    const double scaled = std::ldexp(value, shift);
    if (scaled >= 9.2e18)
        return false;
    *bytes = int64_t(std::llround(scaled));
    return true;
}

bool parse_day_text(QStringView text, QDate* day)
{
    const QString t = text.trimmed().toString();
    if (t.size() != 10 || t[4] != '-' || t[7] != '-')
        return false;
    const QDate d = QDate::fromString(t, Qt::ISODate);
    if (!d.isValid())
        return false;
    *day = d;
    return true;
}

int64_t day_first_second(const QDate& day)
{
    return day.startOfDay(Qt::LocalTime).toSecsSinceEpoch();
}

int64_t day_last_second(const QDate& day)
{
    return day.addDays(1).startOfDay(Qt::LocalTime).toSecsSinceEpoch() - 1;
}

bool result_filter_s::active() const
{
    return !name.isEmpty() || group != file_group_e::all || min_size >= 0 || max_size >= 0 ||
           since != std::numeric_limits<int64_t>::min() || until != std::numeric_limits<int64_t>::max() || whole_only;
}

bool row_state_broken(row_state_e state)
{
    return state == row_state_e::overwritten || state == row_state_e::incomplete || state == row_state_e::partial ||
           state == row_state_e::damaged;
}

compiled_filter_c::compiled_filter_c(const result_filter_s& filter) : filter_(filter), active_(filter.active())
{
    for (QChar c : filter.name) {
        pattern_.push_back(fold(c.unicode()));
        if (c == '*' || c == '?')
            wildcard_ = true;
    }
}

bool compiled_filter_c::name_matches(QStringView name) const
{
    if (pattern_.empty())
        return true;
    return wildcard_ ? wildcard_folded(name, pattern_) : contains_folded(name, pattern_);
}

bool compiled_filter_c::matches(QStringView name, file_group_e group, int64_t size, int64_t modified,
                                row_state_e state) const
{
    if (!active_)
        return true;
    if (filter_.group != file_group_e::all && group != filter_.group)
        return false;
    // Sizes are unsigned on disk; a negative one is a damaged entry, larger
    // than any bound.
    const uint64_t bytes = uint64_t(size);
    if (filter_.min_size >= 0 && bytes < uint64_t(filter_.min_size))
        return false;
    if (filter_.max_size >= 0 && bytes > uint64_t(filter_.max_size))
        return false;
    const bool dated = filter_.since != std::numeric_limits<int64_t>::min() ||
                       filter_.until != std::numeric_limits<int64_t>::max();
    if (dated && (modified == 0 || modified < filter_.since || modified > filter_.until))
        return false;
    if (filter_.whole_only && row_state_broken(state))
        return false;
    return name_matches(name);
}
