#include "engine/summary.h"
#include "runtime/json.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string render(const tw::SummaryFacts &f) {
    tw::JsonValue *s = tw::container_summary(f);
    char *text = tw::json_serialize(s);
    std::string out = text ? text : "";
    tw::json_free_text(text);
    tw::json_free(s);
    return out;
}

tw::SummaryFacts inspected() {
    tw::SummaryFacts f;
    f.format_name = "OpenZCX salted";
    f.size = 1048576;
    f.allocated_size_known = true;
    f.allocated_size = 1049000; // rounded down to whole sectors
    f.memory_locked = true;
    return f;
}

TEST(ContainerSummary, MembersAndOrder) {
    struct Case {
        const char *what;
        tw::SummaryFacts facts;
        const char *expected;
    } cases[] = {
        {"inspect of an encrypted container", inspected(),
         R"j({"format":"OpenZCX salted","cipher":"Not checked","algorithm":255,)j"
         R"j("filesystem":"Not checked","writeSupported":false,"allocatedSize":1048576,)j"
         R"j("size":1048576,"verified":false,"recoveryRequired":false,"plaintext":false,)j"
         R"j("isCD":false,"headerLocked":false,"memoryLocked":true,)j"
         R"j("writeSessionRecovery":false,"event":"result"})j"},
        {"verified v3 container",
         [] {
             tw::SummaryFacts f = inspected();
             f.format_name = "OpenZCX compressed";
             f.unlocked = f.verified = true;
             f.cipher = 10;
             f.cipher_name = "XChaCha20";
             f.filesystem = "exFAT filesystem";
             f.filesystem_type = "exfat";
             f.write_filesystem = "exfat";
             f.v3 = f.v3_compressed = true;
             f.v3_chunk_size = 16384;
             f.allocated_size_known = false;
             return f;
         }(),
         R"j({"format":"OpenZCX compressed","cipher":"XChaCha20","algorithm":10,)j"
         R"j("filesystem":"exFAT filesystem","filesystemType":"exfat","writeSupported":true,)j"
         R"j("writeFilesystem":"exfat","newPasswordLimit":4096,"compression":"fast",)j"
         R"j("chunkSize":16384,"recoveryCopyAvailable":false,"size":1048576,"verified":true,)j"
         R"j("recoveryRequired":false,"plaintext":false,"isCD":false,"headerLocked":false,)j"
         R"j("memoryLocked":true,"writeSessionRecovery":false,"event":"result"})j"},
        {"verified unencrypted image: never writable, no password limit",
         [] {
             tw::SummaryFacts f = inspected();
             f.format_name = "OpenZCX (sector 0 in clear)";
             f.unlocked = f.verified = f.plaintext = true;
             f.cipher = 254;
             f.filesystem = "Filesystem @ LBA 0: FAT16/FAT12 filesystem";
             f.filesystem_type = "other";
             f.write_filesystem = "fat";
             f.allocated_size_known = false;
             return f;
         }(),
         R"j({"format":"OpenZCX (sector 0 in clear)","cipher":"Unencrypted","algorithm":254,)j"
         R"j("filesystem":"Filesystem @ LBA 0: FAT16/FAT12 filesystem","filesystemType":"other",)j"
         R"j("writeSupported":false,"size":1048576,"verified":true,"recoveryRequired":false,)j"
         R"j("plaintext":true,"isCD":false,"headerLocked":false,"memoryLocked":true,)j"
         R"j("writeSessionRecovery":false,"event":"result"})j"},
        {"credential record not locked: memoryLocked false and moved",
         [] {
             tw::SummaryFacts f = inspected();
             f.credentials_locked = false;
             f.recovery_required = f.write_session_recovery = true;
             f.allocated_size_known = false;
             return f;
         }(),
         R"j({"format":"OpenZCX salted","cipher":"Not checked","algorithm":255,)j"
         R"j("filesystem":"Not checked","writeSupported":false,"size":1048576,)j"
         R"j("verified":false,"recoveryRequired":true,"plaintext":false,"isCD":false,)j"
         R"j("headerLocked":false,"writeSessionRecovery":true,"memoryLocked":false,)j"
         R"j("event":"result"})j"},
        {"legacy cipher with no password limit",
         [] {
             tw::SummaryFacts f = inspected();
             f.format_name = "OpenZCX Modern (ctRangeFDD, 32-byte SSE2 header)";
             f.unlocked = f.verified = true;
             f.cipher = 7;
             f.cipher_name = "SSE2";
             f.filesystem = "x";
             f.allocated_size_known = false;
             return f;
         }(),
         R"j({"format":"OpenZCX Modern (ctRangeFDD, 32-byte SSE2 header)","cipher":"SSE2",)j"
         R"j("algorithm":7,"filesystem":"x","writeSupported":false,"newPasswordLimit":0,)j"
         R"j("size":1048576,"verified":true,"recoveryRequired":false,"plaintext":false,)j"
         R"j("isCD":false,"headerLocked":false,"memoryLocked":true,)j"
         R"j("writeSessionRecovery":false,"event":"result"})j"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render(c.facts), c.expected) << c.what;
}

} // namespace
