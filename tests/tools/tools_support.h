// What the tools tests share: the built ondara-companion and ondara-example-host, run as separate
// processes (child_process.h) with their output going to a file the test reads while they run, and
// names and files unique to this test process.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "protocol/ring_producer.h"

namespace ondara::toolstest {

using namespace std::chrono_literals;
using Child = test::ChildProcess;
using test::own_pid;
using test::read_file;

// Runs `program` to its end (killed after `timeout`) and returns its exit code (-1 when it had to be
// killed) and its output.
struct RunResult {
    int exit_code = -1;
    std::string output;
};
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& output_file,
              std::chrono::milliseconds timeout = 60s);

// The built ondara-companion and ondara-example-host.
std::string companion_path();
std::string example_host_path();

// "ondara-tt-<pid>-<tag>": unique to this process, so that parallel test runs never share a segment.
std::string unique_name(const std::string& tag);
void remove_file(const std::string& path);

// A ring this test process produces, its name removed when it goes; empty after setting `error`.
std::optional<RingProducer> produce_ring(const std::string& name, std::uint32_t rate, std::uint32_t channels,
                                         std::uint32_t capacity, std::string& error);

// The first line of `text` that starts with `prefix`, without its newline; empty when there is none.
std::string line_starting(const std::string& text, const std::string& prefix);

}  // namespace ondara::toolstest
