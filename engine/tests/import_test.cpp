// "import-veracrypt" and "import-recover" through the real engine: the
// sandboxed worker, the staged file, the parent's check and publishing, the
// refusals, a misbehaving worker, a killed engine and the staging sweep.
//
// Volumes come from the test-only writer (veracrypt_writer.h). The FAT32 and
// NTFS volumes that must import are also opened by cryptsetup, which shows
// the same master keys (AES-256-XTS with PBKDF2-HMAC-SHA-512 is the one kind
// it can read here without the kernel's crypto API). The refused kinds
// (Camellia, SHA-256, another PIM) are beyond what cryptsetup can check on
// these machines; their refusal does not depend on the writer being right.
#include "container/tests/support/tool_images.h"
#include "engine/engine.h"
#include "engine/import_protocol.h"
#include "engine/tests/support/request.h"
#include "engine/tests/support/veracrypt_writer.h"
#include "platform/io.h"
#include "runtime/json.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

// ---- This test program as a misbehaving engine
//
// Started under a name "import-hook-MODE" (a hard link of this program), it
// runs as the engine (see main below); its import worker then misbehaves in
// the chosen way once its sandbox is proven.

std::string own_name() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    path[n] = 0;
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string g_hook_mode;

void write_record(int fd, uint32_t type, uint32_t phase, uint32_t reserved, uint64_t total,
                  uint64_t done) {
    uint8_t bytes[kImportRecordSize] = {};
    ImportRecord r;
    r.type = type;
    r.phase = phase;
    r.reserved = reserved;
    r.total = total;
    r.done = done;
    import_record_encode(r, bytes);
    if (write(fd, bytes, sizeof bytes) != ssize_t(sizeof bytes))
        _exit(90);
}

// Takes one message from the parent (with its descriptors, which are
// dropped).
void receive(size_t size) {
    std::vector<uint8_t> buffer(size);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)];
    iovec io{buffer.data(), size};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    if (recvmsg(kImportInputFd, &m, 0) != ssize_t(size))
        _exit(93);
}

// The worker's part of the protocol up to the copy, with a volume of
// `total` bytes.
void pretend_volume(int status_fd, uint64_t total) {
    write_record(status_fd, kImportStarted, 0, 0, 0, 0);
    receive(kImportPasswordMessageSize);
    write_record(status_fd, kImportVolumeOpened, 0, 0, total, 0);
}

void misbehave(int status_fd) {
    const std::string &m = g_hook_mode;
    constexpr uint64_t kTotal = 1 << 20;
    if (m == "open") {
        int fd = open("/etc/hostname", O_RDONLY | O_CLOEXEC);
        _exit(fd >= 0 ? 91 : 92);
    } else if (m == "socket") {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        _exit(fd >= 0 ? 91 : 92);
    } else if (m == "fork") {
        pid_t pid = fork();
        _exit(pid >= 0 ? 91 : 92);
    } else if (m == "reserved") {
        // A record with bytes 12 to 15 set, then a valid one.
        write_record(status_fd, kImportStarted, 0, 1, 0, 0);
    } else if (m == "done-above-total") {
        write_record(status_fd, kImportStarted, 0, 0, 0, 512);
    } else if (m == "odd-total") {
        pretend_volume(status_fd, 1000);
        _exit(0);
    } else if (m == "phase-back") {
        pretend_volume(status_fd, kTotal);
        receive(kImportOutputRequestSize);
        write_record(status_fd, kImportProgress, kImportPhaseVerifying, 0, kTotal, 0);
        write_record(status_fd, kImportProgress, kImportPhaseImporting, 0, kTotal, 0);
        _exit(0);
    } else if (m == "early-finish") {
        pretend_volume(status_fd, kTotal);
        receive(kImportOutputRequestSize);
        write_record(status_fd, kImportProgress, kImportPhaseImporting, 0, kTotal, kTotal);
        write_record(status_fd, kImportProgress, kImportPhaseVerifying, 0, kTotal, kTotal / 2);
        write_record(status_fd, kImportFinished, 0, 0, kTotal, kTotal);
        _exit(0);
    }
}

// ---- Helpers

using test::ToolImages;

