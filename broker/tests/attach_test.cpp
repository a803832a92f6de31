// Attaching and unmounting end to end: the real worker serves a container,
// the real broker logs the real initiator service into it, presents the
// chosen volume and mounts it under /run/media; unmount takes it all away.
//
// Runs as root in a private mount namespace with tmpfs over /run (so
// /run/tarnwick and /run/media) and /var/lib. Container fixtures are made once
// (mkfs tools, then the engine's convert) and kept in the build tree, so each
// test process only copies or reads them.
#include "broker/tests/support/broker_process.h"
#include "broker/texts.h"
#include "platform/descriptor.h"
#include "platform/loop_device.h"
#include "platform/mounts.h"
#include "platform/process.h"
#include "platform/socket_owner.h"
#include "runtime/json.h"
#include "runtime/pipes.h"
#include "tests/support/private_mounts.h"
#include "worker/tests/support/worker_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {
namespace {

using test::Bytes;

const std::string kPassword = "attach test password";
constexpr const char *kHelloText = "hello from the encrypted disk\n";
// Raise this when a fixture's recipe changes: older caches are then ignored.
constexpr const char *kFixtureVersion = "1";

std::string fixture_folder() {
    return std::string(TW_BIN_DIR) + "/test-fixtures/attach-" + kFixtureVersion;
}

// Shell recipes for the plain images. $IMG is the image, $W a scratch folder
// holding hello.txt.
struct FixtureRecipe {
    const char *name;
    const char *script;
};

constexpr FixtureRecipe kRecipes[] = {
    {"fat32", "truncate -s 64M $IMG && mkfs.vfat -F 32 -n TWFAT $IMG >/dev/null && "
              "MTOOLS_SKIP_CHECK=1 mcopy -i $IMG $W/hello.txt ::/HELLO.TXT"},
    // exfat-fuse mounts block devices only; -d keeps it in the foreground, so
    // that waiting for it waits until everything is written.
    {"exfat", "truncate -s 64M $IMG && mkfs.exfat -L TWEXFAT $IMG >/dev/null && mkdir $W/m && "
              "L=$(losetup -f --show $IMG) && "
              "{ mount.exfat-fuse -d $L $W/m >/dev/null 2>&1 & P=$!; i=0; "
              "while ! mountpoint -q $W/m && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; "
              "cp $W/hello.txt $W/m/HELLO.TXT; R=$?; umount $W/m; wait $P; losetup -d $L; "
              "[ $R = 0 ]; }"},
    {"ntfs", "truncate -s 64M $IMG && mkntfs -Q -F -L TWNTFS $IMG >/dev/null 2>&1 && "
             "ntfscp -f $IMG $W/hello.txt HELLO.TXT >/dev/null"},
    // Two FAT32 partitions of an MBR disk, each with a file of its own.
    {"mbr2", "truncate -s 84M $IMG && printf 'label: dos\\nstart=2048, size=81920, type=c\\n"
             "start=83968, size=81920, type=c\\n' | sfdisk -q $IMG && "
             "for n in 1 2; do truncate -s 40M $W/p$n && "
             "mkfs.vfat -F 32 -n PART$n $W/p$n >/dev/null && echo part$n > $W/P$n.TXT && "
             "MTOOLS_SKIP_CHECK=1 mcopy -i $W/p$n $W/P$n.TXT ::/P$n.TXT || exit 1; done && "
             "dd if=$W/p1 of=$IMG bs=512 seek=2048 conv=notrunc status=none && "
             "dd if=$W/p2 of=$IMG bs=512 seek=83968 conv=notrunc status=none"},
    // GPT: an EFI system partition first, then the data partition.
    {"gpt-esp", "truncate -s 72M $IMG && printf 'label: gpt\\n"
                "start=2048, size=16384, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
                "start=18432, size=98304, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | "
                "sfdisk -q $IMG && truncate -s 8M $W/esp && "
                "mkfs.vfat -F 12 -n EFI $W/esp >/dev/null && truncate -s 48M $W/data && "
                "mkfs.vfat -F 32 -n TWDATA $W/data >/dev/null && "
                "MTOOLS_SKIP_CHECK=1 mcopy -i $W/data $W/hello.txt ::/HELLO.TXT && "
                "dd if=$W/esp of=$IMG bs=512 seek=2048 conv=notrunc status=none && "
                "dd if=$W/data of=$IMG bs=512 seek=18432 conv=notrunc status=none"},
    {"ext4", "truncate -s 32M $IMG && mkfs.ext4 -q -F -L TWEXT $IMG"},
    // A FAT32 partition beside an ext4 one, which no checker here takes.
    {"mbr-ext4", "truncate -s 84M $IMG && printf 'label: dos\\nstart=2048, size=81920, type=c\\n"
                 "start=83968, size=81920, type=83\\n' | sfdisk -q $IMG && "
                 "truncate -s 40M $W/p1 $W/p2 && mkfs.vfat -F 32 -n PART1 $W/p1 >/dev/null && "
                 "mkfs.ext4 -q -F $W/p2 && "
                 "dd if=$W/p1 of=$IMG bs=512 seek=2048 conv=notrunc status=none && "
                 "dd if=$W/p2 of=$IMG bs=512 seek=83968 conv=notrunc status=none"},
    // A FAT32 volume with a lost cluster chain: clusters 100 -> 101 -> end
    // written into both FATs (32 reserved sectors; the FAT's size in sectors
    // at byte 36 of the boot sector). fsck finds it before the fixture is
    // kept.
    {"fat32-damaged",
     "truncate -s 64M $IMG && mkfs.vfat -F 32 -R 32 -n TWBAD $IMG >/dev/null && "
     "MTOOLS_SKIP_CHECK=1 mcopy -i $IMG $W/hello.txt ::/HELLO.TXT && "
     "F=$(od -An -tu4 -j36 -N4 $IMG | tr -d ' ') && for n in 0 1; do "
     "printf '\\145\\000\\000\\000\\377\\377\\377\\017' | "
     "dd of=$IMG bs=1 seek=$((16384 + n * F * 512 + 400)) conv=notrunc status=none || exit 1; "
     "done && ! fsck.vfat -n $IMG >/dev/null"},
};

// The container of a fixture, made on first use under a lock (test processes
// run side by side).
std::string fixture(const std::string &name, std::string *why) {
    const std::string folder = fixture_folder();
    test::shell("mkdir -p '" + folder + "'");
    const std::string container = folder + "/" + name + ".zcx";
    FileHandle lock(open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock.valid() || flock(lock.get(), LOCK_EX) != 0) {
        *why = "cannot lock the fixture folder";
        return {};
    }
    if (access(container.c_str(), R_OK) == 0)
        return container;
    const FixtureRecipe *recipe = nullptr;
    for (const FixtureRecipe &r : kRecipes)
        if (name == r.name)
            recipe = &r;
    if (!recipe) {
        *why = "no recipe for " + name;
        return {};
    }
    const std::string work = folder + "/work-" + name;
    const std::string image = work + "/image";
    test::shell("rm -rf '" + work + "' && mkdir -p '" + work + "'");
    { std::ofstream(work + "/hello.txt") << kHelloText; }
    if (!test::shell("export IMG='" + image + "' W='" + work + "'; " + recipe->script)) {
        *why = "cannot make the " + name + " image";
        return {};
    }
    std::string out, err;
    const std::string partial = container + ".partial";
    unlink(partial.c_str());
    int rc =
        test::run({std::string(TW_BIN_DIR) + "/tarnwick-engine", "convert", image, partial, "9"},
                  test::credential_request_new("", kPassword), &out, &err);
    if (rc != 0 || rename(partial.c_str(), container.c_str()) != 0) {
        *why = "the engine could not convert the " + name + " image: " + out + err;
        return {};
    }
    test::shell("rm -rf '" + work + "'");
    return container;
}

JsonValue *parse(const std::string &text) {
    return json_parse_text(text.c_str());
}

std::string member_text(const std::string &reply, const char *key) {
    JsonValue *v = parse(reply);
    std::string out = json_get_string(v, key, "");
    json_free(v);
    return out;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Mounts of this namespace at or under the folder.
std::vector<std::string> mounts_under(const std::string &folder) {
    std::vector<std::string> found;
    mount_table_under(folder, &found);
    return found;
}

class AttachTest : public ::testing::Test {
  protected:
    static std::string skip_reason;
    static test::BrokerProcess *broker;
    static std::string dir;

    static void SetUpTestSuite() {
        skip_reason = test::enter_private_mounts_for_disks();
        if (!skip_reason.empty())
            return;
        char pattern[] = "/tmp/tw-attach-XXXXXX";
        if (!mkdtemp(pattern)) {
            skip_reason = "no scratch folder";
            return;
        }
        dir = pattern;
        mkdir((dir + "/run").c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        broker = new test::BrokerProcess;
        if (!broker->start())
            skip_reason = "the broker did not start";
    }

    static void TearDownTestSuite() {
        if (broker) {
            broker->stop();
            delete broker;
            broker = nullptr;
        }
        stop_initiator(SIGTERM);
        if (!dir.empty())
            test::shell("rm -rf '" + dir + "'");
    }

    static pid_t initiator_pid() {
        pid_t pid = 0;
        return read_root_pid_file("/run/tarnwick/initiator.pid", &pid) == 0 ? pid : 0;
    }

    static void stop_initiator(int signal_number) {
        pid_t pid = initiator_pid();
        if (pid <= 0)
            return;
        kill(pid, signal_number);
        for (int i = 0; i < 1000; ++i) {
            bool running = true;
            if (process_identity(pid, &running, nullptr, nullptr) != 0 || !running)
                break;
            usleep(10000);
        }
    }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
    }

    // Whatever a test left attached goes, by the broker first and by force
    // after that, so that no loop device or mount outlives the test.
    void TearDown() override {
        if (!skip_reason.empty())
            return;
        for (const std::string &id : ids)
            request(unmount_request(id));
        for (auto &worker : workers)
            worker->kill_now();
        workers.clear();
        for (const std::string &id : ids)
            request(R"({"action":"abandon","version":1,"id":")" + id + "\"}");
        ids.clear();
        force_cleanup();
    }

    // Everything under /run/media and the initiator's LUN mounts, and every
    // loop device bound to a disk this test saw or to one of those LUN files.
    void force_cleanup() {
        for (const std::string &target : mounts_under(kMediaFolder))
            if (target != kMediaFolder)
                umount2(target.c_str(), MNT_DETACH);
        for (const std::string &disk : disks)
            for (int n : loop_devices_over(disk))
                loop_detach("/dev/loop" + std::to_string(n), 5000);
        for (const std::string &session : sessions) {
            std::string lun = "/run/tarnwick/luns/" + session;
            for (int n : loop_devices_over(lun + "/disk"))
                loop_detach("/dev/loop" + std::to_string(n), 5000);
            umount2(lun.c_str(), MNT_DETACH);
            rmdir(lun.c_str());
        }
        disks.clear();
        sessions.clear();
    }

    // A worker serving a container (a fixture, or a copy of one).
    test::WorkerProcess *serve(const std::string &container, const char *mode = "read-only") {
        auto worker = std::make_unique<test::WorkerProcess>();
        std::string id = new_id();
        const std::string status = dir + "/status-" + id;
        test::write_file(status, Bytes(80, 0));
        test::serve(worker.get(), id, container, status, mode, test::credential_request(kPassword));
        EXPECT_TRUE(worker->ready()) << worker->line;
        workers.push_back(std::move(worker));
        return workers.back().get();
    }

    std::string new_id() {
        static int counter = 0;
        char id[40];
        snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", getpid() * 100 + ++counter);
        return id;
    }

    std::string attach_request(const test::WorkerProcess &w, const std::string &id,
                               bool read_only = true, int partition = -1,
                               const char *action = "attach") {
        uint64_t start = 0;
        bool running = false;
        process_identity(w.pid, &running, &start, nullptr);
        std::string text = std::string(R"({"action":")") + action + R"(","version":1,"id":")" + id +
                           R"(","workerPid":)" + std::to_string(w.pid) + R"(,"workerStart":)" +
                           std::to_string(start) + R"(,"port":)" + std::to_string(w.port) +
                           R"(,"target":")" + w.target +
                           R"(","chapName":"tarnwick","chapSecret":")" + w.secret +
                           R"(","readOnly":)" + (read_only ? "true" : "false");
        if (partition >= 0)
            text += R"(,"partition":)" + std::to_string(partition);
        return text + "}";
    }

    static std::string unmount_request(const std::string &id) {
        return R"({"action":"unmount","version":1,"id":")" + id + "\"}";
    }

    // One request and its reply, with time for an attach to finish.
    std::string request(const std::string &text) {
        FileHandle fd;
        if (pipe_connect(test::kBrokerSocket, 2000, &fd) != 0)
            return "";
        JsonValue *r = parse(text);
        int rc = pipe_send_message(fd.get(), r);
        json_free(r);
        JsonValue *reply = nullptr;
        if (rc != 0 || pipe_receive_message(fd.get(), 120000, &reply) != 0)
            return "";
        char *out = json_serialize(reply);
        std::string result = out ? out : "";
        json_free_text(out);
        json_free(reply);
        return result;
    }

    // Attaches and remembers what to clean up. The reply.
    std::string attach(const test::WorkerProcess &w, const std::string &id, bool read_only = true,
                       int partition = -1, const char *action = "attach") {
        ids.push_back(id);
        std::string reply = request(attach_request(w, id, read_only, partition, action));
        remember(reply);
        return reply;
    }

    // A read-only attach of the FAT32 fixture served by a new worker: the
    // reply, with the session id in *id (and the worker in *worker).
    std::string attach_fat32(std::string *id, test::WorkerProcess **worker = nullptr) {
        std::string why;
        std::string container = fixture("fat32", &why);
        if (container.empty()) {
            ADD_FAILURE() << why;
            return "";
        }
        test::WorkerProcess *w = serve(container);
        if (worker != nullptr)
            *worker = w;
        if (!w->ready()) {
            ADD_FAILURE() << "the worker did not start";
            return "";
        }
        *id = new_id();
        return attach(*w, *id);
    }

    void remember(const std::string &reply) {
        std::string device = member_text(reply, "device");
        std::string session = member_text(reply, "iscsiSession");
        if (!device.empty())
            disks.push_back(device);
        if (!session.empty())
            sessions.push_back(session);
    }

    std::string record_file(const std::string &id) {
        return "/var/lib/tarnwick/broker/" + id + ".json";
    }

    // Nothing of the attach is left: no mount under /run/media or of the
    // LUN, no loop device over the disk, no device of the session.
    void expect_nothing_attached(const std::string &reply) {
        EXPECT_EQ(mounts_under(std::string(kMediaFolder)).size(), 0u);
        EXPECT_EQ(mounts_under("/run/tarnwick/luns").size(), 0u);
        std::string device = member_text(reply, "device");
        std::string session = member_text(reply, "iscsiSession");
        if (!device.empty()) {
            EXPECT_TRUE(loop_devices_over(device).empty()) << device;
        }
        if (!session.empty()) {
            EXPECT_TRUE(loop_devices_over("/run/tarnwick/luns/" + session + "/disk").empty());
        }
        std::string mount_point = member_text(reply, "mountPoint");
        if (!mount_point.empty()) {
            EXPECT_NE(access(mount_point.c_str(), F_OK), 0) << mount_point;
        }
    }

    // The session list of the initiator, through the broker's view: the
    // records of this user.
    std::string list() { return request(R"({"action":"list","version":1})"); }

    // A worker started as another user, serving a copy of the container that
    // the user owns.
    test::WorkerProcess *serve_as(uid_t uid, const std::string &fixture_path) {
        const std::string home = dir + "/user" + std::to_string(uid);
        const std::string container = home + "/disk.zcx";
        EXPECT_TRUE(test::shell("mkdir -p '" + home + "/run' && cp '" + fixture_path + "' '" +
                                container + "' && chown -R " + std::to_string(uid) + ":" +
                                std::to_string(uid) + " '" + home + "' && chmod 0700 '" + home +
                                "/run' && chmod 0755 '" + dir + "'"));
        auto worker = std::make_unique<test::WorkerProcess>();
        worker->mount_id = new_id();
        const std::string status = home + "/status-" + worker->mount_id;
        test::write_file(status, Bytes(80, 0));
        EXPECT_EQ(chown(status.c_str(), uid, uid), 0);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return nullptr;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                setresuid(uid, uid, uid) != 0)
                _exit(99);
            std::string program = std::string(TW_BIN_DIR) + "/tarnwick-worker";
            std::string env_run = "XDG_RUNTIME_DIR=" + home + "/run", env_home = "HOME=" + home;
            char *args[] = {program.data(),
                            const_cast<char *>("serve"),
                            worker->mount_id.data(),
                            const_cast<char *>(container.c_str()),
                            const_cast<char *>(status.c_str()),
                            const_cast<char *>("read-only"),
                            nullptr};
            char *envp[] = {env_run.data(), env_home.data(), nullptr};
            execve(args[0], args, envp);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        Bytes credentials = test::credential_request(kPassword);
        EXPECT_EQ(write(in[1], credentials.data(), credentials.size()),
                  ssize_t(credentials.size()));
        close(in[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        worker->pid = pid;
        worker->line = line;
        JsonValue *ready = parse(line);
        worker->port = uint16_t(json_get_int(ready, "port", 0));
        json_free(ready);
        worker->target = member_text(line, "target");
        worker->secret = member_text(line, "chapSecret");
        EXPECT_TRUE(worker->ready()) << line;
        workers.push_back(std::move(worker));
        return workers.back().get();
    }

    // A request sent from a child process running as `uid`.
    std::string request_as(uid_t uid, const std::string &text) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return "";
        pid_t pid = fork();
        if (pid == 0) {
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
                _exit(99);
            std::string reply = request(text);
            (void)!write(out[1], reply.data(), reply.size());
            _exit(0);
        }
        close(out[1]);
        std::string reply;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0)
            reply.append(buffer, size_t(n));
        close(out[0]);
        waitpid(pid, nullptr, 0);
        return reply;
    }

    // What `uid` reads from the file (empty when it may not).
    std::string read_as(uid_t uid, const std::string &path) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return "";
        pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                setresuid(uid, uid, uid) != 0)
                _exit(99);
            std::string text = read_text(path);
            (void)!write(out[1], text.data(), text.size());
            _exit(0);
        }
        close(out[1]);
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, size_t(n));
        close(out[0]);
        waitpid(pid, nullptr, 0);
        return text;
    }

    std::vector<std::unique_ptr<test::WorkerProcess>> workers;
    std::vector<std::string> ids, disks, sessions;
};

