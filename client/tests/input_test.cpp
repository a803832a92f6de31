// Password and credential input from a stream, and the paths handed to the
// engine.
#include "client/client.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using tw::ClientOutcome;
using tw::SecureBuffer;

// A pipe holding `text`, written from a thread so that inputs larger than
// the pipe's capacity work; the reader end is returned.
struct Feed {
    int fd = -1;
    std::thread writer;
    explicit Feed(const std::string &text) {
        signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        fd = fds[0];
        writer = std::thread([text, w = fds[1]] {
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = write(w, text.data() + done, text.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            close(w);
        });
    }
    ~Feed() {
        close(fd); // a reader that stopped early makes the writer fail, not hang
        writer.join();
    }
};

std::string text(const SecureBuffer &b) {
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

TEST(PasswordStdin, LimitsAndLineEnds) {
    const std::string exceeds = "Credential input exceeds the limit.";
    const std::string not_utf8 = "Password input exceeds the limit or is not UTF-8.";
    struct Case {
        const char *name;
        std::string input;
        std::string password; // when accepted
        std::string message;  // when refused
    } cases[] = {
        {"plain", "secret", "secret", ""},
        {"LF", "secret\n", "secret", ""},
        {"CR LF", "secret\r\n", "secret", ""},
        {"CR only", "secret\r", "secret", ""},
        {"LF CR is not a line end pair", "secret\n\r", "secret\n", ""},
        {"two LF", "secret\n\n", "secret\n", ""},
        {"inner CR LF kept", "a\r\nb\n", "a\r\nb", ""},
        {"spaces kept", " pw \n", " pw ", ""},
        {"empty", "", "", ""},
        {"4097 bytes", std::string(4097, 'x'), std::string(4097, 'x'), ""},
        {"4096 and LF", std::string(4096, 'x') + "\n", std::string(4096, 'x'), ""},
        {"4096 and CR LF", std::string(4096, 'x') + "\r\n", "", exceeds},
        {"far too long", std::string(100000, 'x'), "", exceeds},
        {"NUL", std::string("a\0", 2), "", not_utf8},
        {"overlong slash", "\xc0\xaf", "", not_utf8},
        {"surrogate", "\xed\xa0\x80", "", not_utf8},
        {"cut sequence", "\xe2\x82", "", not_utf8},
    };
    for (const Case &c : cases) {
        Feed feed(c.input);
        SecureBuffer password;
        ClientOutcome err;
        int rc = tw::read_password_stdin(&password, &err, feed.fd);
        if (c.message.empty()) {
            EXPECT_EQ(rc, 0) << c.name << err.message;
            EXPECT_EQ(text(password), c.password) << c.name;
        } else {
            EXPECT_EQ(rc, -EACCES) << c.name;
            EXPECT_EQ(err.code, "credentials") << c.name;
            EXPECT_EQ(err.message, c.message) << c.name;
            EXPECT_EQ(password.size(), 0u) << c.name;
        }
    }
}

TEST(CredentialsJson, MembersAndLimits) {
    const std::string pad_head = R"({"newPassword":"n","confirmation":"n","password":"p","x":")";
    const std::string at_limit = pad_head + std::string(65536 - pad_head.size() - 2, 'y') + "\"}";
    struct Case {
        const char *name;
        bool needs_password;
        std::string input;
        bool accepted;
        std::string password, new_password, confirmation;
    } cases[] = {
        {"all three", true, R"({"password":"p\u00e9","newPassword":"n","confirmation":"c"})", true,
         "p\xc3\xa9", "n", "c"},
        {"surrounding whitespace", true,
         " \n{\"password\":\"\",\"newPassword\":\"n\",\"confirmation\":\"n\"}\n", true, "", "n",
         "n"},
        {"password not needed and ignored", false,
         R"({"password":"p","newPassword":"n","confirmation":"n"})", true, "", "n", "n"},
        {"password not needed and absent", false, R"({"newPassword":"n","confirmation":"n"})", true,
         "", "n", "n"},
        {"exactly 64 KiB", true, at_limit, true, "p", "n", "n"},
        {"one byte over 64 KiB", true, at_limit + " ", false, "", "", ""},
        {"password missing", true, R"({"newPassword":"n","confirmation":"n"})", false, "", "", ""},
        {"password null", true, R"({"password":null,"newPassword":"n","confirmation":"n"})", false,
         "", "", ""},
        {"confirmation missing", false, R"({"newPassword":"n"})", false, "", "", ""},
        {"duplicate member", false, R"({"newPassword":"n","newPassword":"m","confirmation":"n"})",
         false, "", "", ""},
        {"escaped NUL", false, R"({"newPassword":"a\u0000b","confirmation":"a\u0000b"})", false, "",
         "", ""},
        {"a string", false, R"("n")", false, "", "", ""},
        {"empty input", false, "", false, "", "", ""},
        {"two objects", false, R"({"newPassword":"n","confirmation":"n"}{})", false, "", "", ""},
    };
    for (const Case &c : cases) {
        Feed feed(c.input);
        SecureBuffer password, new_password, confirmation;
        ClientOutcome err;
        int rc = tw::read_credentials_json(c.needs_password, &password, &new_password,
                                           &confirmation, &err, feed.fd);
        if (c.accepted) {
            EXPECT_EQ(rc, 0) << c.name << err.message;
            EXPECT_EQ(text(password), c.password) << c.name;
            EXPECT_EQ(text(new_password), c.new_password) << c.name;
            EXPECT_EQ(text(confirmation), c.confirmation) << c.name;
        } else {
            EXPECT_EQ(rc, -EACCES) << c.name;
            EXPECT_EQ(err.code, "credentials") << c.name;
            EXPECT_EQ(err.message,
                      c.needs_password
                          ? "Expected a JSON object with password, newPassword, and confirmation "
                            "strings, up to 64 KiB."
                          : "Expected a JSON object with newPassword and confirmation strings, "
                            "up to 64 KiB.")
                << c.name;
            EXPECT_EQ(password.size() + new_password.size() + confirmation.size(), 0u) << c.name;
        }
    }
}

TEST(ResolveFullPath, JoinsAndTidies) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string here = std::string(cwd) == "/" ? "" : cwd;
    struct Case {
        std::string path;
        std::string expected; // "" for refused
    } cases[] = {
        {"c.zcx", here + "/c.zcx"},
        {"./a//b/./c.zcx", here + "/a/b/c.zcx"},
        {"../c.zcx", here + "/../c.zcx"},
        {"/x/y.zcx", "/x/y.zcx"},
        {"//x///y/", "/x/y"},
        {"/", "/"},
        {"", ""},
        {std::string(32768, 'a'), ""},
        {std::string("a\0b", 3), ""},
    };
    for (const Case &c : cases) {
        std::string full;
        int rc = tw::resolve_full_path(c.path, &full);
        if (c.expected.empty()) {
            EXPECT_EQ(rc, -EINVAL) << c.path.size();
        } else {
            EXPECT_EQ(rc, 0) << c.path;
            EXPECT_EQ(full, c.expected) << c.path;
        }
    }
}

