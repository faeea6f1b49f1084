// Every built-in type: its name, the parser family that recognises it, the
// default size bound, and the signatures that make a candidate.
#include "engines/carve/carve_internal.h"

namespace carve {

namespace {
constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;
}  // namespace

const std::vector<type_info_s>& builtin_types()
{
    static const std::vector<type_info_s> types = {
        {"jpg", "jpeg", 256 * MiB},   {"png", "png", 256 * MiB},     {"gif", "gif", 64 * MiB},
        {"bmp", "bmp", 256 * MiB},    {"tif", "tiff", 1 * GiB},      {"webp", "riff", 256 * MiB},
        {"wav", "riff", 4 * GiB},     {"avi", "riff", 64 * GiB},     {"pdf", "pdf", 512 * MiB},
        {"zip", "zip", 16 * GiB},     {"docx", "zip", 1 * GiB},      {"xlsx", "zip", 1 * GiB},
        {"pptx", "zip", 4 * GiB},     {"odt", "zip", 1 * GiB},       {"ods", "zip", 1 * GiB},
        {"odp", "zip", 4 * GiB},      {"epub", "zip", 1 * GiB},      {"jar", "zip", 1 * GiB},
        {"apk", "zip", 4 * GiB},      {"gz", "gzip", 16 * GiB},      {"bz2", "bzip2", 16 * GiB},
        {"xz", "xz", 16 * GiB},       {"7z", "7z", 64 * GiB},        {"rar", "rar4", 64 * GiB},
        {"rar", "rar5", 64 * GiB},    {"sqlite", "sqlite", 64 * GiB}, {"mp3", "mp3", 1 * GiB},
        {"mp4", "isobmff", 64 * GiB}, {"mov", "isobmff", 64 * GiB},  {"m4a", "isobmff", 4 * GiB},
        {"3gp", "isobmff", 4 * GiB},  {"heic", "isobmff", 256 * MiB}, {"flac", "flac", 4 * GiB},
        {"ogg", "ogg", 4 * GiB},      {"doc", "ole2", 1 * GiB},      {"xls", "ole2", 1 * GiB},
        {"ppt", "ole2", 4 * GiB},     {"ole", "ole2", 4 * GiB},      {"exe", "pe", 4 * GiB},
        {"dll", "pe", 4 * GiB},       {"elf", "elf", 4 * GiB},
        // Camera raw files: TIFF in shape, told apart by their headers and tags.
        {"cr2", "tiff", 512 * MiB},   {"nef", "tiff", 512 * MiB},    {"nrw", "tiff", 512 * MiB},
        {"arw", "tiff", 512 * MiB},   {"dng", "tiff", 512 * MiB},    {"orf", "tiff", 512 * MiB},
        {"pef", "tiff", 512 * MiB},   {"rw2", "tiff", 512 * MiB},    {"sr2", "tiff", 512 * MiB},
        {"cr3", "isobmff", 512 * MiB}, {"raf", "raf", 512 * MiB},
        // Video and audio containers.
        {"ts", "mpegts", 64 * GiB},   {"mts", "m2ts", 64 * GiB},     {"mkv", "matroska", 64 * GiB},
        {"webm", "matroska", 64 * GiB}, {"wmv", "asf", 16 * GiB},    {"wma", "asf", 4 * GiB},
        {"mpg", "mpegps", 64 * GiB},  {"aif", "aiff", 4 * GiB},      {"mid", "midi", 64 * MiB},
        // Documents, mail, passwords, databases, fonts and icons.
        {"psd", "psd", 16 * GiB},     {"rtf", "rtf", 256 * MiB},     {"pst", "pst", 64 * GiB},
        {"ost", "pst", 64 * GiB},     {"kdbx", "kdbx", 1 * GiB},     {"wal", "wal", 16 * GiB},
        {"djvu", "djvu", 1 * GiB},    {"ttf", "sfnt", 256 * MiB},    {"otf", "sfnt", 256 * MiB},
        {"woff", "woff", 256 * MiB},  {"woff2", "woff", 256 * MiB},  {"ico", "ico", 16 * MiB},
        {"cur", "ico", 16 * MiB},
        // More audio and video: frame streams, block files and Flash.
        {"aac", "adts", 1 * GiB},     {"ac3", "ac3", 4 * GiB},       {"amr", "amr", 256 * MiB},
        {"ape", "ape", 4 * GiB},      {"wv", "wavpack", 4 * GiB},    {"au", "au", 4 * GiB},
        {"flv", "flv", 16 * GiB},     {"swf", "swf", 256 * MiB},     {"opus", "ogg", 4 * GiB},
        {"ogv", "ogg", 16 * GiB},     {"m4v", "isobmff", 64 * GiB},  {"avif", "isobmff", 256 * MiB},
        // Mail, contacts, calendars, keys and torrents (text).
        {"eml", "eml", 256 * MiB},    {"mbox", "mbox", 16 * GiB},    {"vcf", "vcard", 64 * MiB},
        {"ics", "icalendar", 64 * MiB}, {"pem", "pem", 1 * MiB},     {"torrent", "torrent", 64 * MiB},
        // Pictures, fonts, scenes, office and system files.
        {"icns", "icns", 64 * MiB},   {"jp2", "jpeg_boxes", 1 * GiB}, {"jxl", "jpeg_boxes", 1 * GiB},
        {"emf", "emf", 256 * MiB},    {"wmf", "wmf", 64 * MiB},      {"pfb", "pfb", 16 * MiB},
        {"blend", "blend", 4 * GiB},  {"odg", "zip", 1 * GiB},       {"vsdx", "zip", 1 * GiB},
        {"xps", "zip", 1 * GiB},      {"ipa", "zip", 4 * GiB},       {"zst", "zstd", 16 * GiB},
        {"cab", "cab", 4 * GiB},      {"chm", "chm", 1 * GiB},       {"cpio", "cpio", 16 * GiB},
        {"evtx", "evtx", 1 * GiB},    {"lnk", "lnk", 1 * MiB},       {"class", "class", 64 * MiB},
        {"dex", "dex", 256 * MiB},
        // Plain text, typed by its first lines; off unless asked for.
        {"txt", "text", 64 * MiB, false}, {"csv", "text", 64 * MiB, false}, {"html", "text", 64 * MiB, false},
        {"xml", "text", 64 * MiB, false}, {"json", "text", 64 * MiB, false}, {"c", "text", 64 * MiB, false},
        {"py", "text", 64 * MiB, false},  {"sh", "text", 64 * MiB, false},
    };
    return types;
}

const std::vector<signature_s>& builtin_signatures()
{
    using namespace std::string_literals;
    static const std::vector<signature_s> signatures = {
        {"jpeg", 0, "\xFF\xD8\xFF"s, {}, parse_jpeg},
        {"png", 0, "\x89PNG\r\n\x1A\n"s, {}, parse_png},
        {"gif", 0, "GIF87a"s, {}, parse_gif},
        {"gif", 0, "GIF89a"s, {}, parse_gif},
        {"bmp", 0, "BM"s, {}, parse_bmp},
        {"tiff", 0, "II*\0"s, {}, parse_tiff},
        {"tiff", 0, "MM\0*"s, {}, parse_tiff},
        {"tiff", 0, "II+\0"s, {}, parse_tiff},
        {"tiff", 0, "MM\0+"s, {}, parse_tiff},
        {"tiff", 0, "IIRO"s, {}, parse_tiff},
        {"tiff", 0, "IIRS"s, {}, parse_tiff},
        {"tiff", 0, "MMOR"s, {}, parse_tiff},
        {"tiff", 0, "IIU\0"s, {}, parse_tiff},
        {"riff", 0, "RIFF"s, {}, parse_riff},
        {"pdf", 0, "%PDF-"s, {}, parse_pdf},
        {"zip", 0, "PK\x03\x04"s, {}, parse_zip},
        {"gzip", 0, "\x1F\x8B\x08"s, {}, parse_gzip},
        {"bzip2", 0, "BZh"s, {}, parse_bzip2},
        {"xz", 0, "\xFD" "7zXZ\0"s, {}, parse_xz},
        {"7z", 0, "7z\xBC\xAF\x27\x1C"s, {}, parse_7z},
        {"rar4", 0, "Rar!\x1A\x07\x00"s, {}, parse_rar4},
        {"rar5", 0, "Rar!\x1A\x07\x01\x00"s, {}, parse_rar5},
        {"sqlite", 0, "SQLite format 3\0"s, {}, parse_sqlite},
        {"mp3", 0, "ID3"s, {}, parse_mp3},
        {"mp3", 0, "\xFF\xE0"s, "\xFF\xE0"s, parse_mp3},
        {"isobmff", 4, "ftyp"s, {}, parse_isobmff},
        {"flac", 0, "fLaC"s, {}, parse_flac},
        {"ogg", 0, "OggS\0"s, {}, parse_ogg},
        {"ole2", 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s, {}, parse_ole2},
        {"pe", 0, "MZ"s, {}, parse_pe},
        {"elf", 0, "\x7F" "ELF"s, {}, parse_elf},
        {"mpegts", 0, "\x47\x40"s, "\xFF\xC0"s, parse_mpegts},
        {"m2ts", 4, "\x47\x40"s, "\xFF\xC0"s, parse_m2ts},
        {"matroska", 0, "\x1A\x45\xDF\xA3"s, {}, parse_matroska},
        {"asf", 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"s, {}, parse_asf},
        {"mpegps", 0, "\0\0\x01\xBA"s, {}, parse_mpegps},
        {"aiff", 0, "FORM"s, {}, parse_aiff},
        {"midi", 0, "MThd\0\0\0\x06"s, {}, parse_midi},
        {"djvu", 0, "AT&TFORM"s, {}, parse_djvu},
        {"raf", 0, "FUJIFILMCCD-RAW "s, {}, parse_raf},
        {"psd", 0, "8BPS"s, {}, parse_psd},
        {"rtf", 0, "{\\rtf"s, {}, parse_rtf},
        {"pst", 0, "!BDN"s, {}, parse_pst},
        {"kdbx", 0, "\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5"s, {}, parse_kdbx},
        {"wal", 0, "\x37\x7F\x06\x82"s, "\xFF\xFF\xFF\xFE"s, parse_wal},
        {"sfnt", 0, "\0\x01\0\0"s, {}, parse_sfnt},
        {"sfnt", 0, "OTTO"s, {}, parse_sfnt},
        {"sfnt", 0, "true"s, {}, parse_sfnt},
        {"woff", 0, "wOFF"s, {}, parse_woff},
        {"woff", 0, "wOF2"s, {}, parse_woff},
        {"ico", 0, "\0\0\x01\0"s, {}, parse_ico},
        {"ico", 0, "\0\0\x02\0"s, {}, parse_ico},
        {"adts", 0, "\xFF\xF0"s, "\xFF\xF6"s, parse_adts},
        {"ac3", 0, "\x0B\x77"s, {}, parse_ac3},
        {"amr", 0, "#!AMR"s, {}, parse_amr},
        {"ape", 0, "MAC "s, {}, parse_ape},
        {"wavpack", 0, "wvpk"s, {}, parse_wavpack},
        {"au", 0, ".snd"s, {}, parse_au},
        {"flv", 0, "FLV\x01"s, {}, parse_flv},
        {"swf", 0, "FWS"s, {}, parse_swf},
        {"swf", 0, "CWS"s, {}, parse_swf},
        {"eml", 0, "Return-Path:"s, {}, parse_eml},
        {"eml", 0, "Received:"s, {}, parse_eml},
        {"eml", 0, "Delivered-To:"s, {}, parse_eml},
        {"eml", 0, "From: "s, {}, parse_eml},
        {"eml", 0, "Message-ID:"s, {}, parse_eml},
        {"eml", 0, "MIME-Version:"s, {}, parse_eml},
        {"mbox", 0, "From "s, {}, parse_mbox},
        {"vcard", 0, "BEGIN:VCARD"s, {}, parse_vcard},
        {"icalendar", 0, "BEGIN:VCALENDAR"s, {}, parse_icalendar},
        {"pem", 0, "-----BEGIN "s, {}, parse_pem},
        {"torrent", 0, "d8:announce"s, {}, parse_torrent},
        {"torrent", 0, "d13:announce-list"s, {}, parse_torrent},
        {"torrent", 0, "d4:info"s, {}, parse_torrent},
        {"icns", 0, "icns"s, {}, parse_icns},
        {"jpeg_boxes", 0, "\0\0\0\x0CjP  \r\n\x87\n"s, {}, parse_jpeg_boxes},
        {"jpeg_boxes", 0, "\0\0\0\x0CJXL \r\n\x87\n"s, {}, parse_jpeg_boxes},
        {"emf", 0, "\x01\0\0\0"s, {}, parse_emf},
        {"wmf", 0, "\xD7\xCD\xC6\x9A"s, {}, parse_wmf},
        {"pfb", 0, "\x80\x01"s, {}, parse_pfb},
        {"blend", 0, "BLENDER"s, {}, parse_blend},
        {"zstd", 0, "\x28\xB5\x2F\xFD"s, {}, parse_zstd},
        {"cab", 0, "MSCF\0\0\0\0"s, {}, parse_cab},
        {"chm", 0, "ITSF"s, {}, parse_chm},
        {"cpio", 0, "07070"s, {}, parse_cpio},
        {"evtx", 0, "ElfFile\0"s, {}, parse_evtx},
        {"lnk", 0, "\x4C\0\0\0\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46"s, {}, parse_lnk},
        {"class", 0, "\xCA\xFE\xBA\xBE"s, {}, parse_class},
        {"dex", 0, "dex\n"s, {}, parse_dex},
        // Text: a printable ASCII byte, a UTF-8 lead byte and its first
        // continuation, or a UTF-16 byte order mark (UTF-16 without one
        // begins with an ASCII byte and a zero). Tried after every other.
        {"text", 0, "\x20\x00"s, "\xE0\x80"s, parse_text},
        {"text", 0, "\x40\x00"s, "\xE0\x80"s, parse_text},
        {"text", 0, "\x60\x00"s, "\xE0\x80"s, parse_text},
        {"text", 0, "\xC0\x80"s, "\xE0\xC0"s, parse_text},
        {"text", 0, "\xE0\x80"s, "\xF0\xC0"s, parse_text},
        {"text", 0, "\xFF\xFE"s, {}, parse_text},
        {"text", 0, "\xFE\xFF"s, {}, parse_text},
    };
    return signatures;
}

}  // namespace carve
