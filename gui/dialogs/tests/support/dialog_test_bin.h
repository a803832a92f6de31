// Dialog tests run the client library in this process, and the library
// finds tarnwick-engine and tarnwick-service next to the running program.
// Before main, a dialog test program therefore moves into a private folder
// of its own (a hard link of itself, beside the build's test programs) with:
//   tarnwick-engine   the build's real engine, unless the test home holds an
//                     executable "fake-engine", which then runs instead
//   tarnwick-service  the scripted mount service of the command line's
//                     tests, answering from "service-script.json" beside it
// and starts again from there. The folder is removed when the program ends.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tw::test {

inline std::string &dialog_test_bin() {
    static std::string bin;
    return bin;
}

inline void dialog_test_bin_remove() {
    std::error_code ignored;
    if (!dialog_test_bin().empty())
        std::filesystem::remove_all(dialog_test_bin(), ignored);
}

// Writes the scripted service's replies (see cli/tests/tools).
inline void dialog_test_service_script(const std::string &json) {
    std::ofstream(dialog_test_bin() + "/service-script.json", std::ios::trunc) << json;
    std::filesystem::remove(dialog_test_bin() + "/service-requests.txt");
}

// The requests the scripted service received, one per line.
inline std::vector<std::string> dialog_test_service_requests() {
    std::vector<std::string> lines;
    std::ifstream in(dialog_test_bin() + "/service-requests.txt");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline bool dialog_test_relocate() {
    namespace fs = std::filesystem;
    if (const char *bin = std::getenv("TW_GUI_TEST_BIN")) {
        dialog_test_bin() = bin;
        unsetenv("TW_GUI_TEST_BIN");
        std::atexit(dialog_test_bin_remove);
        return true;
    }
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return false;
    exe[n] = 0;
    const fs::path self(exe);
    std::string pattern = (self.parent_path() / "gui-dialog-bin-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return false;
    const fs::path folder(pattern);
    const fs::path copy = folder / self.filename();
    std::error_code error;
    fs::create_hard_link(self, copy, error);
    if (error)
        fs::copy_file(self, copy, error);
    {
        std::ofstream engine(folder / "tarnwick-engine");
        engine << "#!/bin/sh\n"
                  "if [ -x \"$HOME/fake-engine\" ]; then exec \"$HOME/fake-engine\" \"$@\"; fi\n"
                  "exec '" TW_BIN_DIR "/tarnwick-engine' \"$@\"\n";
    }
    chmod((folder / "tarnwick-engine").c_str(), 0755);
    fs::copy_file(TW_BIN_DIR "/tarnwick-test-service", folder / "tarnwick-service", error);
    // The same arguments (gtest's filters and listing) for the new start.
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(cmdline)), {});
    std::vector<std::string> args;
    for (size_t start = 0; start < all.size();) {
        const size_t end = all.find('\0', start);
        args.push_back(all.substr(start, end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("TW_GUI_TEST_BIN", folder.c_str(), 1);
    execv(copy.c_str(), argv.data());
    fs::remove_all(folder, error);
    return false;
}

// Writes the fake engine: a shell script body that reads its arguments
// ("$@") and its credential request (standard input) and prints event lines.
inline void dialog_test_fake_engine(const std::string &home, const std::string &body) {
    const std::string path = home + "/fake-engine";
    std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

} // namespace tw::test
