// The real-platform test binary. Started plainly it runs the tests; started as `--child ROLE ARGS...`
// it plays the other process of a test (the companion's ring producer, a second mic publisher, ...)
// and exits with 0 when that role saw what it expected.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "os_support.h"

int main(int argc, char** argv) {
    if (argc >= 3 && std::string_view(argv[1]) == "--child") {
        const std::vector<std::string> args(argv + 3, argv + argc);
        return ondara::ostest::run_child_role(argv[2], args);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
