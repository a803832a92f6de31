// Damaged v3 containers through the real engine: every command names the
// damaged part and the bytes of the disk it holds, and tells what to do,
// instead of giving a bare error word.
#include "container/container.h"
#include "container/container_internal.h"
#include "container/files/file_access.h"
#include "container/v3/v3_internal.h"
#include "runtime/json.h"
#include "support/containers.h"
#include "support/request.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tw::test::Request;

const char *const kAdvice =
    "Keep the file as it is, copy out what is still readable, and check your backup.";

Request kind1(const std::string &password) {
    Request r;
    r.password = password;
    return r;
}
Request kind2(const std::string &current, const std::string &next) {
    Request r;
    r.kind = 2;
    r.password = current;
    r.new_password = next;
    return r;
}

std::string member(const std::string &line, const char *name) {
    tw::JsonValue *v = tw::json_parse_text(line.c_str());
    std::string text;
    if (tw::JsonValue *m = tw::json_get(v, name); m && m->kind == tw::JsonKind::String)
        text = m->string_bytes;
    tw::json_free(v);
    return text;
}

// A 34 MiB FAT32 image holding one file of 4 MiB random bytes, converted
// into a v3 AES container with 16384-byte chunks (2176 chunks, chunk map of
// depth 1).
class DamagedContainer : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/tw-damage-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(tw::test::shell_in(
            dir_, "truncate -s 34M fat32.img && mkfs.vfat -F 32 -n DAMAGE fat32.img && "
                  "head -c 4194304 /dev/urandom > data.bin && "
                  "MTOOLS_SKIP_CHECK=1 mcopy -i fat32.img data.bin ::/DATA.BIN"));
        tw::test::EngineRun made = tw::test::run_engine(
            {"convert", path("fat32.img"), path("healthy.zcx"), "9", "off", "16384"},
            tw::test::encode(kind2("", "pw1")));
        ASSERT_EQ(made.exit_code, 0) << made.out << made.err;
        healthy_ = tw::test::read_bytes(path("healthy.zcx"));
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }
    static std::string path(const std::string &name) { return dir_ + "/" + name; }

    // File offsets of the blocks of the healthy container: data chunk
    // `chunk` and the chunk-map node of level 0 that maps it.
    static void locate(uint64_t chunk, uint64_t *chunk_offset, uint64_t *node_offset) {
        tw::Container *c = nullptr;
        ASSERT_EQ(0, tw::container_open(path("healthy.zcx").c_str(), tw::kContainerOpenRead, &c));
        ASSERT_EQ(0, tw::container_unlock(c, reinterpret_cast<const uint8_t *>("pw1"), 3,
                                          tw::kCipherUnset));
        tw::V3Store *s = c->v3;
        ASSERT_EQ(s->layout.map_depth, 1u);
        tw::v3::BlockRef ref;
        ASSERT_EQ(0, tw::v3::chunk_ref_get(s, chunk, &ref));
        *chunk_offset = ref.offset;
        const tw::v3::CopyState &st = s->copy[s->current];
        const uint8_t *root = nullptr;
        ASSERT_EQ(0, tw::v3::read_node(s, st.map_root, tw::v3::kTypeMap, 1, 0, st.end_used, false,
                                       &root));
        tw::v3::ref_decode(root + tw::v3::kRefSize * (chunk >> 6), &ref);
        *node_offset = ref.offset;
        tw::container_close(c);
        ASSERT_NE(*chunk_offset, 0u);
        ASSERT_NE(*node_offset, 0u);
    }

    static std::string dir_;
    static std::vector<uint8_t> healthy_;
};

std::string DamagedContainer::dir_;
std::vector<uint8_t> DamagedContainer::healthy_;

