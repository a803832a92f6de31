// The bash completion script, run by bash itself: the words it offers for
// a command line being typed, with a stand-in tarnwick on PATH for the
// session ids.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Completion : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-completion-XXXXXX";
        const char *made = mkdtemp(pattern);
        ASSERT_NE(nullptr, made);
        dir_ = made;
        fs::create_directories(dir_ + "/bin");
        fs::create_directories(dir_ + "/work/sub");
        for (const char *name : {"a.zcx", "b.img", "sub/c.zcx"})
            std::ofstream(dir_ + "/work/" + name) << "x";
        // What "tarnwick sessions --json" prints while two sessions exist.
        std::ofstream(dir_ + "/bin/tarnwick")
            << "#!/bin/sh\n[ \"$1 $2\" = 'sessions --json' ] && echo "
               "'[{\"id\":\"11111111-0000-4000-8000-000000000000\",\"phase\":\"mounted\"},"
               "{\"id\":\"22222222-0000-4000-8000-000000000000\",\"phase\":\"mounted\"}]'\n";
        chmod((dir_ + "/bin/tarnwick").c_str(), 0755);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // The words offered for the command line `line` (the cursor at its end),
    // sorted, on one line.
    std::string complete(const std::string &line) {
        const std::string script = dir_ + "/run.sh";
        std::ofstream(script) << "cd " << dir_ << "/work || exit 1\n"
                              << "PATH=" << dir_ << "/bin:$PATH\n"
                              << ". " << TW_SOURCE_DIR << "/cli/completion/tarnwick.bash\n"
                              << "read -r -a COMP_WORDS <<< \"" << line << "\"\n"
                              << (line.ends_with(" ") ? "COMP_WORDS+=(\"\")\n" : "")
                              << "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                              << "_tarnwick\n"
                              << "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | tr '\\n' ' '\n";
        FILE *p = popen(("bash --norc " + script + " 2>&1").c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t n;
        while (p != nullptr && (n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        if (p != nullptr)
            pclose(p);
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out;
    }

    std::string dir_;
};

TEST_F(Completion, OffersWhatEachPlaceOfTheCommandLineTakes) {
    struct Case {
        const char *line;
        const char *offered;
    } cases[] = {
        {"tarnwick mo", "mount"},
        {"tarnwick re", "recover-replacement rekey repair replace restart-service"},
        {"tarnwick s", "service-status sessions stop-service"},
        {"tarnwick mount a.zcx --", "--experimental-write --json --label --partition "
                                    "--password-stdin"},
        {"tarnwick sessions --", "--json"},
        {"tarnwick convert a.zcx b.zcx --algorithm ", "AES-256-XTS SSE1 XChaCha20 XOR"},
        {"tarnwick create out.zcx 64 --experimental-compression ", "fast off"},
        {"tarnwick create out.zcx 64 --experimental-compression fast ", "16384 4096 65536"},
        {"tarnwick create out.zcx 64 ", "exfat fat32 ntfs"},
        {"tarnwick unmount ",
         "11111111-0000-4000-8000-000000000000 22222222-0000-4000-8000-000000000000"},
        {"tarnwick unmount 2", "22222222-0000-4000-8000-000000000000"},
        // Containers and folders for commands that take a container; any
        // file where plain images are as likely.
        {"tarnwick mount ", "a.zcx sub"},
        {"tarnwick mount sub/", "sub/c.zcx"},
        {"tarnwick convert ", "a.zcx b.img sub"},
        {"tarnwick mount a.zcx --partition ", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.offered, complete(c.line)) << c.line;
}

} // namespace
