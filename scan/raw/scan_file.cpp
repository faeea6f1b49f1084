#include "scan/raw/scan_file.h"

#include "ondisk/byte_order.h"
#include "platform/drive_table.h"
#include "platform/fd_io.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t records_per_read = 2048;

raw_item_s decode_record(const uint8_t* p)
{
    raw_item_s item;
    item.index = static_cast<int64_t>(platform::le64(p));
    item.offset = static_cast<int64_t>(platform::le64(p + 8));
    item.size = static_cast<int64_t>(platform::le64(p + 16));
    std::memcpy(item.type, p + 24, sizeof item.type);
    return item;
}

void encode_record(const raw_item_s& item, uint8_t* p)
{
    platform::store_le64(p, static_cast<uint64_t>(item.index));
    platform::store_le64(p + 8, static_cast<uint64_t>(item.offset));
    platform::store_le64(p + 16, static_cast<uint64_t>(item.size));
    std::memcpy(p + 24, item.type, sizeof item.type);
}

// Why a record cannot belong to a volume of volume_bytes holding count
// records; empty when it can. Rows and recovery address records by their
// index, and recovery reads the record's byte range from the volume.
// previous_index is the index of the record before it (-1 for the first):
// the scanner numbers its records in the order it finds them, so a repeated
// or backward index cannot come from it and would give two rows one id.
std::string record_refusal(const raw_item_s& item, int64_t previous_index, uint64_t count, uint64_t volume_bytes)
{
    if (item.index < 0 || static_cast<uint64_t>(item.index) >= count)
        return "names a record the file does not hold";
    if (item.index <= previous_index)
        return "repeats or goes back on the index of the record before it";
    if (item.size == 0)
        return "is of size 0 (no carved file is empty)";
    if (item.offset < 0 || static_cast<uint64_t>(item.offset) >= volume_bytes)
        return "starts outside the volume";
    if (item.size < 0 || static_cast<uint64_t>(item.size) > volume_bytes - static_cast<uint64_t>(item.offset))
        return "runs past the end of the volume";
    return {};
}

// The first record, in file order, whose bytes (its pieces where it has
// them) share a byte with a record before it; -1 when none does. The
// carving engine goes on after the end of each file it finds, so its files
// do not overlap; a file whose records do would have a recovery write the
// same bytes again and again. The one exception is a file cut by the
// volume's end, which the engine does not let hide the files inside what
// it claims: such a record is passed over here (the total of all sizes
// still bounds what a recovery writes).
int64_t first_overlapping_record(const std::vector<raw_item_s>& records, const raw_pieces_t& pieces,
                                 uint64_t volume_bytes)
{
    std::map<int64_t, int64_t> taken;  // first byte -> byte after the last
    for (size_t i = 0; i < records.size(); ++i) {
        const raw_item_s& item = records[i];
        const auto own = pieces.find(item.index);
        const std::vector<raw_extent_s> whole{{item.offset, item.size}};
        for (const raw_extent_s& e : own != pieces.end() ? own->second.extents : whole) {
            const int64_t end = e.offset + e.size;
            if (static_cast<uint64_t>(end) == volume_bytes)
                continue;
            auto next = taken.upper_bound(e.offset);
            if (next != taken.end() && next->first < end)
                return static_cast<int64_t>(i);
            if (next != taken.begin() && std::prev(next)->second > e.offset)
                return static_cast<int64_t>(i);
            taken.emplace_hint(next, e.offset, end);
        }
    }
    return -1;
}

const char* const not_a_scan_file = "not a scan result file (a 256-byte header and 32-byte records)";

}  // namespace

