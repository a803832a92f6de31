#include "platform/secure_memory.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The VmFlags line of the mapping that starts at `address`, from
// /proc/self/smaps: "lo" means locked, "dd" excluded from core dumps.
std::string vm_flags_of(const void *address) {
    char start[32];
    std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(address));
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        if (line.rfind(start, 0) == 0)
            inside = true;
        else if (inside && line.rfind("VmFlags:", 0) == 0)
            return line;
    }
    return {};
}

bool has_flag(const std::string &flags, const char *flag) {
    return flags.find(std::string(" ") + flag) != std::string::npos;
}

TEST(LockedMemory, PagesAreLockedAndKeptOutOfCoreDumps) {
    bool locked = false;
    void *p = tw::locked_pages_alloc(5000, &locked);
    ASSERT_NE(nullptr, p);
    auto *bytes = static_cast<uint8_t *>(p);
    for (size_t i = 0; i < 8192; ++i) // two whole pages were mapped
        ASSERT_EQ(0, bytes[i]);
    std::string flags = vm_flags_of(p);
    ASSERT_FALSE(flags.empty());
    EXPECT_TRUE(has_flag(flags, "dd")) << flags;
    if (geteuid() == 0) { // tests run as root, where the lock cannot be refused
        EXPECT_TRUE(locked);
        EXPECT_TRUE(has_flag(flags, "lo")) << flags;
    }
    tw::locked_pages_free(p, 5000);
    EXPECT_EQ(nullptr, tw::locked_pages_alloc(0, &locked));
    EXPECT_FALSE(locked);
    tw::locked_pages_free(nullptr, 10);
}

} // namespace
