// The record table's per-user limit, the log's rotation and the check of the
// process a request names.
#include "broker/callers.h"
#include "broker/log.h"
#include "broker/records.h"

#include "platform/process.h"
#include "runtime/text.h"

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::test {
namespace {

struct TempFolder {
    std::string path;
    TempFolder() {
        char name[] = "/tmp/tw-broker-XXXXXX";
        EXPECT_NE(nullptr, mkdtemp(name));
        path = name;
    }
    ~TempFolder() {
        std::string command = "rm -rf '" + path + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }
};

// Puts a record of `user` in `phase` into a free slot and writes its file.
size_t add(RecordTable *table, const char *user, const char *phase) {
    size_t slot = 0;
    EXPECT_EQ(0, records_reserve(table, user, &slot));
    char id[kUuidTextSize];
    EXPECT_TRUE(uuid_generate(id));
    JsonValue *r = json_new(JsonKind::Object);
    json_set_string(r, "id", id);
    json_set_string(r, "owner", user);
    json_set_string(r, "phase", phase);
    json_set_int(r, "boot", 7);
    table->slots[slot].record = r;
    EXPECT_EQ(0, record_write(table, slot));
    return slot;
}

size_t held_by(const RecordTable &table, const char *user) {
    size_t n = 0;
    for (const RecordSlot &s : table.slots)
        n += s.record != nullptr && strcmp(record_user(s.record), user) == 0;
    return n;
}

TEST(Records, AUserHoldsAtMostSixteenAndDisconnectedOnesMakeRoom) {
    TempFolder folder;
    RecordTable table;
    table.folder = folder.path;
    for (int i = 0; i < 12; i++)
        add(&table, "1000", "mounted");
    size_t busy = add(&table, "1000", "disconnected");
    table.slots[busy].busy = true;
    for (int i = 0; i < 3; i++)
        add(&table, "1000", "disconnected");
    ASSERT_EQ(16u, held_by(table, "1000"));

    // The seventeenth costs the user's disconnected records (not a busy one).
    size_t slot = 0;
    ASSERT_EQ(0, records_reserve(&table, "1000", &slot));
    EXPECT_EQ(13u, held_by(table, "1000"));
    EXPECT_NE(nullptr, table.slots[busy].record);
    for (int i = 0; i < 3; i++)
        add(&table, "1000", "mounted");
    EXPECT_EQ(-EDQUOT, records_reserve(&table, "1000", &slot));

    // Other users fill the rest of the table.
    for (const char *user : {"1001", "1002", "1003"})
        for (int i = 0; i < 16; i++)
            add(&table, user, "mounted");
    EXPECT_EQ(-ENOSPC, records_reserve(&table, "1004", &slot));

    // Only the files of the deleted records went.
    RecordTable reloaded;
    reloaded.folder = folder.path;
    ASSERT_EQ(0, records_load(&reloaded, 7));
    EXPECT_EQ(16u, held_by(reloaded, "1000"));
    EXPECT_EQ(0u, reloaded.unreadable);
    records_free(&reloaded);
    // The same files seen from the next boot, with no iSCSI session left.
    ASSERT_EQ(0, records_load(&reloaded, 8));
    EXPECT_EQ(0u, held_by(reloaded, "1001"));
    records_free(&reloaded);
    records_free(&table);
}

TEST(Records, DeleteKeepsTheRecordWhenItsFileStays) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root may delete anything";
    TempFolder folder;
    RecordTable table;
    table.folder = folder.path;
    size_t slot = add(&table, "1000", "disconnected");
    chmod(folder.path.c_str(), 0500);
    EXPECT_NE(0, record_delete(&table, slot));
    EXPECT_NE(nullptr, table.slots[slot].record);
    chmod(folder.path.c_str(), 0700);
    EXPECT_EQ(0, record_delete(&table, slot));
    EXPECT_EQ(nullptr, table.slots[slot].record);
}

TEST(Log, RotatesAtFourMebibytesAndCutsLongLines) {
    TempFolder folder;
    std::string log = folder.path + "/broker.log";
    broker_log_open(log);
    {
        std::ofstream big(log);
        big << std::string(kLogRotateSize - 1, 'a');
    }
    broker_log("below the limit");
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_GE(static_cast<uint64_t>(st.st_size), kLogRotateSize);
    EXPECT_NE(0, stat((log + ".1").c_str(), &st));

    broker_log("%s", std::string(3000, 'x').c_str());
    ASSERT_EQ(0, stat((log + ".1").c_str(), &st));
    EXPECT_GE(static_cast<uint64_t>(st.st_size), kLogRotateSize);
    std::ifstream fresh(log);
    std::string line;
    ASSERT_TRUE(std::getline(fresh, line));
    EXPECT_EQ(kLogLineMax, line.size());
    EXPECT_EQ('Z', line[19]);
    EXPECT_EQ(' ', line[20]);
    EXPECT_FALSE(std::getline(fresh, line));

    // A cut never splits a character.
    std::string wide;
    while (wide.size() < 2000)
        wide += "\xc3\xa9";
    broker_log("%s", wide.c_str());
    std::ifstream again(log);
    std::getline(again, line);
    ASSERT_TRUE(std::getline(again, line));
    EXPECT_TRUE(utf8_is_valid(line.data(), line.size()));
    EXPECT_LE(line.size(), kLogLineMax);
    broker_log_open("");
}

std::string own_program_name() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(path.rfind('/') + 1);
}

TEST(VerifyCaller, NeedsOurProgramTheUserTheStartAndTheListener) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 1));
    socklen_t length = sizeof address;
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length));
    const uint16_t port = ntohs(address.sin_port);

    bool running = false;
    uint64_t start = 0;
    ASSERT_EQ(0, process_identity(getpid(), &running, &start, nullptr));
    const std::string me = std::to_string(geteuid());
    const std::string program = own_program_name();
    EXPECT_EQ(0, verify_caller(getpid(), start, me, program.c_str(), port));
    EXPECT_EQ(0, verify_caller(getpid(), 0, me, program.c_str(), 0));
    EXPECT_EQ(-EPERM, verify_caller(getpid(), start, me, "tarnwick-worker", port));
    EXPECT_EQ(-EPERM,
              verify_caller(getpid(), start, std::to_string(geteuid() + 1), program.c_str(), port));
    EXPECT_EQ(-EPERM, verify_caller(getpid(), start + 1, me, program.c_str(), port));
    EXPECT_EQ(-EPERM, verify_caller(getpid(), start, me, program.c_str(),
                                    static_cast<uint16_t>(port == 65535 ? 1 : port + 1)));
    EXPECT_EQ(-EPERM, verify_caller(getppid(), 0, me, program.c_str(), 0));
    close(listener);
}

} // namespace
} // namespace tw::test