std::string read_scan_file(const std::string& path, const scan_file_volume_fn& volume_size,
                           scan_file_contents_s* contents)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused
    // right after.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? path + ": no such file" : path + ": cannot be opened (" + std::strerror(errno) + ")";
    struct fd_closer_s {
        int fd;
        ~fd_closer_s() { ::close(fd); }
    } closer{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return path + ": not a regular file";
    const auto length = static_cast<uint64_t>(st.st_size);
    if (length < scan_file_header_bytes + scan_file_record_bytes ||
        (length - scan_file_header_bytes) % scan_file_record_bytes != 0)
        return path + ": " + not_a_scan_file;

    uint8_t header[scan_file_header_bytes];
    if (platform::read_fully(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header))
        return path + ": cannot be read";
    const std::string device(reinterpret_cast<const char*>(header), strnlen(reinterpret_cast<const char*>(header), sizeof header));
    if (device.empty())
        return path + ": " + not_a_scan_file;
    uint64_t volume_bytes = 0;
    if (!volume_size || !volume_size(device, &volume_bytes) || volume_bytes == 0)
        return path + ": the scanned device " + device + " is not present";

    // Every carved file starts at its own byte of the volume and is at least
    // as long as the shortest signature: a file with more records than that
    // was not made from this volume, and is refused before any of it is held
    // in memory. Below that bound, memory grows only with records accepted
    // (nothing is reserved from the length a file claims).
    const uint64_t count = (length - scan_file_header_bytes) / scan_file_record_bytes;
    if (count > volume_bytes / scan_file_smallest_carved_bytes)
        return path + ": holds more records (" + std::to_string(count) + ") than " + device + " can hold files";

    std::vector<raw_item_s> records;
    int64_t previous_index = -1;
    uint64_t total_bytes = 0;
    std::vector<uint8_t> piece_bytes;
    std::vector<uint8_t> chunk(scan_file_record_bytes * records_per_read);
    for (uint64_t done = 0; done < count;) {
        const uint64_t want = std::min<uint64_t>(records_per_read, count - done);
        const size_t bytes = static_cast<size_t>(want) * scan_file_record_bytes;
        if (platform::read_fully(fd, chunk.data(), bytes) != static_cast<ssize_t>(bytes))
            return path + ": changed or could not be read while it was loaded";
        for (size_t i = 0; i < want; ++i) {
            const uint8_t* p = chunk.data() + i * scan_file_record_bytes;
            // Piece records follow the plain ones; they are checked once
            // all of those are known.
            if (!piece_bytes.empty() || raw_is_piece_record(p)) {
                // Checked as they come only as far as keeps memory to what
                // the plain records can mean: every one a piece record, at
                // most raw_max_pieces for each file.
                if (!raw_is_piece_record(p))
                    return path + ": record " + std::to_string(records.size() + piece_bytes.size() / scan_file_record_bytes) +
                           " is a plain record after the pieces";
                if (piece_bytes.size() / scan_file_record_bytes >= records.size() * raw_max_pieces)
                    return path + ": more pieces than its files can have";
                piece_bytes.insert(piece_bytes.end(), p, p + scan_file_record_bytes);
                continue;
            }
            const raw_item_s item = decode_record(p);
            const std::string refusal = record_refusal(item, previous_index, count, volume_bytes);
            if (!refusal.empty())
                return path + ": record " + std::to_string(records.size()) + " " + refusal;
            // Each below the volume's size, checked above: the sum cannot wrap.
            total_bytes += static_cast<uint64_t>(item.size);
            if (total_bytes > volume_bytes)
                return path + ": record " + std::to_string(records.size()) +
                       " brings the files' total past the size of " + device;
            previous_index = item.index;
            records.push_back(item);
        }
        done += want;
    }
    if (records.empty())
        return path + ": " + not_a_scan_file;
    raw_pieces_t pieces;
    if (!piece_bytes.empty()) {
        for (const raw_item_s& item : records)
            if (static_cast<uint64_t>(item.index) >= records.size())
                return path + ": a record names a record the file does not hold";
        if (!raw_read_piece_records(piece_bytes.data(), piece_bytes.size() / scan_file_record_bytes, records,
                                    volume_bytes, &pieces))
            return path + ": the pieces of a file in pieces do not agree with its record or the volume";
    }
    if (const int64_t overlapping = first_overlapping_record(records, pieces, volume_bytes); overlapping >= 0)
        return path + ": record " + std::to_string(overlapping) + " shares bytes of " + device +
               " with a record before it";
    contents->device_path = device;
    contents->records = std::move(records);
    contents->pieces = std::move(pieces);
    return {};
}

std::string write_scan_file(int fd, const std::string& device_path, const std::vector<raw_item_s>& records,
                            const raw_pieces_t& pieces)
{
    if (records.empty())
        return "nothing was found to save";
    // The header holds the path and its NUL; a longer one would come back cut.
    if (device_path.empty() || device_path.size() >= scan_file_header_bytes ||
        device_path.find('\0') != std::string::npos)
        return "the device path does not fit a scan file's header";
    uint8_t header[scan_file_header_bytes] = {};
    std::memcpy(header, device_path.data(), device_path.size());
    if (!platform::write_fully(fd, header, sizeof header))
        return std::string("cannot be written (") + std::strerror(errno) + ")";
    std::vector<uint8_t> chunk(scan_file_record_bytes * records_per_read);
    for (size_t first = 0; first < records.size(); first += records_per_read) {
        const size_t n = std::min(records_per_read, records.size() - first);
        for (size_t i = 0; i < n; ++i)
            encode_record(records[first + i], chunk.data() + i * scan_file_record_bytes);
        if (!platform::write_fully(fd, chunk.data(), n * scan_file_record_bytes))
            return std::string("cannot be written (") + std::strerror(errno) + ")";
    }
    std::vector<uint8_t> piece_bytes;
    raw_put_piece_records(pieces, &piece_bytes);
    if (!piece_bytes.empty() && !platform::write_fully(fd, piece_bytes.data(), piece_bytes.size()))
        return std::string("cannot be written (") + std::strerror(errno) + ")";
    return {};
}

bool offered_volume_size(const std::string& device_path, uint64_t* size_bytes)
{
    bool offered = false;
    for (const auto& volume : platform::list_volumes())
        offered = offered || volume.device_path == device_path;
    // The whole-image volume of a partitioned image is offered on request,
    // but only for an image the user already opened.
    std::string image;
    int partition = -1;
    if (!offered && platform::split_image_volume_path(device_path, &image, &partition))
        offered = partition == 0 && platform::drive_number_of(image) >= 0;
    if (!offered)
        return false;
    const platform::byte_source_ptr device = platform::open_byte_source(device_path, nullptr);
    if (!device)
        return false;
    *size_bytes = device->size();
    return true;
}