std::vector<uint8_t> read_file(const std::string &path) {
    return ToolImages::read(path);
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string make_folder(const std::string &path) {
    mkdir(path.c_str(), 0700);
    return path;
}

struct Event {
    std::string event, code, message, phase;
    int64_t kept = -1;
    bool has_metadata_error = false;
};

Event last_event(const test::EngineRun &run) {
    Event e;
    std::vector<std::string> lines = run.lines();
    if (lines.empty())
        return e;
    JsonValue *v = json_parse_text(lines.back().c_str());
    if (v == nullptr)
        return e;
    e.event = json_get_string(v, "event", "");
    e.code = json_get_string(v, "code", "");
    e.message = json_get_string(v, "message", "");
    e.kept = json_get_int(v, "importRecordsKept", -1);
    e.has_metadata_error = json_get(v, "metadataError") != nullptr;
    json_free(v);
    return e;
}

constexpr const char *kVeraPassword = "vera password";
constexpr const char *kNewPassword = "new container password";

// The volumes every case shares, made once: their key derivations are the
// expensive part.
struct Volumes {
    std::string dir;
    std::string fat32, ntfs;
    std::vector<uint8_t> fat32_image, ntfs_image;
    std::vector<uint8_t> fat32_keys, ntfs_keys;
    static Volumes &get() {
        static Volumes v = [] {
            Volumes made;
            made.dir = ToolImages::get().dir();
            made.fat32_image = ToolImages::get().image("fat32");
            made.ntfs_image = ToolImages::get().image("ntfs");
            made.fat32 = made.dir + "/fat32.hc";
            made.ntfs = made.dir + "/ntfs.hc";
            test::VeraCryptSettings s;
            s.password = kVeraPassword;
            EXPECT_TRUE(
                test::write_veracrypt_volume(made.fat32, made.fat32_image, s, &made.fat32_keys));
            EXPECT_TRUE(
                test::write_veracrypt_volume(made.ntfs, made.ntfs_image, s, &made.ntfs_keys));
            return made;
        }();
        return v;
    }
};

class ImportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-import-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work_ = pattern;
        home_ = make_folder(work_ + "/home");
        out_ = make_folder(work_ + "/out");
        staging_ = home_ + "/.local/share/Tarnwick/import-staging";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(work_, ignored);
    }

    test::EngineRun run(const std::vector<std::string> &args, const std::vector<uint8_t> &input,
                        const std::string &program = {},
                        const std::function<void(const std::string &, int)> &on_line = nullptr) {
        return test::run_engine_with(program, home_, args, input, on_line);
    }

    test::EngineRun import(const std::string &source, const std::string &output,
                           const std::string &password = kVeraPassword,
                           const std::string &program = {},
                           const std::function<void(const std::string &, int)> &on_line = nullptr) {
        test::Request r;
        r.kind = 2;
        r.password = password;
        r.new_password = kNewPassword;
        return run({"import-veracrypt", source, output}, test::encode(r), program, on_line);
    }

    std::vector<uint8_t> export_image(const std::string &container) {
        test::Request r;
        r.kind = 1;
        r.password = kNewPassword;
        std::string plain = work_ + "/exported.img";
        test::EngineRun e = run({"export", container, plain}, test::encode(r));
        EXPECT_EQ(e.exit_code, 0) << e.out << e.err;
        std::vector<uint8_t> bytes = read_file(plain);
        std::filesystem::remove(plain);
        return bytes;
    }

    // Nothing of a failed import may be left behind.
    void expect_nothing_left() {
        EXPECT_EQ(names_in(out_), std::vector<std::string>{});
        EXPECT_EQ(names_in(staging_), std::vector<std::string>{});
    }

    std::string work_, home_, out_, staging_;
};

// ---- Imports that succeed

