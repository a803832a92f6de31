// Device imaging through the real broker, engine and command line, as root
// in a private mount namespace. No removable disk exists here, so a
// hand-built sysfs block folder is mounted over /sys/block: a removable USB
// disk and a fixed disk whose nodes are loop devices over mkfs.vfat and
// sfdisk images, and beside them the disk holding "/", a loop disk and a
// device-mapper disk. Engines run as unprivileged users; the administrator's
// approval comes from an engine run as root.
#include "broker/tests/support/broker_process.h"
#include "client/client.h"
#include "platform/loop_device.h"
#include "platform/tests/support/fake_sysfs.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::test {
namespace {

constexpr uid_t kAlice = 1000;
constexpr uid_t kBob = 1001;
constexpr const char *kNeedsApproval = "Device imaging needs an administrator's approval.";
constexpr const char *kChanged = "The device changed while it was read. No container was saved.";
constexpr const char *kPassword = "imaging password";

std::string bin(const char *program) {
    return std::string(TW_BIN_DIR) + "/" + program;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> folder_entries(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The kind-2 request of "image": no current password, the new one twice.
std::string image_request() {
    CredentialInput in;
    in.kind = 2;
    in.cipher = 9;
    std::span<const uint8_t> pw(reinterpret_cast<const uint8_t *>(kPassword),
                                std::strlen(kPassword));
    in.new_password = pw;
    in.confirmation = pw;
    SecureBuffer request;
    ClientOutcome err;
    EXPECT_EQ(0, credential_request_build(in, &request, &err)) << err.message;
    std::span<const uint8_t> bytes = request.span();
    return std::string(bytes.begin(), bytes.end());
}

// A program started as `uid` with pipes on its standard input and output.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    ~Child() {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

bool spawn(Child *c, const std::vector<std::string> &argv, const std::vector<std::string> &env,
           uid_t uid, int out_pipe_size = 0) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (out_pipe_size > 0)
        fcntl(out[1], F_SETPIPE_SZ, out_pipe_size);
    c->pid = fork();
    if (c->pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                         setresuid(uid, uid, uid) != 0))
            _exit(99);
        std::vector<char *> args, envp;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        environment.insert(environment.end(), env.begin(), env.end());
        for (std::string &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    c->in = in[1];
    c->out = out[0];
    return c->pid > 0;
}

std::string read_all(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// The last line of an engine's output, parsed.
JsonValue *last_event(const std::string &out) {
    std::string text = out;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    size_t start = text.rfind('\n');
    return json_parse_text(text.substr(start == std::string::npos ? 0 : start + 1).c_str());
}

struct Disk {
    std::string image;  // the file behind the loop device
    std::string device; // "/dev/loopN"
    int number = -1;
    std::string dev; // "7:N"
};

class Imaging : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &skip = enter_private_mounts();
        if (!skip.empty())
            GTEST_SKIP() << skip;
        char pattern[] = "/tmp/tw-imaging-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        work_ = pattern;
        chmod(work_.c_str(), 0755);
        for (uid_t uid : {uid_t{0}, kAlice, kBob})
            for (const char *kind : {"home", "run", "out"}) {
                std::string folder = user_folder(kind, uid);
                ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
                ASSERT_EQ(0, chown(folder.c_str(), uid, uid));
            }
        run_program({"/bin/rm", "-rf", "/var/lib/tarnwick/broker"});
        mkdir("/var/lib/tarnwick/broker", 0700);
    }

    void TearDown() override {
        broker_.stop();
        if (mounted_)
            umount2("/sys/block", MNT_DETACH);
        for (const Disk &d : disks_)
            loop_detach(d.device, 5000);
        if (!work_.empty())
            run_program({"/bin/rm", "-rf", work_});
    }

    std::string user_folder(const char *kind, uid_t uid) {
        return work_ + "/" + kind + "-" + std::to_string(uid);
    }

    std::vector<std::string> user_env(uid_t uid) {
        return {"HOME=" + user_folder("home", uid), "XDG_RUNTIME_DIR=" + user_folder("run", uid)};
    }

    // A loop device over an image made by `make` (a shell command on FILE).
    Disk make_disk(const char *name, uint64_t mib, const std::string &make) {
        Disk d;
        d.image = work_ + "/" + name + ".img";
        int rc = run_program({"/bin/sh", "-c",
                              "truncate -s " + std::to_string(mib) + "M '" + d.image + "' && " +
                                  make + " '" + d.image + "' >/dev/null 2>&1"})
                     .status;
        EXPECT_EQ(0, rc) << make;
        FileHandle file(open(d.image.c_str(), O_RDWR | O_CLOEXEC));
        LoopAttach attach;
        attach.backing_fd = file.get();
        EXPECT_EQ(0, loop_attach(attach, &d.device, &d.number));
        struct stat st;
        EXPECT_EQ(0, stat(d.device.c_str(), &st));
        d.dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        disks_.push_back(d);
        return d;
    }

    // The removable USB stick (FAT over `mib` MiB) and a fixed disk with a
    // partition table, plus the disks that must never be offered, mounted
    // over /sys/block; then the broker.
    void start(uint64_t mib = 8) {
        usb_ = make_disk("usb", mib, "mkfs.vfat -n STICK");
        Disk fixed = make_disk("fixed", 4, "echo 'label: dos' | sfdisk");
        auto entry = [](const Disk &d, bool removable, FakeBus bus, uint64_t mib_size) {
            FakeDisk f;
            f.name = "loop" + std::to_string(d.number);
            f.dev = d.dev;
            f.sectors = mib_size * 2048;
            f.removable = removable;
            f.bus = bus;
            return f;
        };
        std::vector<FakeDisk> tree = {entry(usb_, true, FakeBus::usb, mib),
                                      entry(fixed, false, FakeBus::ata, 4)};
        FakeDisk root = entry(fixed, true, FakeBus::usb, 4);
        root.name = "sdr";
        root.dev = root_device_text();
        FakeDisk loop = entry(fixed, true, FakeBus::usb, 4);
        loop.name = "sdl";
        loop.kind = FakeKind::loop;
        FakeDisk mapper = entry(fixed, true, FakeBus::usb, 4);
        mapper.name = "dm-7";
        mapper.kind = FakeKind::device_mapper;
        tree.insert(tree.end(), {root, loop, mapper});
        std::string block = fake_sysfs_build(work_ + "/sys", tree);
        ASSERT_EQ(0, mount(block.c_str(), "/sys/block", nullptr, MS_BIND, nullptr))
            << strerror(errno);
        mounted_ = true;
        ASSERT_TRUE(broker_.start());
        JsonValue *reply =
            json_parse_text(broker_request(R"({"action":"devices","version":1})", kAlice).c_str());
        identity_ = json_get_int(json_first(json_get(reply, "devices")), "identity", 0);
        json_free(reply);
        ASSERT_NE(0, identity_);
    }

    int approve(uid_t user, uid_t as = 0, const std::string &device = "") {
        return run_program({bin("tarnwick-engine"), "approve-imaging",
                            device.empty() ? usb_.device : device, std::to_string(identity_),
                            std::to_string(user)},
                           user_env(as), as)
            .status;
    }

    std::string output(uid_t uid, const char *name = "captured.zcx") {
        return user_folder("out", uid) + "/" + name;
    }

    // Runs "image" as `uid`; returns the exit code and the engine's output.
    int image(uid_t uid, const std::string &out_path, std::string *out,
              const std::string &device = "") {
        Child c;
        EXPECT_TRUE(spawn(&c,
                          {bin("tarnwick-engine"), "image", device.empty() ? usb_.device : device,
                           out_path, "9", std::to_string(identity_)},
                          user_env(uid), uid));
        std::string request = image_request();
        EXPECT_EQ(static_cast<ssize_t>(request.size()),
                  write(c.in, request.data(), request.size()));
        close(c.in);
        c.in = -1;
        *out = read_all(c.out);
        return c.wait();
    }

    void expect_error(const std::string &out, const char *code, const char *message) {
        JsonValue *event = last_event(out);
        EXPECT_STREQ("error", json_get_string(event, "event", "")) << out;
        EXPECT_STREQ(code, json_get_string(event, "code", "")) << out;
        EXPECT_STREQ(message, json_get_string(event, "message", "")) << out;
        json_free(event);
    }

    // Starts "image" as Alice with a one-page output pipe.
    void start_held_image(Child *c) {
        ASSERT_TRUE(spawn(c,
                          {bin("tarnwick-engine"), "image", usb_.device, output(kAlice), "9",
                           std::to_string(identity_)},
                          user_env(kAlice), kAlice, 4096));
        std::string request = image_request();
        ASSERT_EQ(static_cast<ssize_t>(request.size()),
                  write(c->in, request.data(), request.size()));
        close(c->in);
        c->in = -1;
    }

    // Reads events until the first pass is complete (an eighth of the way),
    // then stops reading: the pipe fills within a few dozen steps of the
    // second pass and holds the engine there.
    void hold_after_first_pass(Child *c, std::string *all) {
        std::string pending;
        bool first_pass_done = false;
        char buf[256];
        while (!first_pass_done) {
            ssize_t n = read(c->out, buf, sizeof buf);
            ASSERT_GT(n, 0) << *all;
            pending.append(buf, static_cast<size_t>(n));
            all->append(buf, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                JsonValue *event = json_parse_text(pending.substr(0, end).c_str());
                pending.erase(0, end + 1);
                if (std::strcmp(json_get_string(event, "phase", ""), "imaging") == 0 &&
                    json_get_double(event, "fraction", 0) >= 0.125)
                    first_pass_done = true;
                json_free(event);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }

    std::string usb_sysfs() { return work_ + "/sys/block/loop" + std::to_string(usb_.number); }

    std::string work_;
    bool mounted_ = false;
    std::vector<Disk> disks_;
    Disk usb_;
    int64_t identity_ = 0;
    BrokerProcess broker_;
};

TEST_F(Imaging, ListsExactlyTheEligibleDisk) {
    start();
    ProgramRun run = run_program({bin("tarnwick-engine"), "devices"}, user_env(kAlice), kAlice);
    ASSERT_EQ(0, run.status) << run.out << run.err;
    JsonValue *event = last_event(run.out);
    const JsonValue *devices = json_get(event, "devices");
    ASSERT_NE(nullptr, json_first(devices)) << run.out;
    const JsonValue *only = json_first(devices);
    EXPECT_EQ(nullptr, json_next(only)) << run.out;
    EXPECT_EQ(usb_.device, json_get_string(only, "path", ""));
    EXPECT_STREQ("ACME Stick", json_get_string(only, "name", ""));
    EXPECT_EQ(8 << 20, json_get_int(only, "size", 0));
    EXPECT_EQ(identity_, json_get_int(only, "identity", 0));
    json_free(event);

    run = run_program({bin("tarnwick"), "devices"}, user_env(kAlice), kAlice);
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(usb_.device + "  ACME Stick  8388608 bytes\n", run.out);
}

TEST_F(Imaging, ApprovalIsForOneUserAndOneLending) {
    start();
    std::string out;
    // Without approval the broker lends nothing.
    EXPECT_EQ(1, image(kAlice, output(kAlice), &out));
    expect_error(out, "io", kNeedsApproval);
    EXPECT_FALSE(exists(output(kAlice)));

    // Only an administrator's engine can approve.
    EXPECT_EQ(1, approve(kAlice, kAlice));
    EXPECT_EQ(0, approve(kAlice));

    // Alice's approval does not lend the device to Bob, and his attempt
    // does not use it up.
    EXPECT_EQ(1, image(kBob, output(kBob), &out));
    expect_error(out, "io", kNeedsApproval);
    EXPECT_FALSE(exists(output(kBob)));

    EXPECT_EQ(0, image(kAlice, output(kAlice), &out)) << out;
    JsonValue *event = last_event(out);
    EXPECT_STREQ("result", json_get_string(event, "event", "")) << out;
    EXPECT_EQ(8 << 20, json_get_int(event, "size", 0)) << out;
    json_free(event);
    EXPECT_TRUE(exists(output(kAlice)));

    // The approval served one lending.
    EXPECT_EQ(1, image(kAlice, output(kAlice, "second.zcx"), &out));
    expect_error(out, "io", kNeedsApproval);
    // Nothing but the published container was left in the folder.
    EXPECT_EQ(std::vector<std::string>{"captured.zcx"}, folder_entries(user_folder("out", kAlice)));
}

// The command line's elevation goes to this helper, which runs the engine as
// root (or declines).
struct ElevationHelper {
    PipeServer server;
    std::thread thread;
    std::atomic<bool> decline{false};
    std::vector<std::string> env;
    std::vector<std::string> seen; // the arguments of each elevation

    bool start(const std::string &path, std::vector<std::string> root_env) {
        env = std::move(root_env);
        if (pipe_create_server(path.c_str(), 0666, &server) != 0)
            return false;
        thread = std::thread([this] {
            FileHandle client;
            while (pipe_accept(&server, &client) == 0) {
                JsonValue *request = nullptr;
                if (pipe_receive_message(client.get(), 5000, &request) != 0)
                    return;
                if (json_get(request, "stop") != nullptr) {
                    json_free(request);
                    return;
                }
                std::vector<std::string> argv{bin("tarnwick-engine")};
                std::string joined;
                for (const JsonValue *a = json_first(json_get(request, "args")); a;
                     a = json_next(a)) {
                    argv.emplace_back(a->string_bytes);
                    joined += std::string(a->string_bytes) + " ";
                }
                json_free(request);
                seen.push_back(joined);
                int status = decline ? -1 : run_program(argv, env, 0).status;
                JsonValue *reply = json_new(JsonKind::Object);
                json_set_int(reply, "status", status);
                pipe_send_message(client.get(), reply);
                json_free(reply);
            }
        });
        return true;
    }

    void stop() {
        if (!thread.joinable())
            return;
        FileHandle fd;
        if (pipe_connect(server.path.c_str(), 1000, &fd) == 0) {
            JsonValue *m = json_parse_text(R"({"stop":true})");
            pipe_send_message(fd.get(), m);
            json_free(m);
        }
        thread.join();
        pipe_close_server(&server);
    }
    ~ElevationHelper() { stop(); }
};

TEST_F(Imaging, CommandLineCaptureExportsTheDeviceImage) {
    start();
    ElevationHelper helper;
    std::string socket = work_ + "/elevate.sock";
    ASSERT_TRUE(helper.start(socket, user_env(0)));
    std::vector<std::string> env = user_env(kAlice);
    env.push_back("TW_TEST_ELEVATION_SOCKET=" + socket);
    const std::string creds = std::string(R"({"newPassword":")") + kPassword +
                              R"(","confirmation":")" + kPassword + R"("})";
    auto cli_image = [&](const std::string &device, const std::string &out_path, Child *c) {
        EXPECT_TRUE(spawn(
            c, {bin("tarnwick-test-elevation"), "image", device, out_path, "--credentials-stdin"},
            env, kAlice));
        EXPECT_EQ(static_cast<ssize_t>(creds.size()), write(c->in, creds.data(), creds.size()));
        close(c->in);
        c->in = -1;
        return read_all(c->out);
    };

    // A device that is not in the list is refused before any approval.
    {
        Child c;
        std::string printed = cli_image("/dev/sda", output(kAlice), &c);
        EXPECT_EQ(1, c.wait());
        EXPECT_EQ("", printed);
    }
    // Declining the elevation is a cancellation; nothing is written.
    helper.decline = true;
    {
        Child c;
        std::string printed = cli_image(usb_.device, output(kAlice), &c);
        EXPECT_EQ(1, c.wait());
        EXPECT_EQ("", printed);
        EXPECT_FALSE(exists(output(kAlice)));
    }
    helper.decline = false;
    {
        Child c;
        std::string printed = cli_image(usb_.device, output(kAlice), &c);
        EXPECT_EQ(0, c.wait());
        EXPECT_EQ("Container created and verified: " + output(kAlice) +
                      "\nMounts default to read-only.\n",
                  printed);
    }
    helper.stop();
    // Only the approval ran elevated, for this device and user.
    ASSERT_EQ(2u, helper.seen.size());
    EXPECT_EQ("approve-imaging " + usb_.device + " " + std::to_string(identity_) + " 1000 ",
              helper.seen[1]);

    // The container holds exactly what the device held.
    const std::string exported = user_folder("out", kAlice) + "/exported.img";
    {
        Child c;
        ASSERT_TRUE(spawn(&c,
                          {bin("tarnwick"), "export", output(kAlice), exported, "--password-stdin"},
                          user_env(kAlice), kAlice));
        ASSERT_EQ(static_cast<ssize_t>(std::strlen(kPassword)),
                  write(c.in, kPassword, std::strlen(kPassword)));
        close(c.in);
        c.in = -1;
        read_all(c.out);
        ASSERT_EQ(0, c.wait());
    }
    EXPECT_EQ(0, run_program({"/usr/bin/cmp", exported, usb_.image}).status);
}

// The engine is held between its passes by a full output pipe, so a writer
// can change the device while the engine holds the lent descriptor: the
// descriptor refuses writes, and the changed device is refused.
TEST_F(Imaging, ChangeBetweenPassesIsRefusedAndTheLentDescriptorIsReadOnly) {
    const uint64_t mib = 128;
    start(mib);
    ASSERT_EQ(0, approve(kAlice));
    Child c;
    start_held_image(&c);

    std::string all;
    hold_after_first_pass(&c, &all);

    // The engine's descriptor of the device: a copy of it cannot write.
    int lent = -1;
    const std::string fds = "/proc/" + std::to_string(c.pid) + "/fd";
    for (const std::string &name : folder_entries(fds)) {
        char target[256] = {};
        if (readlink((fds + "/" + name).c_str(), target, sizeof target - 1) > 0 &&
            usb_.device == target)
            lent = std::stoi(name);
    }
    ASSERT_GE(lent, 0) << "the engine holds no descriptor of " << usb_.device;
    FileHandle pidfd(static_cast<int>(syscall(SYS_pidfd_open, c.pid, 0)));
    ASSERT_TRUE(pidfd.valid());
    FileHandle copy(static_cast<int>(syscall(SYS_pidfd_getfd, pidfd.get(), lent, 0)));
    ASSERT_TRUE(copy.valid()) << strerror(errno);
    EXPECT_EQ(O_RDONLY, fcntl(copy.get(), F_GETFL) & O_ACCMODE);
    char sector[512] = {};
    errno = 0;
    EXPECT_EQ(-1, pwrite(copy.get(), sector, sizeof sector, 0));
    EXPECT_EQ(EBADF, errno);
    copy.reset();

    // A writer changes the last MiB, which the second pass has not read yet.
    EXPECT_EQ(0, run_program({"/usr/bin/dd", "if=/dev/urandom", "of=" + usb_.device, "bs=1M",
                              "seek=" + std::to_string(mib - 1), "count=1", "conv=notrunc,fsync"})
                     .status);
    all += read_all(c.out);
    EXPECT_EQ(1, c.wait());
    expect_error(all, "io", kChanged);
    EXPECT_FALSE(exists(output(kAlice)));
    EXPECT_EQ(std::vector<std::string>{}, folder_entries(user_folder("out", kAlice)));
}

} // namespace
} // namespace tw::test

