#include "tools_support.h"

#include <cstdio>
#include <optional>

namespace ondara::toolstest {

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& output_file,
              std::chrono::milliseconds timeout) {
    Child c = Child::start(program, args, output_file);
    RunResult r;
    if (!c.started()) {
        r.output = c.error();
        return r;
    }
    const std::optional<int> code = c.wait_for(timeout);
    if (!code) c.kill();
    r.exit_code = code.value_or(-1);
    r.output = c.output();
    remove_file(output_file);
    return r;
}

std::string unique_name(const std::string& tag) { return "ondara-tt-" + std::to_string(own_pid()) + "-" + tag; }

void remove_file(const std::string& path) { std::remove(path.c_str()); }

std::string line_starting(const std::string& text, const std::string& prefix) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, prefix.size(), prefix) == 0) return text.substr(at, end - at);
        at = end + 1;
    }
    return {};
}

#ifdef _WIN32
namespace {
// The directory of this test binary: the build puts the tools and ondara.dll there too.
std::string own_directory() {
    const std::string self = test::own_executable_path();
    return self.substr(0, self.find_last_of("\\/"));
}
}  // namespace

std::string companion_path() { return own_directory() + "\\" ONDARA_COMPANION_FILE; }
std::string example_host_path() { return own_directory() + "\\" ONDARA_EXAMPLE_HOST_FILE; }
#else
std::string companion_path() { return ONDARA_COMPANION_PATH; }
std::string example_host_path() { return ONDARA_EXAMPLE_HOST_PATH; }
#endif

std::optional<RingProducer> produce_ring(const std::string& name, std::uint32_t rate, std::uint32_t channels,
                                         std::uint32_t capacity, std::string& error) {
    RingProducer::Error failed;
    std::optional<RingProducer> ring = RingProducer::create(name, RingFormat{rate, channels, capacity}, failed);
    if (ring) ring->remove_name_on_release();
    error = failed.message;
    return ring;
}

}  // namespace ondara::toolstest