TEST_F(ImportTest, Fat32AndNtfsImportToContainersThatExportTheSameImage) {
    Volumes &v = Volumes::get();
    struct Case {
        const char *name;
        const std::string &volume;
        const std::vector<uint8_t> &image;
        const std::vector<uint8_t> &keys;
    };
    const Case cases[] = {
        {"fat32", v.fat32, v.fat32_image, v.fat32_keys},
        {"ntfs", v.ntfs, v.ntfs_image, v.ntfs_keys},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // The fixture is what cryptsetup reads too.
        ASSERT_EQ(test::cryptsetup_master_keys(c.volume, kVeraPassword), c.keys);
        const std::vector<uint8_t> before = read_file(c.volume);
        const std::string output = out_ + "/" + c.name + ".zcx";

        std::vector<std::string> phases;
        test::EngineRun r =
            import(c.volume, output, kVeraPassword, {}, [&](const std::string &line, int) {
                JsonValue *e = json_parse_text(line.c_str());
                if (e && json_get(e, "phase"))
                    phases.push_back(json_get_string(e, "phase", ""));
                json_free(e);
            });
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        Event e = last_event(r);
        EXPECT_EQ(e.event, "result");
        EXPECT_EQ(e.kept, -1);
        EXPECT_FALSE(e.has_metadata_error);
        EXPECT_NE(r.out.find("\"algorithm\":9"), std::string::npos) << r.out;
        ASSERT_FALSE(phases.empty());
        EXPECT_EQ(phases.front(), "importing");
        EXPECT_NE(std::find(phases.begin(), phases.end(), "verifying"), phases.end());
        EXPECT_EQ(phases.back(), "checking");

        EXPECT_EQ(names_in(out_), std::vector<std::string>{std::string(c.name) + ".zcx"});
        EXPECT_EQ(names_in(staging_), std::vector<std::string>{});
        EXPECT_TRUE(export_image(output) == c.image);
        EXPECT_TRUE(read_file(c.volume) == before) << "the VeraCrypt file changed";
        std::filesystem::remove(output);
    }
}

// The engine as an ordinary user (the sandbox has no privilege to lean on).
TEST_F(ImportTest, ImportsAsAnOrdinaryUser) {
    test::UserFolder user(65534);
    if (!user.skip_reason.empty())
        GTEST_SKIP() << user.skip_reason;
    Volumes &v = Volumes::get();
    const std::string source = user.put("v.hc", read_file(v.fat32), 0600);
    test::Request request;
    request.kind = 2;
    request.password = kVeraPassword;
    request.new_password = kNewPassword;
    const std::string output = user.path + "/new.zcx";
    test::EngineRun r = test::run_engine_as_user(user.uid, {"import-veracrypt", source, output},
                                                 test::encode(request));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(last_event(r).event, "result") << r.out;
    struct stat st {};
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
}

// ---- Refusals