namespace tw::test {
namespace {

TEST_F(Imaging, CancellingDuringTheSecondPassLeavesNothing) {
    start(128);
    ASSERT_EQ(0, approve(kAlice));
    Child c;
    start_held_image(&c);
    std::string all;
    hold_after_first_pass(&c, &all);
    kill(c.pid, SIGTERM);
    all += read_all(c.out);
    EXPECT_EQ(1, c.wait());
    expect_error(all, "cancelled", "Device imaging cancelled. The source was opened read-only.");
    EXPECT_EQ(std::vector<std::string>{}, folder_entries(user_folder("out", kAlice)));
    // The connection, and with it the lent device, is gone: a new approval
    // lends the device again.
    ASSERT_EQ(0, approve(kAlice));
    std::string out;
    EXPECT_EQ(0, image(kAlice, output(kAlice), &out)) << out;
}

TEST_F(Imaging, ApprovedDeviceMustStillBeTheEligibleDisk) {
    start();
    std::string out;
    // A path that is not a device node of the kind the broker lends.
    const std::string odd = usb_.device + "/x";
    ASSERT_EQ(0, approve(kAlice, 0, odd));
    EXPECT_EQ(1, image(kAlice, output(kAlice), &out, odd));
    expect_error(out, "io", "The broker operation failed.");
    // An approved disk whose identity changed since (another serial).
    ASSERT_EQ(0, approve(kAlice));
    const std::string serial_link = usb_sysfs() + "/device/serial";
    fake_write(serial_link, "0002");
    EXPECT_EQ(1, image(kAlice, output(kAlice), &out));
    expect_error(out, "io",
                 "The device changed, was removed, or is not an eligible removable disk.");
    // A disk that is no longer eligible: it now reports itself a loop disk.
    fake_write(serial_link, "0001");
    ASSERT_EQ(0, approve(kAlice));
    fake_mkdirs(usb_sysfs() + "/loop");
    EXPECT_EQ(1, image(kAlice, output(kAlice), &out));
    expect_error(out, "io",
                 "The device changed, was removed, or is not an eligible removable disk.");
    EXPECT_FALSE(exists(output(kAlice)));
}

TEST_F(Imaging, DestinationsThatCannotHoldTheImage) {
    start();
    // A small tmpfs of Alice's: room for neither the image nor the container.
    const std::string small = user_folder("out", kAlice) + "/small";
    ASSERT_EQ(0, mkdir(small.c_str(), 0700));
    ASSERT_EQ(0, mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m,mode=0700,uid=1000,gid=1000"));
    const struct {
        std::string output;
        const char *message;
    } cases[] = {
        {work_ + "/captured.zcx",
         "Choose a local destination folder owned by your account that other users cannot "
         "modify."},
        {small + "/captured.zcx",
         "There is not enough space for a complete image. The source is unchanged."},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, approve(kAlice));
        std::string out;
        EXPECT_EQ(1, image(kAlice, c.output, &out)) << c.output;
        expect_error(out, "io", c.message);
        EXPECT_FALSE(exists(c.output));
    }
    EXPECT_EQ(std::vector<std::string>{}, folder_entries(small));
    umount2(small.c_str(), MNT_DETACH);
}

TEST_F(Imaging, RequestsRefusedBeforeTheBrokerIsAsked) {
    start();
    ASSERT_EQ(0, approve(kAlice));
    CredentialInput in;
    in.kind = 2;
    in.cipher = 9;
    std::span<const uint8_t> pw(reinterpret_cast<const uint8_t *>(kPassword),
                                std::strlen(kPassword));
    in.password = pw;
    in.new_password = pw;
    in.confirmation = pw;
    SecureBuffer with_current;
    ClientOutcome err;
    ASSERT_EQ(0, credential_request_build(in, &with_current, &err));
    std::span<const uint8_t> bytes = with_current.span();
    const std::string existing = user_folder("out", kAlice) + "/existing.zcx";
    run_program({"/usr/bin/touch", existing}, {}, kAlice);
    const struct {
        std::string output;
        std::string request;
        const char *code;
        const char *message;
    } cases[] = {
        {output(kAlice), std::string(bytes.begin(), bytes.end()), "usage",
         "Device imaging takes only a new password."},
        {existing, image_request(), "destinationExists",
         "Choose a new output file. Existing files are never replaced."},
    };
    for (const auto &c : cases) {
        Child child;
        ASSERT_TRUE(spawn(&child,
                          {bin("tarnwick-engine"), "image", usb_.device, c.output, "9",
                           std::to_string(identity_)},
                          user_env(kAlice), kAlice));
        (void)!write(child.in, c.request.data(), c.request.size());
        close(child.in);
        child.in = -1;
        std::string out = read_all(child.out);
        EXPECT_EQ(1, child.wait());
        expect_error(out, c.code, c.message);
    }
    EXPECT_FALSE(exists(output(kAlice)));
    // Neither used the approval.
    std::string out;
    EXPECT_EQ(0, image(kAlice, output(kAlice), &out)) << out;
}

} // namespace
} // namespace tw::test