std::string AttachTest::skip_reason;
test::BrokerProcess *AttachTest::broker = nullptr;
std::string AttachTest::dir;

// Read-only attaches of the three filesystems: the file reads, a write fails
// with EROFS, and after unmount the container is unchanged and nothing stays.
TEST_F(AttachTest, ReadOnlyAttachOfEachFilesystem) {
    struct Case {
        const char *fixture, *filesystem, *label;
    };
    for (Case c : {Case{"fat32", "FAT32", "TWFAT"}, Case{"exfat", "exFAT", "TWEXFAT"},
                   Case{"ntfs", "NTFS", "TWNTFS"}}) {
        SCOPED_TRACE(c.fixture);
        std::string why;
        std::string container = fixture(c.fixture, &why);
        ASSERT_FALSE(container.empty()) << why;
        const std::string before = test::sha256_of_file(container);
        test::WorkerProcess *w = serve(container);
        ASSERT_TRUE(w->ready());
        std::string id = new_id();
        std::string reply = attach(*w, id);
        ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
        EXPECT_EQ(member_text(reply, "filesystem"), c.filesystem);
        EXPECT_EQ(member_text(reply, "volumeLabel"), c.label);
        std::string mount_point = member_text(reply, "mountPoint");
        EXPECT_EQ(mount_point, std::string("/run/media/root/") + c.label);
        EXPECT_EQ(read_text(mount_point + "/HELLO.TXT"), kHelloText);
        struct stat st {};
        ASSERT_EQ(stat((mount_point + "/HELLO.TXT").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        errno = 0;
        int fd = open((mount_point + "/NEW.TXT").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_LT(fd, 0);
        EXPECT_EQ(errno, EROFS);
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(access(record_file(id).c_str(), F_OK), 0);

        std::string unmounted = request(unmount_request(id));
        EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
        expect_nothing_attached(reply);
        EXPECT_EQ(request(R"({"action":"finalize","version":1,"id":")" + id + "\"}"),
                  R"({"phase":"disconnected","version":1})");
        EXPECT_NE(access(record_file(id).c_str(), F_OK), 0);
        EXPECT_EQ(w->stop(), 0);
        EXPECT_EQ(test::sha256_of_file(container), before);
    }
}

// The name the session service gives a mount names its mount point; a
// second mount of the same name gets a suffix.
TEST_F(AttachTest, AMountNameNamesTheMountPoint) {
    std::string why;
    std::string container = fixture("fat32", &why);
    ASSERT_FALSE(container.empty()) << why;
    const std::string copy = dir + "/named-copy.zcx";
    ASSERT_TRUE(test::shell("cp '" + container + "' '" + copy + "'"));
    std::vector<std::string> points;
    for (const std::string &path : {container, copy}) {
        test::WorkerProcess *w = serve(path);
        ASSERT_TRUE(w->ready());
        std::string id = new_id();
        ids.push_back(id);
        std::string text = attach_request(*w, id);
        text.insert(text.size() - 1, R"(,"mountName":"Holiday 2026")");
        std::string reply = request(text);
        remember(reply);
        ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
        points.push_back(member_text(reply, "mountPoint"));
    }
    EXPECT_EQ(points[0], "/run/media/root/Holiday 2026");
    EXPECT_EQ(points[1], "/run/media/root/Holiday 2026-2");
    EXPECT_EQ(read_text(points[1] + "/HELLO.TXT"), kHelloText);
    for (const std::string &id : ids)
        EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
    unlink(copy.c_str());
}

// A writable attach writes through to the container: the file written and
// synced at the mount point is in the exported image, which fsck finds clean.
TEST_F(AttachTest, WritableAttachWritesTheContainer) {
    std::string why;
    std::string fixture_path = fixture("fat32", &why);
    ASSERT_FALSE(fixture_path.empty()) << why;
    const std::string container = dir + "/writable.zcx";
    ASSERT_TRUE(test::shell("cp '" + fixture_path + "' '" + container + "'"));
    test::WorkerProcess *w = serve(container, "read-write");
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string reply = attach(*w, id, false);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    std::string mount_point = member_text(reply, "mountPoint");
    bool read_only = true;
    ASSERT_EQ(mount_is_read_only(mount_point, &read_only), 0);
    EXPECT_FALSE(read_only);
    {
        FileHandle fd(
            open((mount_point + "/WRITTEN.TXT").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.valid()) << strerror(errno);
        const char text[] = "written through the mount\n";
        ASSERT_EQ(write(fd.get(), text, sizeof text - 1), ssize_t(sizeof text - 1));
        ASSERT_EQ(fsync(fd.get()), 0);
    }
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    expect_nothing_attached(reply);
    EXPECT_EQ(w->stop(), 0);

    const std::string image = dir + "/exported.img";
    std::string out, err;
    ASSERT_EQ(test::run({std::string(TW_BIN_DIR) + "/tarnwick-engine", "export", container, image},
                        test::credential_request(kPassword), &out, &err),
              0)
        << out << err;
    EXPECT_TRUE(test::shell("fsck.vfat -n '" + image + "' >/dev/null"));
    EXPECT_TRUE(test::shell("MTOOLS_SKIP_CHECK=1 mtype -i '" + image +
                            "' ::/WRITTEN.TXT | grep -qx 'written through the mount'"));
}

// Partitioned images: two FAT32 partitions need a choice; an EFI system
// partition is not a data volume; ext4 has no driver here.
TEST_F(AttachTest, PartitionSelection) {
    struct Case {
        const char *fixture;
        int partition; // -1: not in the request
        std::string error;
        const char *label; // of the mounted volume
        const char *file;  // present on it
    };
    const Case cases[] = {
        {"mbr2", -1,
         "This image contains 2 data volumes. Choose a partition number in Advanced, from 1 to "
         "2.",
         nullptr, nullptr},
        {"mbr2", 3,
         "This image contains 2 data volumes. Choose a partition number in Advanced, from 1 to "
         "2.",
         nullptr, nullptr},
        {"mbr2", 2, "", "PART2", "P2.TXT"},
        {"mbr2", 1, "", "PART1", "P1.TXT"},
        {"gpt-esp", -1, "", "TWDATA", "HELLO.TXT"},
        {"ext4", -1, kTextNoDriver, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " partition " + std::to_string(c.partition));
        std::string why;
        std::string container = fixture(c.fixture, &why);
        ASSERT_FALSE(container.empty()) << why;
        test::WorkerProcess *w = serve(container);
        ASSERT_TRUE(w->ready());
        std::string id = new_id();
        std::string reply = attach(*w, id, true, c.partition);
        if (!c.error.empty()) {
            EXPECT_EQ(member_text(reply, "error"), c.error) << reply;
            // Nothing stays: no record, no session, no mount.
            EXPECT_EQ(list(), R"({"sessions":[],"version":1})");
            EXPECT_NE(access(record_file(id).c_str(), F_OK), 0);
            expect_nothing_attached(reply);
            EXPECT_EQ(mounts_under("/run/tarnwick/luns").size(), 0u);
        } else {
            ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
            EXPECT_EQ(member_text(reply, "volumeLabel"), c.label);
            std::string mount_point = member_text(reply, "mountPoint");
            EXPECT_EQ(access((mount_point + "/" + c.file).c_str(), R_OK), 0);
            // Only the chosen volume is mounted.
            EXPECT_EQ(mounts_under(std::string(kMediaFolder)).size(), 1u);
            EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
            expect_nothing_attached(reply);
            request(R"({"action":"finalize","version":1,"id":")" + id + "\"}");
        }
        w->stop();
    }
}

// A repeated attach returns the record without a second login; a held file
// keeps the volume mounted; a held disk keeps it connected (and mounted
// again); the mount point names stay unique.
TEST_F(AttachTest, UnmountKeepsWhatIsStillInUse) {
    std::string why;
    std::string container = fixture("fat32", &why);
    ASSERT_FALSE(container.empty()) << why;
    test::WorkerProcess *w = serve(container);
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string reply = attach(*w, id);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    EXPECT_EQ(request(attach_request(*w, id)), reply);
    std::vector<std::string> sessions_now;
    {
        JsonValue *listed = parse(list());
        EXPECT_EQ(json_first(json_get(listed, "sessions")) != nullptr, true);
        json_free(listed);
    }
    const std::string mount_point = member_text(reply, "mountPoint");

    // A second container with the same label gets a name of its own.
    test::WorkerProcess *w2 = serve(container);
    ASSERT_TRUE(w2->ready());
    std::string id2 = new_id();
    std::string reply2 = attach(*w2, id2);
    EXPECT_EQ(member_text(reply2, "mountPoint"), mount_point + "-2") << reply2;
    EXPECT_EQ(member_text(request(unmount_request(id2)), "phase"), "disconnected");

    {
        FileHandle held(open((mount_point + "/HELLO.TXT").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(request(unmount_request(id)),
                  R"({"error":")" + std::string(kTextVolumesOpen) + R"(","version":1})");
        EXPECT_TRUE(mount_table_has(mount_point));
        EXPECT_EQ(read_text(mount_point + "/HELLO.TXT"), kHelloText);
    }
    {
        // A descriptor on the disk itself: the initiator refuses the logout,
        // and the volume comes back where it was.
        FileHandle disk(open(member_text(reply, "device").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(disk.valid());
        EXPECT_EQ(request(unmount_request(id)),
                  R"({"error":")" + std::string(kTextKeptInUse) + R"(","version":1})");
        EXPECT_TRUE(mount_table_has(mount_point));
        EXPECT_EQ(read_text(mount_point + "/HELLO.TXT"), kHelloText);
        JsonValue *listed = parse(list());
        EXPECT_STREQ(json_get_string(json_first(json_get(listed, "sessions")), "phase", ""),
                     "mounted");
        json_free(listed);
    }
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    expect_nothing_attached(reply);
    // Unmounting again answers with the disconnected record.
    EXPECT_EQ(request(unmount_request(id)), unmounted);
}

// All mount points of the user taken: the attach fails and leaves nothing.
TEST_F(AttachTest, NoFreeMountPoint) {
    const std::string user_folder = std::string(kMediaFolder) + "/root";
    ASSERT_TRUE(test::shell("mkdir -p " + user_folder));
    for (int i = 0; i < kMountPointsPerUser; i++) {
        std::string path = user_folder + "/taken" + std::to_string(i);
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k"), 0);
    }
    std::string id;
    std::string reply = attach_fat32(&id);
    EXPECT_EQ(member_text(reply, "error"), kTextNoMountPoint) << reply;
    EXPECT_EQ(list(), R"({"sessions":[],"version":1})");
    EXPECT_EQ(mounts_under("/run/tarnwick/luns").size(), 0u);
    for (int i = 0; i < kMountPointsPerUser; i++) {
        std::string path = user_folder + "/taken" + std::to_string(i);
        umount2(path.c_str(), MNT_DETACH);
        rmdir(path.c_str());
    }
}

// The worker killed under a mounted volume: reads fail, and unmount still
// removes everything.
TEST_F(AttachTest, WorkerKilledWhileMounted) {
    std::string id;
    test::WorkerProcess *w = nullptr;
    std::string reply = attach_fat32(&id, &w);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    w->kill_now();
    std::string listed = list();
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted << " after " << listed;
    expect_nothing_attached(reply);
}

// The initiator service killed under a mounted volume: the record becomes
// "recovery-needed", unmount cleans up, and the next attach starts the
// service again.
TEST_F(AttachTest, InitiatorKilledAndStartedAgain) {
    std::string why;
    std::string container = fixture("fat32", &why);
    ASSERT_FALSE(container.empty()) << why;
    test::WorkerProcess *w = serve(container);
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string reply = attach(*w, id);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    const pid_t first = initiator_pid();
    ASSERT_GT(first, 0);
    stop_initiator(SIGKILL);
    JsonValue *listed = parse(list());
    EXPECT_STREQ(json_get_string(json_first(json_get(listed, "sessions")), "phase", ""),
                 "recovery-needed");
    json_free(listed);
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    EXPECT_EQ(mounts_under(std::string(kMediaFolder)).size(), 0u);
    EXPECT_TRUE(loop_devices_over(member_text(reply, "device")).empty());

    test::WorkerProcess *w2 = serve(container);
    ASSERT_TRUE(w2->ready());
    std::string id2 = new_id();
    std::string reply2 = attach(*w2, id2);
    ASSERT_EQ(member_text(reply2, "phase"), "mounted") << reply2;
    EXPECT_NE(initiator_pid(), first);
    // The new service removed what the killed one held: its LUN mount and
    // the loop device over the LUN file.
    const std::string old_lun = "/run/tarnwick/luns/" + member_text(reply, "iscsiSession");
    EXPECT_TRUE(loop_devices_over(old_lun + "/disk").empty());
    EXPECT_FALSE(mount_table_has(old_lun));
    EXPECT_NE(access(old_lun.c_str(), F_OK), 0);
    EXPECT_EQ(member_text(request(unmount_request(id2)), "phase"), "disconnected");
    expect_nothing_attached(reply2);
}

// A repair attachment presents every data volume for a check and mounts none;
// each volume is checked, and the output is framed per volume.
TEST_F(AttachTest, RepairAttachesEveryDataVolumeWithoutMounting) {
    std::string why;
    std::string fixture_path = fixture("mbr2", &why);
    ASSERT_FALSE(fixture_path.empty()) << why;
    const std::string container = dir + "/repair.zcx";
    ASSERT_TRUE(test::shell("cp '" + fixture_path + "' '" + container + "'"));
    test::WorkerProcess *w = serve(container, "repair");
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    // A check is always writable; a read-only one is refused and records
    // nothing.
    EXPECT_EQ(member_text(request(attach_request(*w, id, true, -1, "repair")), "refused"),
              kTextInvalidMount);
    std::string reply = attach(*w, id, false, -1, "repair");
    ASSERT_EQ(member_text(reply, "phase"), "repaired") << reply;
    EXPECT_EQ(member_text(reply, "mountPoint"), "");
    EXPECT_EQ(mounts_under(std::string(kMediaFolder)).size(), 0u);
    JsonValue *record = parse(reply);
    std::vector<std::string> volumes;
    for (const JsonValue *v = json_first(json_get(record, "checkVolumes")); v; v = json_next(v)) {
        EXPECT_STREQ(json_get_string(v, "filesystem", ""), "FAT32");
        volumes.push_back(json_get_string(v, "volume", ""));
    }
    EXPECT_STREQ(json_get_string(record, "filesystem", ""), "FAT32, FAT32");
    EXPECT_STREQ(json_get_string(record, "repairTool", ""), "fsck.vfat");
    EXPECT_EQ(json_get_int(record, "repairStatus", -9), 0);
    EXPECT_TRUE(json_get_bool(record, "repairClean", false));
    EXPECT_EQ(json_get(record, "repairError"), nullptr);
    // Each volume's output under its own heading, the first at the start.
    const std::string output = json_get_string(record, "repairOutput", "");
    const std::string heading = "== FAT32 volume ==\n";
    EXPECT_EQ(output.find(heading), 0u) << output;
    EXPECT_NE(output.find(heading, heading.size()), std::string::npos) << output;
    for (const std::string &volume : volumes)
        EXPECT_NE(output.find(volume + ":"), std::string::npos) << output;
    json_free(record);
    ASSERT_EQ(volumes.size(), 2u);
    // Each device is its partition: fsck reads a clean FAT32 on it.
    for (const std::string &volume : volumes)
        EXPECT_TRUE(test::shell("fsck.vfat -n " + volume + " >/dev/null")) << volume;
    EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
    expect_nothing_attached(reply);
    for (const std::string &volume : volumes)
        EXPECT_NE(loop_backing_file(atoi(volume.c_str() + 9)), member_text(reply, "device"));
}

// A FAT with a lost cluster chain: the repairing run corrects it (exit 1),
// the read-only run after it finds nothing left, and the fix is in the
// container. A second check of the same session is refused.
TEST_F(AttachTest, RepairFixesADamagedFat) {
    std::string why;
    std::string fixture_path = fixture("fat32-damaged", &why);
    ASSERT_FALSE(fixture_path.empty()) << why;
    const std::string container = dir + "/damaged.zcx";
    ASSERT_TRUE(test::shell("cp '" + fixture_path + "' '" + container + "'"));
    test::WorkerProcess *w = serve(container, "repair");
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string reply = attach(*w, id, false, -1, "repair");
    ASSERT_EQ(member_text(reply, "phase"), "repaired") << reply;
    JsonValue *record = parse(reply);
    EXPECT_STREQ(json_get_string(record, "filesystem", ""), "FAT32");
    EXPECT_STREQ(json_get_string(record, "repairTool", ""), "fsck.vfat");
    EXPECT_EQ(json_get_int(record, "repairStatus", -9), 1);
    EXPECT_TRUE(json_get_bool(record, "repairClean", false));
    const std::string output = json_get_string(record, "repairOutput", "");
    const size_t verification = output.find("\nRead-only verification:\n");
    EXPECT_NE(verification, std::string::npos) << output;
    EXPECT_LT(output.find("Reclaimed"), verification) << output;
    EXPECT_EQ(output.find("== FAT32 volume =="), std::string::npos) << output;
    json_free(record);
    // The record on disk says the same.
    EXPECT_EQ(member_text(read_text(record_file(id)), "phase"), "repaired");

    EXPECT_EQ(member_text(request(attach_request(*w, id, false, -1, "repair")), "error"),
              kTextAlreadyChecked);
    EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
    expect_nothing_attached(reply);
    EXPECT_EQ(w->stop(), 0);

    const std::string image = dir + "/repaired.img";
    std::string out, err;
    ASSERT_EQ(test::run({std::string(TW_BIN_DIR) + "/tarnwick-engine", "export", container, image},
                        test::credential_request(kPassword), &out, &err),
              0)
        << out << err;
    EXPECT_TRUE(test::shell("fsck.vfat -n '" + image + "' >/dev/null"));
    EXPECT_TRUE(
        test::shell("MTOOLS_SKIP_CHECK=1 mtype -i '" + image + "' ::/HELLO.TXT | grep -q hello"));
}

// A clean volume of each filesystem: its own tool, exit 0, no read-only pass.
TEST_F(AttachTest, RepairOfEachFilesystem) {
    struct Case {
        const char *fixture, *filesystem, *tool;
    };
    for (Case c : {Case{"fat32", "FAT32", "fsck.vfat"}, Case{"exfat", "exFAT", "fsck.exfat"},
                   Case{"ntfs", "NTFS", "ntfsfix"}}) {
        SCOPED_TRACE(c.fixture);
        std::string why;
        std::string fixture_path = fixture(c.fixture, &why);
        ASSERT_FALSE(fixture_path.empty()) << why;
        const std::string container = dir + "/check-" + c.fixture + ".zcx";
        ASSERT_TRUE(test::shell("cp '" + fixture_path + "' '" + container + "'"));
        test::WorkerProcess *w = serve(container, "repair");
        ASSERT_TRUE(w->ready());
        std::string id = new_id();
        std::string reply = attach(*w, id, false, -1, "repair");
        ASSERT_EQ(member_text(reply, "phase"), "repaired") << reply;
        JsonValue *record = parse(reply);
        EXPECT_STREQ(json_get_string(record, "filesystem", ""), c.filesystem);
        EXPECT_STREQ(json_get_string(record, "repairTool", ""), c.tool);
        EXPECT_EQ(json_get_int(record, "repairStatus", -9), 0);
        EXPECT_TRUE(json_get_bool(record, "repairClean", false));
        EXPECT_EQ(std::string(json_get_string(record, "repairOutput", ""))
                      .find("Read-only verification:"),
                  std::string::npos);
        json_free(record);
        EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
        expect_nothing_attached(reply);
        EXPECT_EQ(w->stop(), 0);
    }
}

// A disk whose check cannot run (a data volume without a checker) is
// refused: nothing was checked, and no record or attachment stays.
TEST_F(AttachTest, RepairRefusedWhenAVolumeCannotBeChecked) {
    std::string why;
    std::string fixture_path = fixture("mbr-ext4", &why);
    ASSERT_FALSE(fixture_path.empty()) << why;
    const std::string container = dir + "/unchecked.zcx";
    ASSERT_TRUE(test::shell("cp '" + fixture_path + "' '" + container + "'"));
    test::WorkerProcess *w = serve(container, "repair");
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string reply = attach(*w, id, false, -1, "repair");
    EXPECT_EQ(member_text(reply, "refused"), kTextUnsupportedCheckVolume) << reply;
    EXPECT_EQ(list(), R"({"sessions":[],"version":1})");
    EXPECT_NE(access(record_file(id).c_str(), F_OK), 0);
    expect_nothing_attached(reply);
    EXPECT_EQ(w->stop(), 0);
}

// Containers made by `tarnwick create` (the broker formats them) mount
// writable, take a file, and show it again on a read-only mount; the
// exported image is a clean filesystem with the requested label.
TEST_F(AttachTest, CreatedContainersMountAndTakeAFile) {
    struct Case {
        const char *filesystem, *label, *type, *fsck, *options;
    };
    const Case cases[] = {
        {"fat32", "TWMADE", "vfat", "fsck.vfat -n", ""},
        {"exfat", "TWMADE", "exfat", "fsck.exfat -n", " --algorithm XChaCha20"},
        {"ntfs", "Made here", "ntfs", "ntfsfix -n", " --experimental-compression fast 16384"},
    };
    const std::string credentials = dir + "/create.json";
    {
        std::ofstream(credentials)
            << R"({"newPassword":")" << kPassword << R"(","confirmation":")" << kPassword << "\"}";
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.filesystem);
        const std::string container = dir + "/made-" + c.filesystem + ".zcx";
        ASSERT_TRUE(test::shell("'" + std::string(TW_BIN_DIR) + "/tarnwick' create '" + container +
                                "' 64 " + c.filesystem + " '" + c.label + "' --credentials-stdin" +
                                c.options + " <'" + credentials + "' >/dev/null"));
        test::WorkerProcess *w = serve(container, "read-write");
        ASSERT_TRUE(w->ready());
        std::string id = new_id();
        std::string reply = attach(*w, id, false);
        ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
        std::string mount_point = member_text(reply, "mountPoint");
        {
            FileHandle fd(
                open((mount_point + "/NEW.TXT").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            ASSERT_TRUE(fd.valid()) << strerror(errno);
            ASSERT_EQ(write(fd.get(), kHelloText, strlen(kHelloText)), ssize_t(strlen(kHelloText)));
            ASSERT_EQ(fsync(fd.get()), 0);
        }
        EXPECT_EQ(member_text(request(unmount_request(id)), "phase"), "disconnected");
        request(R"({"action":"finalize","version":1,"id":")" + id + "\"}");
        EXPECT_EQ(w->stop(), 0);

        test::WorkerProcess *r = serve(container);
        ASSERT_TRUE(r->ready());
        std::string id2 = new_id();
        std::string again = attach(*r, id2);
        ASSERT_EQ(member_text(again, "phase"), "mounted") << again;
        EXPECT_EQ(member_text(again, "volumeLabel"), c.label);
        EXPECT_EQ(read_text(member_text(again, "mountPoint") + "/NEW.TXT"), kHelloText);
        EXPECT_EQ(member_text(request(unmount_request(id2)), "phase"), "disconnected");
        request(R"({"action":"finalize","version":1,"id":")" + id2 + "\"}");
        EXPECT_EQ(r->stop(), 0);

        const std::string image = dir + "/made.img";
        unlink(image.c_str());
        std::string out, err;
        ASSERT_EQ(
            test::run({std::string(TW_BIN_DIR) + "/tarnwick-engine", "export", container, image},
                      test::credential_request(kPassword), &out, &err),
            0)
            << out << err;
        EXPECT_TRUE(test::shell(std::string(c.fsck) + " '" + image + "' >/dev/null 2>&1"));
        EXPECT_TRUE(
            test::shell("[ \"$(blkid -o value -s TYPE '" + image + "')\" = " + c.type + " ]"));
        EXPECT_TRUE(
            test::shell("[ \"$(blkid -o value -s LABEL '" + image + "')\" = '" + c.label + "' ]"));
        unlink(image.c_str());
    }
}

// Requests that are refused before anything is recorded.
TEST_F(AttachTest, RefusedRequestsRecordNothing) {
    std::string why;
    std::string container = fixture("fat32", &why);
    ASSERT_FALSE(container.empty()) << why;
    test::WorkerProcess *w = serve(container);
    ASSERT_TRUE(w->ready());
    std::string id = new_id();
    std::string good = attach_request(*w, id);
    auto replace = [&](const std::string &from, const std::string &to) {
        std::string text = good;
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string invalid =
        R"({"error":")" + std::string(kTextInvalidMount) + R"(","version":1})";
    const std::string not_ours =
        R"({"error":")" + std::string(kTextNotOurProgram) + R"(","version":1})";
    const struct {
        std::string request, reply;
    } cases[] = {
        {replace("\"id\":\"" + id, "\"id\":\"" + id.substr(0, 35)), invalid},
        {replace("\"id\":\"00000000", "\"id\":\"AAAAAAAA"), invalid},
        {replace("\"target\":\"iqn.2026-12.com.tarnwick:", "\"target\":\"iqn.2026-12.com.other:"),
         invalid},
        {replace("\"chapSecret\":\"" + w->secret, "\"chapSecret\":\"short"), invalid},
        {replace("\"readOnly\":true", "\"readOnly\":true,\"partition\":129"), invalid},
        {replace("\"readOnly\":true", "\"readOnly\":\"yes\""), invalid},
        // The mount's name becomes a folder name: only names a user may
        // give a mount are taken.
        {replace("\"readOnly\":true", "\"readOnly\":true,\"mountName\":\"../etc\""), invalid},
        {replace("\"readOnly\":true", "\"readOnly\":true,\"mountName\":\"a/b\""), invalid},
        {replace("\"readOnly\":true", "\"readOnly\":true,\"mountName\":\"\""), invalid},
        {replace("\"readOnly\":true", "\"readOnly\":true,\"mountName\":7"), invalid},
        {replace("\"port\":" + std::to_string(w->port), "\"port\":1"), not_ours},
        {replace("\"workerPid\":" + std::to_string(w->pid), "\"workerPid\":1"), not_ours},
    };
    for (const auto &c : cases)
        EXPECT_EQ(request(c.request), c.reply) << c.request;
    EXPECT_EQ(list(), R"({"sessions":[],"version":1})");
    EXPECT_NE(access(record_file(id).c_str(), F_OK), 0);
}

// A user's own worker attached for that user: the mount point is in the
// user's folder, the files are the user's and nobody else's, and another
// account can neither unmount it nor attach its worker.
TEST_F(AttachTest, AttachForAnotherUser) {
    constexpr uid_t kUser = 4242, kOther = 4243;
    std::string why;
    std::string fixture_path = fixture("fat32", &why);
    ASSERT_FALSE(fixture_path.empty()) << why;
    test::WorkerProcess *w = serve_as(kUser, fixture_path);
    ASSERT_TRUE(w && w->ready());
    std::string id = new_id();
    ids.push_back(id);
    const std::string text = attach_request(*w, id);
    EXPECT_EQ(request_as(kOther, text),
              R"({"error":")" + std::string(kTextNotOurProgram) + R"(","version":1})");
    std::string reply = request_as(kUser, text);
    remember(reply);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    EXPECT_EQ(member_text(reply, "owner"), std::to_string(kUser));
    passwd *entry = getpwuid(kUser);
    const std::string folder =
        std::string(kMediaFolder) + "/" + (entry ? entry->pw_name : std::to_string(kUser).c_str());
    const std::string mount_point = member_text(reply, "mountPoint");
    EXPECT_EQ(mount_point, folder + "/TWFAT");
    struct stat st {};
    ASSERT_EQ(stat((mount_point + "/HELLO.TXT").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(read_as(kUser, mount_point + "/HELLO.TXT"), kHelloText);
    EXPECT_EQ(read_as(kOther, mount_point + "/HELLO.TXT"), "");
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    EXPECT_EQ(request_as(kOther, unmount_request(id)),
              R"({"error":")" + std::string(kTextOtherAccount) + R"(","version":1})");
    EXPECT_EQ(request_as(kOther, R"({"action":"list","version":1})"),
              R"({"sessions":[],"version":1})");
    std::string unmounted = request_as(kUser, unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    expect_nothing_attached(reply);
}

// A volume unmounted behind the broker's back: "list" reports the session
// as externally unmounted, and unmount still removes the rest.
TEST_F(AttachTest, VolumeUnmountedOutsideTheBroker) {
    std::string id;
    std::string reply = attach_fat32(&id);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    const std::string mount_point = member_text(reply, "mountPoint");
    ASSERT_EQ(umount2(mount_point.c_str(), 0), 0);
    JsonValue *listed = parse(list());
    EXPECT_STREQ(json_get_string(json_first(json_get(listed, "sessions")), "phase", ""),
                 "externally-unmounted");
    json_free(listed);
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    expect_nothing_attached(reply);
}

// A broker restart leaves the mounted volume alone: the initiator service
// and the filesystem driver carry on, and the new broker unmounts it.
TEST_F(AttachTest, BrokerRestartKeepsTheMount) {
    std::string id;
    std::string reply = attach_fat32(&id);
    ASSERT_EQ(member_text(reply, "phase"), "mounted") << reply;
    const std::string mount_point = member_text(reply, "mountPoint");
    EXPECT_EQ(broker->stop(), 0);
    EXPECT_EQ(read_text(mount_point + "/HELLO.TXT"), kHelloText);
    ASSERT_TRUE(broker->start());
    JsonValue *listed = parse(list());
    EXPECT_STREQ(json_get_string(json_first(json_get(listed, "sessions")), "phase", ""), "mounted");
    json_free(listed);
    EXPECT_EQ(read_text(mount_point + "/HELLO.TXT"), kHelloText);
    std::string unmounted = request(unmount_request(id));
    EXPECT_EQ(member_text(unmounted, "phase"), "disconnected") << unmounted;
    expect_nothing_attached(reply);
}

} // namespace
} // namespace tw
