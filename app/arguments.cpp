#include "app/arguments.h"

#include <string_view>
#include <sys/stat.h>

namespace {

// Toolkit options that consume the next argument.
bool takes_value(std::string_view option)
{
    while (!option.empty() && option.front() == '-')
        option.remove_prefix(1);
    if (option.find('=') != std::string_view::npos)
        return false;
    static constexpr std::string_view with_value[] = {
        "platform", "platformpluginpath", "platformtheme", "plugin", "style", "stylesheet",
        "session", "display", "geometry", "title", "qwindowgeometry", "qwindowicon",
        "qwindowtitle", "qwindowscreen", "screen", "name", "font", "fn", "bg", "background",
        "fg", "foreground", "btn", "button", "visual", "ncols", "cmap", "im", "inputstyle",
    };
    for (std::string_view name : with_value) {
        if (option == name)
            return true;
    }
    return false;
}

bool is_existing_file(const char* path)
{
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

command_line_s split_command_line(int argc, char** argv)
{
    command_line_s line;
    if (argc > 0)
        line.toolkit_args.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.empty() && arg.front() == '-') {
            line.toolkit_args.push_back(argv[i]);
            if (takes_value(arg) && i + 1 < argc)
                line.toolkit_args.push_back(argv[++i]);
        } else if (is_existing_file(argv[i])) {
            line.images.emplace_back(arg);
        } else {
            line.toolkit_args.push_back(argv[i]);
        }
    }
    return line;
}
