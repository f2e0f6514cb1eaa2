// A plug-in in folder A, a host in folder B that loads it by full path the way hosts do (plain
// LoadLibraryExW(path, NULL, 0) on Windows, dlopen on Linux), and ondara-companion playing into the
// ring the plug-in renders from. The plug-in is built three ways (plugin.c): with the loader, linked
// with the static archive, linked with the shared library. What it published and requested is read
// back from the segments afterwards. On the Windows build this runs under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "common/shared_segment.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ondara::test::ChildProcess;
using ondara::tools::SharedSegment;

// Bounds on a hang, not expectations: under Wine on a loaded machine a process start can take seconds.
constexpr auto kTimeout = 300s;

// What the plug-in publishes and requests (plugin.c).
constexpr float kLevelA = -6.5f;
constexpr float kLevelB = -18.25f;
constexpr std::int32_t kMode = 2;

std::string utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// The built files. On Windows they sit beside this test (the build puts them there), the companion and
// ondara.dll one level up; on Linux the build names them by full path.
fs::path built(const char* name) {
#ifdef _WIN32
    return fs::path(ondara::test::own_executable_path()).parent_path() / name;
#else
    return name;
#endif
}

fs::path companion() {
    return built(ONDARA_SHIPPING_COMPANION);
}
fs::path library() {
    return built(ONDARA_SHIPPING_LIBRARY);
}
fs::path host() {
    return built(ONDARA_SHIPPING_HOST);
}
fs::path loader_plugin() {
    return built(ONDARA_SHIPPING_LOADER_PLUGIN);
}
fs::path static_plugin() {
    return built(ONDARA_SHIPPING_STATIC_PLUGIN);
}
fs::path import_plugin() {
    return built(ONDARA_SHIPPING_IMPORT_PLUGIN);
}

// The library's file name as the loader and the import look for it.
const fs::path kLibraryFile = ONDARA_SHIPPING_LIBRARY_FILE;

