// install, remove and purge of the broker's unit and state. The unit folder
// is a temporary one (TARNWICK_TEST_UNIT_FOLDER), so systemctl is never run
// and the machine's systemd is never touched.
#include "broker/tests/support/broker_process.h"

#include "broker/texts.h"
#include "platform/clock.h"
#include "runtime/text.h"
#include "tests/support/private_mounts.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace tw::test {
namespace {

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class Install : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &skip = enter_private_mounts();
        if (!skip.empty())
            GTEST_SKIP() << skip;
        run_program({"/bin/rm", "-rf", "/var/lib/tarnwick"});
        mkdir("/var/lib/tarnwick", 0700);
        char name[] = "/tmp/tw-units-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(name));
        units = name;
        env = {std::string("TARNWICK_TEST_UNIT_FOLDER=") + units};
    }
    void TearDown() override {
        if (!units.empty())
            run_program({"/bin/rm", "-rf", units});
    }
    ProgramRun broker(const char *command, uid_t uid = 0) {
        return run_program({broker_program(), command}, env, uid, true);
    }
    std::string unit() const { return units + "/tarnwick-broker.service"; }

    std::string units;
    std::vector<std::string> env;
};

TEST_F(Install, WritesTheUnitForTheSiblingProgramAndRemoveTakesItAway) {
    ProgramRun run = broker("install");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("systemd is not running here")) << run.err;
    std::ifstream file(unit());
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(std::string::npos, text.str().find("\nExecStart=\"" + broker_program() + "\"\n"))
        << text.str();
    EXPECT_NE(std::string::npos, text.str().find("\nWantedBy=multi-user.target\n"));
    struct stat st;
    ASSERT_EQ(0, stat(unit().c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);

    // Installing again replaces the unit in place.
    EXPECT_EQ(0, broker("install").status);

    // A broker that leaves its state behind, then remove and purge.
    {
        BrokerProcess service;
        ASSERT_TRUE(service.start());
        EXPECT_EQ(2, broker("remove").status);
        EXPECT_TRUE(exists(unit()));
        EXPECT_EQ(0, service.stop());
    }
    run = broker("remove");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_FALSE(exists(unit()));
    EXPECT_EQ(0, broker("purge").status);
    EXPECT_FALSE(exists("/var/lib/tarnwick"));
    EXPECT_EQ(0, broker("remove").status);
    EXPECT_EQ(0, broker("purge").status);
}

TEST_F(Install, RemoveRefusesWhileADiskIsAttached) {
    ASSERT_EQ(0, broker("install").status);
    BrokerProcess service;
    ASSERT_TRUE(service.start());
    ASSERT_EQ(0, service.stop());
    char id[kUuidTextSize];
    ASSERT_TRUE(uuid_generate(id));
    std::string record = std::string("/var/lib/tarnwick/broker/") + id + ".json";
    std::ofstream(record) << R"({"id":")" << id << R"(","owner":"1000","boot":)" << boot_time()
                          << R"(,"phase":"mounted","version":1})";
    std::string format = std::string("/var/lib/tarnwick/broker/") + "NOT-A-UUID.json";
    std::ofstream(format) << "{}";

    ProgramRun run = broker("remove");
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(std::string(kTextUnmountAll) +
                  "\nSome records in /var/lib/tarnwick/broker could not be read. If no Tarnwick "
                  "disk is attached, delete them and try again.\n",
              run.err);
    EXPECT_TRUE(exists(unit()));
    EXPECT_TRUE(exists(record));

    // Purge keeps what is still recorded.
    EXPECT_EQ(0, broker("purge").status);
    EXPECT_FALSE(exists("/var/lib/tarnwick/broker.log"));
    EXPECT_TRUE(exists(record));
}

TEST_F(Install, RemoveWaitsForRunningEngines) {
    ASSERT_EQ(0, broker("install").status);
    // An engine that waits for its credentials on standard input.
    const std::string engine = std::string(TW_BIN_DIR) + "/tarnwick-engine";
    const std::string script = "sleep 5 | '" + engine +
                               "' verify /nonexistent.zcx >/dev/null 2>&1 & sleep 0.3; '" +
                               broker_program() + "' remove; rc=$?; kill $! 2>/dev/null; exit $rc";
    ProgramRun run = run_program({"/bin/sh", "-c", script}, env, 0, true);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(std::string(kTextEnginesRunning) + "\n", run.err);
    EXPECT_TRUE(exists(unit()));
}

TEST_F(Install, EveryCommandNeedsRoot) {
    for (const char *command : {"install", "remove", "purge"}) {
        ProgramRun run = broker(command, 65534);
        EXPECT_EQ(1, run.status) << command;
        EXPECT_EQ(std::string(kTextRunAsRoot) + "\n", run.err) << command;
    }
    EXPECT_FALSE(exists(unit()));
    ProgramRun run = broker("uninstall");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(std::string(kTextUsage) + "\n", run.err);
}

} // namespace
} // namespace tw::test