TEST(EngineRun, WithoutAnEngineBesideTheProgram) {
    // Test programs live in a folder without tarnwick-engine.
    tw::EngineRunContext ctx;
    ClientOutcome out;
    EXPECT_EQ(tw::engine_creation_options(&ctx, &out), -EIO);
    EXPECT_EQ(out.code, "installation");
    EXPECT_EQ(out.message, "The Tarnwick engine is missing. Rebuild or reinstall the application.");
    EXPECT_EQ(ctx.engine_pid.load(), 0);

    tw::FileOperation op;
    op.command = "inspect";
    op.input = "c.zcx";
    op.compression = {true, "fast", 4096};
    EXPECT_EQ(tw::engine_file_operation(&ctx, op, &out), -EINVAL);
    EXPECT_EQ(out.message, "Compression applies only to encrypted copies or replacement.");
}

TEST(EngineFileOperation, ChecksBeforeStarting) {
    struct Case {
        const char *name;
        std::string command, input, output;
        bool compression;
        std::string mode;
        uint64_t chunk;
        std::string code, message;
    } cases[] = {
        {"unknown command", "create", "c", "o", false, "", 0, "usage",
         "Unknown command. Run tarnwick --help."},
        {"compression with verify", "verify", "c", "", true, "fast", 4096, "usage",
         "Compression applies only to encrypted copies or replacement."},
        {"compression with export", "export", "c", "o", true, "off", 4096, "usage",
         "Compression applies only to encrypted copies or replacement."},
        {"compression with import", "import-veracrypt", "c", "o", true, "off", 4096, "usage",
         "Compression applies only to encrypted copies or replacement."},
        {"bad mode", "rekey", "c", "o", true, "lz4", 4096, "usage",
         "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes."},
        {"bad chunk", "convert", "c", "o", true, "fast", 8192, "usage",
         "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes."},
        {"no input", "verify", "", "", false, "", 0, "source",
         "Select an existing regular container file."},
        {"no output", "export", "c", "", false, "", 0, "usage", "Choose an output file."},
    };
    for (const Case &c : cases) {
        tw::EngineRunContext ctx;
        tw::FileOperation op;
        op.command = c.command;
        op.input = c.input;
        op.output = c.output;
        op.compression = {c.compression, c.mode, c.chunk};
        ClientOutcome out;
        EXPECT_EQ(tw::engine_file_operation(&ctx, op, &out), -EINVAL) << c.name;
        EXPECT_EQ(out.code, c.code) << c.name;
        EXPECT_EQ(out.message, c.message) << c.name;
    }
}

} // namespace