// Removes a folder and everything in it. On Windows with the wide calls on the \\?\ form of each
// path, which is not held to MAX_PATH (std::filesystem's remove_all fails on the long one).
#ifdef _WIN32
void remove_tree_w(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree_w(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}
#endif

void remove_tree(const fs::path& folder) {
#ifdef _WIN32
    remove_tree_w(L"\\\\?\\" + fs::absolute(folder).wstring());
#else
    fs::remove_all(folder);
#endif
}

// Sets (or, with null, removes) a variable of this process's environment, which the host inherits.
void set_environment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

std::string segment_name(const std::string& tag) {
    return "ondara-ship-" + std::to_string(ondara::test::own_pid()) + "-" + tag;
}

struct HostRun {
    int code = -1;
    std::string output;
    std::uint32_t pid = 0;
};

class Shipping : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ring_ = segment_name("ring");
        SharedSegment::remove_name(ring_);
        companion_ = std::make_unique<ChildProcess>(ChildProcess::start(
            utf8(companion()), {"play", ring_, "--seconds", "3600"}, segment_name("play") + ".out"));
    }

    static void TearDownTestSuite() {
        if (companion_ && companion_->interrupt()) companion_->wait_for(kTimeout);
        companion_.reset();
        SharedSegment::remove_name(ring_);
        std::remove((segment_name("play") + ".out").c_str());
    }

    void SetUp() override {
        ASSERT_TRUE(companion_->started()) << companion_->error();
        ASSERT_TRUE(companion_->wait_for_output("play: ring " + ring_, kTimeout)) << companion_->output();
        // Nothing here may give Windows an ondara.dll to find: the host runs in this folder.
        ASSERT_FALSE(fs::exists(fs::current_path() / kLibraryFile));
        root_ = fs::current_path() / ("shipping-" + std::to_string(ondara::test::own_pid()) + "-" +
                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        remove_tree(root_);
        fs::create_directories(root_ / "B");
        fs::copy_file(host(), root_ / "B" / host().filename());
    }

    void TearDown() override { remove_tree(root_); }

    // A fresh plug-in folder A holding `files`.
    fs::path plugin_folder(const fs::path& name, const std::vector<std::pair<fs::path, fs::path>>& files) {
        const fs::path folder = root_ / name;
        fs::create_directories(folder);
        for (const auto& [from, to] : files) fs::copy_file(from, folder / to);
        return folder;
    }

    // Runs the host on `plugin` with a mic and a mode block of the test's own, and checks what the
    // plug-in left in them when it says it worked.
    HostRun run_host(const fs::path& plugin, const std::string& tag, bool altered_search_path = false) {
        const std::string mic = segment_name(tag + "-mic");
        const std::string mode = segment_name(tag + "-mode");
        SharedSegment::remove_name(mic);
        SharedSegment::remove_name(mode);
        std::string error;
#ifdef _WIN32
        // A mapping lives as long as its handles: hold both blocks, so that they outlive the host.
        const auto mic_keep = SharedSegment::create(mic, sizeof(ondara::MicLevelBlock), error);
        const auto mode_keep = SharedSegment::create(mode, sizeof(ondara::ModeControlBlock), error);
        EXPECT_TRUE(mic_keep && mode_keep) << error;
#endif
        std::vector<std::string> args{utf8(plugin), ring_, mic, mode};
        if (altered_search_path) args.push_back("--altered-search-path");
        const std::string out = segment_name(tag) + ".out";
        ChildProcess child = ChildProcess::start(utf8(root_ / "B" / host().filename()), args, out);
        HostRun run;
        if (!child.started()) {
            run.output = child.error();
            return run;
        }
        run.pid = child.pid();
        const std::optional<int> code = child.wait_for(kTimeout);
        if (!code) child.kill();
        run.code = code.value_or(-1);
        run.output = child.output();
        std::remove(out.c_str());
        std::cout << run.output << "(exit status " << run.code << ")\n";
        if (run.code == 0) {
            const auto mic_view = SharedSegment::open(mic, SharedSegment::Access::ReadOnly, error);
            const auto mode_view = SharedSegment::open(mode, SharedSegment::Access::ReadOnly, error);
            EXPECT_TRUE(mic_view && mode_view) << error;
            if (mic_view && mode_view) {
                const ondara::MicLevelBlock m =
                    ondara::MicLevel::snapshot(static_cast<const ondara::MicLevelBlock*>(mic_view->data()));
                EXPECT_EQ(m.magic, ondara::kMicMagic);
                EXPECT_EQ(m.level_a_db, kLevelA);
                EXPECT_EQ(m.level_b_db, kLevelB);
                EXPECT_EQ(m.writer_token >> 32, run.pid) << "the levels come from another process";
                const ondara::ModeControlBlock c = ondara::ModeControlLayout::snapshot(
                    static_cast<const ondara::ModeControlBlock*>(mode_view->data()));
                EXPECT_EQ(c.magic, ondara::kModeMagic);
                EXPECT_EQ(c.requested_mode, kMode);
                EXPECT_NE(c.flags & ondara::kModeFlagRequested, 0u);
            }
        }
        SharedSegment::remove_name(mic);
        SharedSegment::remove_name(mode);
        return run;
    }

    static void expect_rendered_ring_audio(const HostRun& run) {
        EXPECT_NE(run.output.find("host: plugin_run returned 0"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(" from the ring (2 channels at 48000 Hz)"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find(", 0 from the ring"), std::string::npos) << run.output;
    }

    static std::string not_loaded() {
        return "host: " + utf8(kLibraryFile) + " is not loaded";
    }

    static inline std::string ring_;
    static inline std::unique_ptr<ChildProcess> companion_;
    fs::path root_;
};

#ifdef _WIN32
constexpr const char* kSeparator = "\\";
#else
constexpr const char* kSeparator = "/";
#endif

// (a) The loader takes the library from the plug-in's folder; its name is outside any ANSI code page.
TEST_F(Shipping, LoaderLoadsTheLibraryFromThePluginsFolder) {
    std::vector<fs::path> plugins{loader_plugin()};
#ifdef ONDARA_SHIPPING_LOADER_CXX_PLUGIN
    plugins.push_back(built(ONDARA_SHIPPING_LOADER_CXX_PLUGIN));  // the loader compiled as C++ too
#endif
    for (const fs::path& plugin : plugins) {
        const fs::path a = plugin_folder(u8"A Ωμέγα 插件 " + plugin.stem().u8string(),
                                         {{plugin, plugin.filename()}, {library(), kLibraryFile}});
        const HostRun run = run_host(a / plugin.filename(), "loader");
        EXPECT_EQ(run.code, 0) << run.output;
        expect_rendered_ring_audio(run);
        EXPECT_NE(run.output.find("plugin: loaded " + utf8(a) + kSeparator + utf8(kLibraryFile)), std::string::npos)
            << run.output;
        // Unloaded again with the plug-in's last reference.
        EXPECT_NE(run.output.find(not_loaded()), std::string::npos) << run.output;
    }
}

// (a) again from a folder whose path is longer than MAX_PATH.
TEST_F(Shipping, LoaderHandlesPathsLongerThanMaxPath) {
    const fs::path a = plugin_folder(fs::path(std::string(120, 'p')) / (u8"Ωμέγα-" + std::u8string(110, u8'q')),
                                     {{loader_plugin(), loader_plugin().filename()}, {library(), kLibraryFile}});
    ASSERT_GT(utf8(a / kLibraryFile).size(), 300u);
    const HostRun run = run_host(a / loader_plugin().filename(), "long");
    EXPECT_EQ(run.code, 0) << run.output;
    expect_rendered_ring_audio(run);
    EXPECT_NE(run.output.find(utf8(a.filename()) + kSeparator + utf8(kLibraryFile)), std::string::npos) << run.output;
#ifdef _WIN32
    EXPECT_NE(run.output.find("plugin: loaded \\\\?\\"), std::string::npos) << run.output;
#endif

    // A long folder of the caller's own, given with forward slashes and a step back: made one full
    // path before it takes the \\?\ form, which allows neither.
    const fs::path lib = plugin_folder(fs::path(std::string(120, 'p')) / (u8"lib-" + std::u8string(110, u8'r')),
                                       {{library(), kLibraryFile}});
    const fs::path b = plugin_folder("B-plugin", {{loader_plugin(), loader_plugin().filename()}});
    const std::u8string generic = (a / ".." / lib.filename()).generic_u8string();
    const std::string given(generic.begin(), generic.end());
    set_environment("PLUGIN_LIBRARY_DIR", given.c_str());
    const HostRun named = run_host(b / loader_plugin().filename(), "long-given");
    set_environment("PLUGIN_LIBRARY_DIR", nullptr);
    EXPECT_EQ(named.code, 0) << named.output;
    expect_rendered_ring_audio(named);
    EXPECT_NE(named.output.find(utf8(lib.filename()) + kSeparator + utf8(kLibraryFile)), std::string::npos)
        << named.output;
#ifdef _WIN32
    EXPECT_NE(named.output.find("plugin: loaded \\\\?\\"), std::string::npos) << named.output;
    EXPECT_EQ(named.output.find(".."), std::string::npos) << named.output;
#endif
}

// (b) Linked with the static archive: nothing else to ship, and the library is never loaded.
TEST_F(Shipping, StaticallyLinkedPluginNeedsNoLibrary) {
    const fs::path a = plugin_folder("A", {{static_plugin(), static_plugin().filename()}});
    const HostRun run = run_host(a / static_plugin().filename(), "static");
    EXPECT_EQ(run.code, 0) << run.output;
    expect_rendered_ring_audio(run);
    EXPECT_NE(run.output.find(not_loaded()), std::string::npos) << run.output;
}

// (b) again, from a project in C that vendors the tree: the shipping_vendor test builds that plug-in
// and runs this test on it.
TEST_F(Shipping, VendoredPluginFromACProjectLoadsAndRuns) {
    const char* built_plugin = std::getenv("ONDARA_SHIPPING_VENDORED_PLUGIN");
    if (built_plugin == nullptr) GTEST_SKIP() << "run by the shipping_vendor test";
    const fs::path plugin = built_plugin;
    const fs::path a = plugin_folder("A", {{plugin, plugin.filename()}});
    const HostRun run = run_host(a / plugin.filename(), "vendored");
    EXPECT_EQ(run.code, 0) << run.output;
    expect_rendered_ring_audio(run);
    EXPECT_NE(run.output.find(not_loaded()), std::string::npos) << run.output;
}

// (c) The loader with no library in the plug-in's folder: a status and a message that name the file
// and the system's reason, and the plug-in goes on (here: it returns its own error code).
TEST_F(Shipping, LoaderWithoutTheLibrarySaysWhatIsMissing) {
    const fs::path a = plugin_folder("A", {{loader_plugin(), loader_plugin().filename()}});
    const HostRun run = run_host(a / loader_plugin().filename(), "missing");
    EXPECT_EQ(run.code, 13) << run.output;  // 10 + ONDARA_LOAD_LIBRARY_NOT_LOADED
    const std::string wanted = "cannot load " + utf8(a) + kSeparator + utf8(kLibraryFile);
    EXPECT_NE(run.output.find(wanted), std::string::npos) << run.output;
#ifdef _WIN32
    EXPECT_NE(run.output.find("plugin: ondara_api_load: status 3, os error 126: " + wanted + ": error 126 ("),
              std::string::npos)
        << run.output;
#else
    EXPECT_NE(run.output.find("plugin: ondara_api_load: status 3, os error 0: " + wanted + ": "), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("cannot open shared object file"), std::string::npos) << run.output;
#endif

    // A file of that name that is not the library (here: the static plug-in) is let go again.
    const fs::path b =
        plugin_folder("A-foreign", {{loader_plugin(), loader_plugin().filename()}, {static_plugin(), kLibraryFile}});
    const HostRun foreign = run_host(b / loader_plugin().filename(), "foreign");
    EXPECT_EQ(foreign.code, 14) << foreign.output;  // 10 + ONDARA_LOAD_FUNCTION_MISSING
    EXPECT_NE(foreign.output.find("missing ondara_receiver_status_message, functions all NULL"), std::string::npos)
        << foreign.output;
#ifdef _WIN32
    EXPECT_NE(foreign.output.find("status 4, os error 127: "), std::string::npos) << foreign.output;
#endif
    EXPECT_NE(foreign.output.find(utf8(b / kLibraryFile) + " has no function ondara_receiver_status_message"),
              std::string::npos)
        << foreign.output;
    EXPECT_NE(foreign.output.find(not_loaded()), std::string::npos) << foreign.output;
}

// (e) A session with several plug-ins: two linked with the archive, two loader plug-ins each with a
// file of the library in its own folder, so four copies of the library in one host. Their publishers'
// tokens all differ, a live writer of one copy keeps the block against the others, and nothing of the
// numbering they share outlives the host.
TEST_F(Shipping, CopiesOfTheLibraryInOneHostKeepTheirPublishersApart) {
    std::vector<std::string> args{"--share", segment_name("share-mic")};
    for (const char* folder : {"S1", "S2"}) {
        args.push_back(utf8(plugin_folder(folder, {{static_plugin(), static_plugin().filename()}}) /
                            static_plugin().filename()));
    }
    for (const char* folder : {"L1", "L2"}) {
        const fs::path a =
            plugin_folder(folder, {{loader_plugin(), loader_plugin().filename()}, {library(), kLibraryFile}});
        args.push_back(utf8(a / loader_plugin().filename()));
    }
    std::vector<std::string> names{args[1]};
    for (int k = 1; k <= 6; ++k) names.push_back(args[1] + "-" + std::to_string(k));
    std::string error;
    std::vector<std::unique_ptr<SharedSegment>> kept;
    for (const std::string& n : names) {
        SharedSegment::remove_name(n);
#ifdef _WIN32
        kept.push_back(SharedSegment::create(n, sizeof(ondara::MicLevelBlock), error));  // outlive the host
        ASSERT_TRUE(kept.back()) << error;
#endif
    }
    const std::string out = segment_name("share") + ".out";
    ChildProcess child = ChildProcess::start(utf8(root_ / "B" / host().filename()), args, out);
    ASSERT_TRUE(child.started()) << child.error();
    const std::optional<int> code = child.wait_for(kTimeout);
    if (!code) child.kill();
    const std::string output = child.output();
    std::remove(out.c_str());
    std::cout << output;
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("host: 6 publishers in 4 plug-ins"), std::string::npos) << output;

    std::vector<ondara::MicLevelBlock> blocks;
    for (const std::string& n : names) {
        const auto view = SharedSegment::open(n, SharedSegment::Access::ReadOnly, error);
        ASSERT_TRUE(view) << error;
        blocks.push_back(ondara::MicLevel::snapshot(static_cast<const ondara::MicLevelBlock*>(view->data())));
        SharedSegment::remove_name(n);
    }
    std::set<std::uint64_t> tokens;
    for (std::size_t k = 1; k < blocks.size(); ++k) {
        EXPECT_EQ(blocks[k].writer_token >> 32, child.pid());
        EXPECT_NE(blocks[k].writer_token & 0xFFFFFFFFu, 0u);
        tokens.insert(blocks[k].writer_token);
    }
    EXPECT_EQ(tokens.size(), 6u) << "two publishers share a token";

    // The first plug-in's publisher wrote first and keeps the block while its stamp is fresh, which
    // on a machine that stalled the host for longer than that is no longer so.
    const std::string took = "rounds on " + args[1] + " took ";
    const std::size_t at = output.find(took);
    ASSERT_NE(at, std::string::npos) << output;
    if (std::stoul(output.substr(at + took.size())) < 250) {
        EXPECT_EQ(blocks[0].level_a_db, -10.0f) << "another copy's publisher took the block";
    }

#ifdef _WIN32
    const std::wstring numbering = L"Local\\ondara-writer-serial-" + std::to_wstring(child.pid());
    const HANDLE left = OpenFileMappingW(FILE_MAP_READ, FALSE, numbering.c_str());
    EXPECT_EQ(left, nullptr) << "the writer numbering outlived the host";
    if (left != nullptr) CloseHandle(left);
#else
    for (const auto& entry : fs::directory_iterator("/dev/shm")) {
        EXPECT_EQ(entry.path().filename().string().find("writer"), std::string::npos) << entry.path();
    }
#endif
}

// Whether `text` is well-formed UTF-8 (no stray or missing continuation bytes).
bool valid_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t n = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

// (c) again with directories given by the caller: what the loader says about those it cannot use, a
// long one cut in its middle so that the system's reason still fits, and those it must accept.
TEST_F(Shipping, LoaderSaysWhyAGivenDirectoryFails) {
    const fs::path a = plugin_folder("A", {{loader_plugin(), loader_plugin().filename()}});
    auto run_with = [&](const std::string& dir, const std::string& tag) {
        set_environment("PLUGIN_LIBRARY_DIR", dir.c_str());
        HostRun run = run_host(a / loader_plugin().filename(), tag);
        set_environment("PLUGIN_LIBRARY_DIR", nullptr);
        return run;
    };
    const HostRun empty = run_with("(empty)", "empty");  // the plug-in passes ""
    EXPECT_EQ(empty.code, 11) << empty.output;
    EXPECT_NE(empty.output.find("status 1, os error 0: the directory is empty"), std::string::npos) << empty.output;
    EXPECT_NE(empty.output.find("missing none, functions all NULL"), std::string::npos) << empty.output;

    std::string deep = utf8(root_) + kSeparator;
    while (deep.size() < 5000) deep += "Ωμέγα插件 ";
    const HostRun cut = run_with(deep, "deep");
    EXPECT_EQ(cut.code, 13) << cut.output;
    EXPECT_TRUE(valid_utf8(cut.output)) << cut.output;
    EXPECT_NE(cut.output.find("..."), std::string::npos) << cut.output;
#ifdef _WIN32
    EXPECT_NE(cut.output.find(kLibraryFile.string() + ": error "), std::string::npos) << cut.output;
#else
    EXPECT_NE(cut.output.find(kLibraryFile.string() + ": "), std::string::npos) << cut.output;
#endif
    const std::size_t bytes = cut.output.find(", message of ");
    ASSERT_NE(bytes, std::string::npos) << cut.output;
    EXPECT_LT(std::stoul(cut.output.substr(bytes + 13)), 1024u);

    // The folder named outside any ANSI code page, given as it is.
    const fs::path named = plugin_folder(u8"L Ωμέγα 插件", {{library(), kLibraryFile}});
    const HostRun given = run_with(utf8(named), "named");
    EXPECT_EQ(given.code, 0) << given.output;
    EXPECT_NE(given.output.find("plugin: loaded " + utf8(named / kLibraryFile)), std::string::npos) << given.output;
#ifdef _WIN32
    const HostRun invalid = run_with("(invalid)", "invalid");  // the plug-in passes "\xC3\x28"
    EXPECT_EQ(invalid.code, 11) << invalid.output;
    EXPECT_NE(invalid.output.find("status 1, os error 1113: the directory is not valid UTF-8"), std::string::npos)
        << invalid.output;

    // A folder under MAX_PATH whose library path reaches it needs the \\?\ form; one given in that
    // form keeps its one prefix; a long UNC folder takes the \\?\UNC\ form.
    const std::size_t base = fs::absolute(root_).wstring().size() + 1;
    ASSERT_LT(base, 249u);
    const fs::path edge = plugin_folder(std::string(249 - base, 'e'), {{library(), kLibraryFile}});
    ASSERT_EQ(fs::absolute(edge).wstring().size() + 1 + kLibraryFile.wstring().size(), 260u);
    for (const std::string& dir : {utf8(fs::absolute(edge)), "\\\\?\\" + utf8(fs::absolute(edge))}) {
        const HostRun run = run_with(dir, "edge");
        EXPECT_EQ(run.code, 0) << run.output;
        EXPECT_NE(run.output.find("plugin: loaded \\\\?\\" + utf8(fs::absolute(edge))), std::string::npos) << run.output;
    }
    const HostRun unc = run_with("\\\\localhost\\share\\" + std::string(300, 'u'), "unc");
    EXPECT_EQ(unc.code, 13) << unc.output;
    EXPECT_NE(unc.output.find("cannot load \\\\?\\UNC\\localhost\\share\\uuu"), std::string::npos) << unc.output;
#endif
}

#ifdef _WIN32
// (d) The problem the loader and the archive solve: a plug-in linked with the import library does not
// load from its own folder, although ondara.dll is right beside it, since Windows resolves a DLL's
// imports from the host's search path. It loads with LOAD_WITH_ALTERED_SEARCH_PATH, which hosts do
// not pass: so the plug-in itself is sound.
TEST_F(Shipping, ImportLibraryPluginFailsToLoadFromItsFolder) {
    const fs::path a = plugin_folder("A", {{import_plugin(), import_plugin().filename()}, {library(), kLibraryFile}});
    const HostRun plain = run_host(a / import_plugin().filename(), "import");
    EXPECT_EQ(plain.code, 3) << plain.output;
    EXPECT_NE(plain.output.find("host: LoadLibraryExW failed: error 126"), std::string::npos) << plain.output;

    const HostRun altered = run_host(a / import_plugin().filename(), "altered", true);
    EXPECT_EQ(altered.code, 0) << altered.output;
    expect_rendered_ring_audio(altered);
    EXPECT_NE(altered.output.find("host: ondara.dll is loaded from " + utf8(a / kLibraryFile)), std::string::npos)
        << altered.output;
}
#else
// Linux resolves a plug-in's libraries through its rpath: with $ORIGIN the library beside the plug-in
// is found, without it the plug-in does not load.
TEST_F(Shipping, LinkedPluginFindsTheLibraryThroughItsOriginRpath) {
    const fs::path with =
        plugin_folder("A", {{import_plugin(), import_plugin().filename()}, {library(), kLibraryFile}});
    const HostRun run = run_host(with / import_plugin().filename(), "origin");
    EXPECT_EQ(run.code, 0) << run.output;
    expect_rendered_ring_audio(run);
    EXPECT_NE(run.output.find("host: " + utf8(kLibraryFile) + " is loaded"), std::string::npos) << run.output;

    const fs::path without = plugin_folder("A-alone", {{import_plugin(), import_plugin().filename()}});
    const HostRun alone = run_host(without / import_plugin().filename(), "alone");
    EXPECT_EQ(alone.code, 3) << alone.output;
    EXPECT_NE(alone.output.find("host: dlopen failed: " + utf8(kLibraryFile) + ": cannot open shared object file"),
              std::string::npos)
        << alone.output;
}
#endif

}  // namespace
