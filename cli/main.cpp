// quarvel-cli [--image PATH]... [--json] COMMAND [ARGS]
#include "cli.h"
#include "platform/drive_table.h"
#include "platform/udisks_access.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <unistd.h>

static void print_usage(FILE* out)
{
    std::fprintf(out, "usage: quarvel-cli [--image PATH]... [--json] COMMAND [ARGS]\n\ncommands:\n");
    for (const auto& c : cli::commands())
        std::fprintf(out, "  %s\n", c.usage);
}

static int run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    cli::context_s ctx;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            ctx.json = true;
        } else if (std::strcmp(argv[i], "--image") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quarvel-cli: --image needs a path\n");
                print_usage(stderr);
                return cli::exit_usage;
            }
            ctx.images.emplace_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quarvel-cli %s\n", QUARVEL_VERSION);
            return cli::exit_ok;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            print_usage(stdout);
            return cli::exit_ok;
        } else {
            break;
        }
    }
    if (i >= argc) {
        print_usage(stderr);
        return cli::exit_usage;
    }
    const std::string name = argv[i++];
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            ctx.json = true;
        else
            ctx.args.emplace_back(argv[i]);
    }

    // Said to a person at a terminal only: scripts read stderr for failures.
    if (::geteuid() == 0 && ::isatty(STDERR_FILENO))
        std::fprintf(stderr, "quarvel-cli: %s\n", platform::root_not_needed_note());
    platform::install_udisks_access();
    for (const auto& image : ctx.images) {
        std::string error;
        if (platform::open_disk_image(image, &error) != 0)
            return cli::fail(error);
    }
    for (const auto& c : cli::commands())
        if (name == c.name)
            return c.run(ctx);
    std::fprintf(stderr, "quarvel-cli: unknown command \"%s\"\n", name.c_str());
    print_usage(stderr);
    return cli::exit_usage;
}

// Whatever escapes a command (a scan file or a disk that exhausts memory,
// a bug) ends the program with a reason and the failure status, never with
// an abort.
int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return cli::fail("out of memory");
    } catch (const std::exception& e) {
        return cli::fail(std::string("internal error: ") + e.what());
    } catch (...) {
        return cli::fail("internal error");
    }
}