TEST_F(ImportTest, RefusesEveryOtherKindWithItsMessage) {
    Volumes &v = Volumes::get();
    const std::string dir = work_;
    // Every refusal comes before the data is looked at: a small data area.
    const std::vector<uint8_t> image(1 << 20, 0);
    // Volumes of the kinds cryptsetup can read here (AES with SHA-512) are
    // checked with it: the refusal is then about the setting the case is
    // about, not about a header the writer got wrong.
    auto volume = [&](const std::string &name, const test::VeraCryptSettings &s) {
        std::string path = dir + "/" + name + ".hc";
        std::vector<uint8_t> keys;
        EXPECT_TRUE(test::write_veracrypt_volume(path, image, s, &keys));
        if (!s.camellia && !s.sha256 && s.iterations == 500000) {
            EXPECT_EQ(test::cryptsetup_master_keys(path, s.password), keys) << name;
        }
        return path;
    };
    auto settings = [] {
        test::VeraCryptSettings s;
        s.password = kVeraPassword;
        return s;
    };
    test::VeraCryptSettings hidden = settings();
    hidden.hidden_size = 1 << 20;
    hidden.hidden_header_copy = true;
    test::VeraCryptSettings pim = settings();
    pim.iterations = 15000 + 1000 * 10; // PIM 10
    test::VeraCryptSettings camellia = settings();
    camellia.camellia = true;
    test::VeraCryptSettings sha256 = settings();
    sha256.sha256 = true;
    test::VeraCryptSettings sectors = settings();
    sectors.sector_size = 4096;

    const std::vector<uint8_t> full = read_file(v.fat32);
    ASSERT_GT(full.size(), 262144u);
    const std::vector<uint8_t> truncated(full.begin(), full.end() - 65536);
    std::vector<uint8_t> random(image.size() + 262144);
    ASSERT_EQ(random_fill(random.data(), random.size()), 0);

    constexpr const char *kCredentials =
        "The VeraCrypt header could not be unlocked. Check the password. Tarnwick imports "
        "standard AES volumes with SHA-512 and the default PIM.";
    constexpr const char *kUnsupported =
        "Tarnwick cannot import this VeraCrypt volume yet: it uses other settings, or the file "
        "is incomplete. The VeraCrypt file was not changed.";
    struct Case {
        const char *name;
        std::string path;
        std::string password;
        const char *code;
        const char *message;
        int exit_code;
    };
    const Case cases[] = {
        {"wrong password", v.fat32, "wrong password", "credentials", kCredentials, 2},
        {"hidden volume", volume("hidden", hidden), kVeraPassword, "unsupported", kUnsupported, 1},
        {"PIM 10", volume("pim", pim), kVeraPassword, "credentials", kCredentials, 2},
        {"Camellia", volume("camellia", camellia), kVeraPassword, "credentials", kCredentials, 2},
        {"SHA-256", volume("sha256", sha256), kVeraPassword, "credentials", kCredentials, 2},
        {"4096-byte sectors", volume("sectors", sectors), kVeraPassword, "unsupported",
         kUnsupported, 1},
        {"truncated", ToolImages::get().write("truncated.hc", truncated), kVeraPassword,
         "unsupported", kUnsupported, 1},
        {"random bytes", ToolImages::get().write("random.hc", random), kVeraPassword, "credentials",
         kCredentials, 2},
        {"too small", ToolImages::get().write("small.hc", std::vector<uint8_t>(131072, 7)),
         kVeraPassword, "unsupported", kUnsupported, 1},
        {"129-byte password", v.fat32, std::string(129, 'p'), "credentials",
         "VeraCrypt passwords are 1 to 128 bytes long.", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> before = read_file(c.path);
        test::EngineRun r = import(c.path, out_ + "/new.zcx", c.password);
        Event e = last_event(r);
        EXPECT_EQ(e.code, c.code) << r.out << r.err;
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(r.exit_code, c.exit_code);
        expect_nothing_left();
        EXPECT_TRUE(read_file(c.path) == before);
    }
}

TEST_F(ImportTest, RefusesOutputsThatAreTakenOrUnnamed) {
    Volumes &v = Volumes::get();
    ToolImages::get().write("taken.zcx", {1, 2, 3});
    const std::string taken = ToolImages::get().dir() + "/taken.zcx";
    struct Case {
        std::string output;
        const char *code;
        const char *message;
    };
    const std::string open_folder = make_folder(work_ + "/open");
    chmod(open_folder.c_str(), 0777);
    const Case cases[] = {
        {taken, "destinationExists", "The destination already exists. Choose a new filename."},
        {open_folder + "/new.zcx", "destination",
         "Choose a local destination folder owned by your account that other users cannot "
         "modify."},
        {out_ + "/", "usage", "Choose a file name for the new container."},
        {out_ + "/..", "usage", "Choose a file name for the new container."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output);
        test::EngineRun r = import(v.fat32, c.output);
        Event e = last_event(r);
        EXPECT_EQ(e.code, c.code) << r.out << r.err;
        EXPECT_EQ(e.message, c.message);
    }
    EXPECT_EQ(read_file(taken), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(names_in(open_folder), std::vector<std::string>{});
    expect_nothing_left();
}

TEST_F(ImportTest, RefusesSourcesThatAreNotPlainLocalFiles) {
    Volumes &v = Volumes::get();
    const std::string link = work_ + "/link.hc";
    ASSERT_EQ(symlink(v.fat32.c_str(), link.c_str()), 0);
    constexpr const char *kStorage =
        "Choose an original VeraCrypt container file on a local ext4, XFS or Btrfs disk. Network "
        "paths, cloud placeholders and file links are unsupported.";
    struct Case {
        std::string source;
        const char *code;
        const char *message;
    };
    const Case cases[] = {
        {link, "storage", kStorage},
        {out_, "storage", kStorage},
        {work_ + "/missing.hc", "io", "No such file or directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source);
        test::EngineRun r = import(c.source, out_ + "/new.zcx");
        Event e = last_event(r);
        EXPECT_EQ(e.code, c.code) << r.out << r.err;
        EXPECT_EQ(e.message, c.message);
        expect_nothing_left();
    }
}

TEST_F(ImportTest, OutputThatAppearsDuringTheImportIsKept) {
    Volumes &v = Volumes::get();
    const std::string output = out_ + "/new.zcx";
    bool made = false;
    test::EngineRun r =
        import(v.fat32, output, kVeraPassword, {}, [&](const std::string &line, int) {
            if (!made && line.find("\"importing\"") != std::string::npos) {
                made = true;
                ToolImages::get().write("appeared", {4, 5, 6});
                std::filesystem::rename(ToolImages::get().dir() + "/appeared", output);
            }
        });
    ASSERT_TRUE(made);
    Event e = last_event(r);
    EXPECT_EQ(e.code, "destinationExists") << r.out << r.err;
    EXPECT_EQ(e.message,
              "A file with this name appeared during the import and was kept. Choose a new file "
              "name.");
    EXPECT_EQ(read_file(output), (std::vector<uint8_t>{4, 5, 6}));
    EXPECT_EQ(names_in(out_), std::vector<std::string>{"new.zcx"});
    EXPECT_EQ(names_in(staging_), std::vector<std::string>{});
}

// ---- The sandbox

// Links this test program under the name that makes it a misbehaving
// engine; removed when the test ends.
class HookedEngine {
  public:
    explicit HookedEngine(const std::string &mode) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            self[n] = 0;
            std::string folder(self, std::strrchr(self, '/') - self);
            path_ = folder + "/import-hook-" + mode;
            unlink(path_.c_str());
            if (link(self, path_.c_str()) != 0)
                std::filesystem::copy_file(self, path_);
        }
    }
    ~HookedEngine() { unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

TEST_F(ImportTest, WorkerIsKilledByItsFilterAndWrongRecordsAreRejected) {
    Volumes &v = Volumes::get();
    struct Case {
        const char *mode;
        const char *stderr_text; // what the engine says about the worker's end
    };
    const Case cases[] = {
        {"open", "ended by signal 31"},
        {"socket", "ended by signal 31"},
        {"fork", "ended by signal 31"},
        {"reserved", "malformed record"},
        {"done-above-total", "malformed record"},
        // A well-formed record out of its order.
        {"odd-total", ""},
        {"phase-back", ""},
        {"early-finish", ""},
    };
    const std::vector<uint8_t> before = read_file(v.fat32);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        HookedEngine engine(c.mode);
        test::EngineRun r = import(v.fat32, out_ + "/new.zcx", kVeraPassword, engine.path());
        Event e = last_event(r);
        EXPECT_EQ(e.code, "protection") << r.out << r.err;
        EXPECT_EQ(e.message,
                  "The isolated import process stopped unexpectedly. Nothing was saved.");
        EXPECT_NE(r.err.find(c.stderr_text), std::string::npos) << r.err;
        EXPECT_EQ(r.exit_code, 1);
        expect_nothing_left();
    }
    EXPECT_TRUE(read_file(v.fat32) == before);
}

// ---- Interruption and recovery

// A progress line of the copy: once the worker has written part of it (or,
// where the copy is too quick for a report in between, while it verifies
// what it wrote), well before the parent's own check and publishing.
bool copying(const std::string &line) {
    JsonValue *e = json_parse_text(line.c_str());
    const std::string phase = json_get_string(e, "phase", "");
    const bool result =
        (phase == "importing" && json_get_double(e, "fraction", 0) > 0) || phase == "verifying";
    json_free(e);
    return result;
}

TEST_F(ImportTest, KilledEngineLeavesNothingAndRecoverFindsNothingToKeep) {
    Volumes &v = Volumes::get();
    const std::string output = out_ + "/new.zcx";
    bool killed = false;
    test::EngineRun r =
        import(v.ntfs, output, kVeraPassword, {}, [&](const std::string &line, int pid) {
            if (!killed && copying(line)) {
                killed = true;
                kill(pid, SIGKILL);
            }
        });
    ASSERT_TRUE(killed) << r.out << r.err;
    EXPECT_EQ(r.exit_code, 128 + SIGKILL);
    test::EngineRun recover = run({"import-recover"}, {});
    EXPECT_EQ(recover.exit_code, 0) << recover.out << recover.err;
    EXPECT_EQ(last_event(recover).kept, 0);
    expect_nothing_left();
}

TEST_F(ImportTest, CancellationStopsTheCopyAndLeavesNothing) {
    Volumes &v = Volumes::get();
    bool cancelled = false;
    test::EngineRun r =
        import(v.ntfs, out_ + "/new.zcx", kVeraPassword, {}, [&](const std::string &line, int pid) {
            // The front-end that started the engine ends.
            if (!cancelled && copying(line)) {
                cancelled = true;
                kill(pid, SIGHUP);
            }
        });
    ASSERT_TRUE(cancelled);
    Event e = last_event(r);
    EXPECT_EQ(e.code, "cancelled") << r.out << r.err;
    EXPECT_EQ(e.message,
              "Import cancelled. The VeraCrypt file was not changed and no container was saved.");
    EXPECT_EQ(r.exit_code, 1);
    expect_nothing_left();
}

// Records as an import leaves them between naming its staged file and
// giving it the final name.
TEST_F(ImportTest, RecoverRemovesStagedFilesItCanProveAndKeepsTheRest) {
    ASSERT_EQ(run({"import-recover"}, {}).exit_code, 0); // makes the staging folder
    const std::string dest = make_folder(work_ + "/dest");
    auto identity = [](const std::string &path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    auto record = [&](const std::string &name, const std::string &folder,
                      const std::string &folder_id, const std::string &staged,
                      const std::string &staged_id) {
        std::string text = "{\"folder\":\"" + folder + "\",\"folderId\":\"" + folder_id +
                           "\",\"staged\":\"" + staged + "\",\"stagedId\":\"" + staged_id +
                           "\",\"version\":1}";
        ToolImages::get().write("record", std::vector<uint8_t>(text.begin(), text.end()));
        std::filesystem::rename(ToolImages::get().dir() + "/record", staging_ + "/" + name);
    };
    const std::string staged = ".tarnwick-0123456789abcdef01234567.tmp";
    const std::string other = ".tarnwick-fedcba9876543210fedcba98.tmp";
    ToolImages::get().write("s", {1});
    std::filesystem::rename(ToolImages::get().dir() + "/s", dest + "/" + staged);
    ToolImages::get().write("o", {2});
    std::filesystem::rename(ToolImages::get().dir() + "/o", dest + "/" + other);

    const std::string hex = "00000000000000000000000000000000";
    // The staged file is exactly the recorded one: it goes, and its record.
    record("a" + hex.substr(1) + ".json", dest, identity(dest), staged,
           identity(dest + "/" + staged));
    // The folder is gone: the record goes.
    record("b" + hex.substr(1) + ".json", work_ + "/gone", "1:1", staged, "1:2");
    // The folder's identity differs: kept, and so is the file.
    record("c" + hex.substr(1) + ".json", dest, "1:1", other, identity(dest + "/" + other));
    // The staged file is another one than recorded: kept.
    record("d" + hex.substr(1) + ".json", dest, identity(dest), other, "1:1");
    // Not a staged name: kept.
    record("e" + hex.substr(1) + ".json", dest, identity(dest), "container.zcx", "1:1");

    test::EngineRun r = run({"import-recover"}, {});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(last_event(r).kept, 3);
    EXPECT_EQ(names_in(dest), std::vector<std::string>{other});
    EXPECT_EQ(names_in(staging_), (std::vector<std::string>{"c" + hex.substr(1) + ".json",
                                                            "d" + hex.substr(1) + ".json",
                                                            "e" + hex.substr(1) + ".json"}));

    // An import reports what its sweep kept.
    Volumes &v = Volumes::get();
    test::EngineRun imported = import(v.fat32, out_ + "/new.zcx");
    EXPECT_EQ(imported.exit_code, 0) << imported.out << imported.err;
    EXPECT_EQ(last_event(imported).kept, 3);
}

} // namespace
} // namespace tw

// This program's own main (GoogleTest's is not linked in when a program has
// one): the tests, or the misbehaving engine.
int main(int argc, char **argv) {
    const std::string name = tw::own_name();
    const std::string prefix = "import-hook-";
    if (name.compare(0, prefix.size(), prefix) == 0) {
        tw::g_hook_mode = name.substr(prefix.size());
        tw::import_worker_set_hook_for_testing(tw::misbehave);
        return tw::engine_main(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
