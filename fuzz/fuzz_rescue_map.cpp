// The rescue map parser on hostile text: no crash, no unbounded growth, and
// whatever it accepts covers the disk without gaps and reads back the same
// from the text we write.
#include "platform/rescue_map.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    platform::rescue_map_c map;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!platform::parse_rescue_map(text, &map).empty())
        return 0;
    uint64_t end = 0;
    for (const auto& b : map.blocks()) {
        if (b.pos != end || b.size == 0)
            std::abort();
        end = b.end();
    }
    if (end != map.size())
        std::abort();
    platform::rescue_map_c again;
    if (!platform::parse_rescue_map(map.to_text("again"), &again).empty() || again.blocks().size() != map.blocks().size())
        std::abort();
    return 0;
}
