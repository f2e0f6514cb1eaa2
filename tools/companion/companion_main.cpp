// ondara-companion: a stand-in for the companion application, for plug-in developers who cannot run
// the real one. It plays the companion's part of the three segments: it creates and feeds the audio
// ring (play), shows the mic and mode blocks the plug-in writes (watch), and answers mode requests
// (serve-mode). It is built on the same block layouts as the library (src/protocol) and links nothing
// else, so it runs wherever the library does.
#include <cstdio>
#include <string_view>

#include "common/companion_cli.h"
#include "companion/companion_commands.h"

namespace {

void print_help(std::FILE* to) {
    std::fprintf(to,
                 "usage: ondara-companion COMMAND [arguments]\n"
                 "\n"
                 "Plays the companion application's side of the ondara segments.\n"
                 "\n"
                 "  play NAME        create the audio ring NAME and write a tone or a WAV file into it\n"
                 "                   in real time\n"
                 "  watch NAME...    show existing mic and mode blocks (and rings) live, read-only\n"
                 "  serve-mode NAME  answer the mode requests made in the mode block NAME\n"
                 "\n"
                 "ondara-companion COMMAND --help describes each command. Ctrl-C, SIGTERM, SIGHUP\n"
                 "and a closed output pipe stop any of them cleanly. Exit status: 0 done, 1 failed\n"
                 "(or output closed), 2 wrong arguments.\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ondara::tools;
    if (argc < 2) {
        print_help(stderr);
        return cli::kExitUsage;
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        print_help(stdout);
        return cli::kExitOk;
    }
    if (command == "play") return run_play(argc, argv, 2);
    if (command == "watch") return run_watch(argc, argv, 2);
    if (command == "serve-mode") return run_serve_mode(argc, argv, 2);
    std::fprintf(stderr, "ondara-companion: unknown command '%s' (see --help)\n", argv[1]);
    return cli::kExitUsage;
}
