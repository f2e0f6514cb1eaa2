// The ondara-companion subcommands. Each takes the whole argv and the index of its first own argument,
// and returns the process's exit status (see companion_cli.h).
#pragma once

namespace ondara::tools {

int run_play(int argc, char** argv, int first);
int run_watch(int argc, char** argv, int first);
int run_serve_mode(int argc, char** argv, int first);

}  // namespace ondara::tools
