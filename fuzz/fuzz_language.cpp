// The translation file loader, on any bytes. Besides memory errors it
// checks the loader against the two patterns that define the format, on
// files whose lines are short enough for the backtracking reference to
// answer quickly.
#include "shell/settings.h"
#include "tests/app/language_reference.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

struct loaded_s {
    std::map<std::string, QString, std::less<>> table;
    std::vector<QString> list;
    int index = 0;
};

template <typename Loader>
loaded_s load(const std::string& bytes, const QString& name, Loader loader)
{
    translation_table.clear();
    current_language_index = -1;
    std::istringstream in(bytes);
    loader(in, name, true);
    return {std::move(translation_table), std::move(language_list), current_language_index};
}

bool lines_are_short(const std::string& bytes)
{
    std::size_t run = 0;
    for (const char c : bytes) {
        run = c == '\n' ? 0 : run + 1;
        if (run > 96)
            return false;
    }
    return bytes.size() <= 8192;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The chosen section is named by the first line, so the fuzzer can aim
    // at the sections it makes.
    const std::size_t first_break = bytes.find('\n');
    const QString name = QString::fromUtf8(bytes.substr(0, std::min<std::size_t>(first_break, 64)));
    const loaded_s ours = load(bytes, name, load_language_from);
    if (lines_are_short(bytes)) {
        const loaded_s theirs = load(bytes, name, reference_load_language_from);
        if (ours.table != theirs.table || ours.list != theirs.list || ours.index != theirs.index)
            std::abort();
    }
    translation_table.clear();
    language_list.clear();
    return 0;
}
