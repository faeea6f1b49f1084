// GPT disks and the search's superblocks: the input is a whole small disk of
// 512-byte sectors (its first byte chooses 4096-byte ones), read as the
// repair reads one; the plan from its sound copy, its partitions, and the
// other file systems' and FAT12/16 recognisers on its first bytes.
#include "ondisk/fs_superblocks.h"
#include "ondisk/gpt.h"
#include "partition/boot_sector.h"
#include "partition/gpt_disk.h"
#include "platform/byte_source.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {
class memory_disk_c final : public platform::byte_source_c {
public:
    memory_disk_c(std::vector<uint8_t> bytes, uint32_t sector) : bytes_(std::move(bytes)), sector_(sector) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= bytes_.size())
            return 0;
        const size_t n = std::min<uint64_t>(length, bytes_.size() - offset);
        std::memcpy(buffer, bytes_.data() + offset, n);
        return int64_t(n);
    }
    uint64_t size() const override { return bytes_.size(); }
    uint32_t sector_size() const override { return sector_; }
    const std::string& name() const override { return name_; }

private:
    std::vector<uint8_t> bytes_;
    uint32_t sector_;
    std::string name_ = "fuzz";
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint32_t sector = data[0] & 1 ? 4096 : 512;
    const memory_disk_c disk(std::vector<uint8_t>(data + 1, data + size), sector);
    const partition::gpt_state_s state = partition::read_gpt_state(disk);
    std::vector<uint8_t> sector0(512);
    disk.read_at(0, sector0.data(), sector0.size());
    const partition::gpt_plan_s plan = partition::plan_gpt_from_copy(state, sector0);
    for (const auto& w : plan.writes)
        if (w.offset > disk.size() || w.bytes.size() > disk.size() - w.offset)
            __builtin_trap();  // a plan never writes past the disk
    // A plan copies entries only from a copy whose entries stay apart and
    // inside the disk.
    for (const partition::gpt_copy_s* copy : {&state.primary, &state.backup})
        if (plan.refusal.empty() && copy->sound() &&
            !ondisk::check_gpt_entries(copy->entries.data(), copy->header, state.disk_sectors).empty())
            __builtin_trap();
    state.summary();

    std::vector<uint8_t> head(ondisk::other_fs_head_bytes);
    disk.read_at(0, head.data(), head.size());
    ondisk::recognise_other_fs(head.data(), std::min<size_t>(size - 1, head.size()));
    const char* fat = nullptr;
    partition::fat16_volume_bytes(head.data(), state.sector_bytes, &fat);
    return 0;
}