TEST_F(DamagedContainer, EveryCommandNamesTheDamagedPart) {
    // Chunk 200 holds bytes 3276800..3293183 of the disk, inside the file;
    // the map node 3 maps chunks 192..255.
    uint64_t chunk_offset = 0, node_offset = 0;
    locate(200, &chunk_offset, &node_offset);
    ASSERT_FALSE(HasFailure());
    const std::string chunk_damage =
        std::string("The container is damaged: data chunk 200 failed its check; it holds bytes "
                    "3276800 to 3293183 of the disk. ") +
        kAdvice;
    const std::string node_damage =
        std::string("The container is damaged: a node of its chunk map failed its check; it maps "
                    "bytes 3145728 to 4194303 of the disk. ") +
        kAdvice;
    // The first map node, which the filesystem check itself needs.
    uint64_t first_chunk_offset = 0, first_node_offset = 0;
    locate(0, &first_chunk_offset, &first_node_offset);
    const std::string first_node_damage =
        std::string("The container is damaged: a node of its chunk map failed its check; it maps "
                    "bytes 0 to 1048575 of the disk. ") +
        kAdvice;

    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> *)> damage;
        std::vector<std::string> command; // FILE and OUTPUT are appended as needed
        Request request;
        std::string message;
    } cases[] = {
        {"a data chunk, exported",
         [&](auto *f) { (*f)[chunk_offset + 100] ^= 1; },
         {"export"},
         kind1("pw1"),
         chunk_damage},
        {"a data chunk, rekeyed",
         [&](auto *f) { (*f)[chunk_offset + 100] ^= 1; },
         {"rekey"},
         kind2("pw1", "pw2"),
         chunk_damage},
        {"a data chunk, replaced",
         [&](auto *f) { (*f)[chunk_offset + 100] ^= 1; },
         {"replace"},
         kind2("pw1", "pw2"),
         chunk_damage},
        {"a chunk-map node, exported",
         [&](auto *f) { (*f)[node_offset + 7] ^= 1; },
         {"export"},
         kind1("pw1"),
         node_damage},
        {"the chunk-map node the check reads, verified",
         [&](auto *f) { (*f)[first_node_offset + 7] ^= 1; },
         {"verify"},
         kind1("pw1"),
         first_node_damage},
        {"the file cut short",
         [&](auto *f) { f->resize(f->size() - 4096); },
         {"verify"},
         kind1("pw1"),
         std::string("The container is damaged: the file is shorter than its header records, "
                     "so its end was cut off. ") +
             kAdvice},
        {"both header copies",
         [&](auto *f) { (*f)[76] ^= 1, (*f)[4096 + 76] ^= 1; },
         {"verify"},
         kind1("pw1"),
         std::string("The container is damaged: neither copy of its header is valid. ") + kAdvice},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> file = healthy_;
        c.damage(&file);
        const std::string container = path("damaged.zcx");
        const std::string output = path("damaged.out");
        tw::test::write_bytes(container, file);
        std::vector<std::string> args = c.command;
        args.push_back(container);
        if (c.command[0] == "export" || c.command[0] == "rekey")
            args.push_back(output);
        if (c.command[0] == "replace")
            args.push_back("255");
        tw::test::EngineRun run = tw::test::run_engine(args, tw::test::encode(c.request));
        EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
        ASSERT_FALSE(run.lines().empty()) << run.err;
        const std::string last = run.lines().back();
        EXPECT_EQ(member(last, "code"), "io") << last;
        EXPECT_EQ(member(last, "message"), c.message) << last;
        // Nothing was written, and the container is as it was.
        EXPECT_NE(access(output.c_str(), F_OK), 0);
        EXPECT_TRUE(tw::test::read_bytes(container) == file);
        EXPECT_TRUE(tw::test::shell_in(dir_, "test -z \"$(ls -A | grep -e openzcx -e original)\""));
        unlink(container.c_str());
    }
}

} // namespace

namespace {

// A full check reads every chunk: a healthy container has no damaged range;
// a damaged data chunk is one range of its bytes, a damaged chunk-map node
// the range of all it maps, and the file of the FAT32 filesystem that lies
// there is named.
TEST_F(DamagedContainer, FullCheckListsDamagedRangesAndTheirFiles) {
    uint64_t chunk_offset = 0, node_offset = 0;
    locate(200, &chunk_offset, &node_offset);
    ASSERT_FALSE(HasFailure());
    struct Case {
        const char *what;
        uint64_t damage_at; // file offset of the changed byte; 0 for none
        std::string ranges;
    } cases[] = {
        {"healthy", 0, "[]"},
        {"a data chunk", chunk_offset + 100,
         R"([{"firstByte":3276800,"length":16384,"part":"data chunk","files":["/DATA.BIN"]}])"},
        {"a chunk-map node", node_offset + 7,
         R"([{"firstByte":3145728,"length":1048576,"part":"chunk map","files":["/DATA.BIN"]}])"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> file = healthy_;
        if (c.damage_at)
            file[c.damage_at] ^= 1;
        const std::string container = path("full.zcx");
        tw::test::write_bytes(container, file);
        tw::test::EngineRun run =
            tw::test::run_engine({"verify-full", container}, tw::test::encode(kind1("pw1")));
        EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
        ASSERT_FALSE(run.lines().empty());
        const std::string last = run.lines().back();
        tw::JsonValue *v = tw::json_parse_text(last.c_str());
        char *ranges = tw::json_serialize(tw::json_get(v, "damagedRanges"));
        EXPECT_EQ(std::string(ranges ? ranges : ""), c.ranges) << last;
        tw::json_free_text(ranges);
        tw::json_free(v);
        unlink(container.c_str());
    }
}

} // namespace
