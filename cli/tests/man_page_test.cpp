// The manual pages must not drift from the programs' usage texts: every
// command and every option the usage names is described in the page.
#include "broker/texts.h"
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace tw {
namespace {

// The page's text with roff's font changes removed and "\-" read as "-", so
// that "\fB\-\-json\fR" is found as "--json".
std::string page_text(const char *name) {
    std::ifstream in(std::string(TW_SOURCE_DIR) + "/doc/man/" + name);
    std::stringstream raw;
    raw << in.rdbuf();
    std::string text;
    const std::string source = raw.str();
    for (size_t i = 0; i < source.size(); i++) {
        if (source[i] == '\\' && i + 1 < source.size()) {
            char next = source[i + 1];
            if (next == '-') {
                text += '-';
                i++;
                continue;
            }
            if (next == 'f' && i + 2 < source.size()) {
                i += 2;
                continue;
            }
            if (next == 'e') {
                text += '\\';
                i++;
                continue;
            }
        }
        text += source[i];
    }
    return text;
}

struct UsageWords {
    std::set<std::string> commands;
    std::set<std::string> options;
};

// Commands are the first word after "tarnwick " on each synopsis line;
// options are every "--word" anywhere in the usage.
UsageWords usage_words(const std::string &usage) {
    UsageWords words;
    std::istringstream lines(usage);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("tarnwick ", 0) == 0) {
            std::string rest = line.substr(9);
            std::string command = rest.substr(0, rest.find(' '));
            if (command.rfind("--", 0) != 0)
                words.commands.insert(command);
        }
        for (size_t at = line.find("--"); at != std::string::npos; at = line.find("--", at + 2)) {
            size_t end = at + 2;
            while (end < line.size() &&
                   (isalnum(static_cast<unsigned char>(line[end])) || line[end] == '-'))
                end++;
            if (end > at + 2)
                words.options.insert(line.substr(at, end - at));
            at = end - 2;
        }
    }
    return words;
}

TEST(ManPages, TheCommandLinePageDescribesEveryCommandAndOptionOfTheUsage) {
    const std::string page = page_text("tarnwick.1");
    ASSERT_FALSE(page.empty()) << "doc/man/tarnwick.1 is missing";
    UsageWords words = usage_words(cli_usage_text());
    ASSERT_GT(words.commands.size(), 10u);
    ASSERT_TRUE(words.options.count("--json"));
    // Each command heads an entry of its own: ".B COMMAND" alone or before its arguments.
    for (const std::string &command : words.commands)
        EXPECT_TRUE(page.find("\n.B " + command + " ") != std::string::npos ||
                    page.find("\n.B " + command + "\n") != std::string::npos)
            << command;
    for (const std::string &option : words.options)
        EXPECT_NE(page.find(option), std::string::npos) << option;
}

TEST(ManPages, TheBrokerPageDescribesEveryCommandOfItsUsage) {
    const std::string page = page_text("tarnwick-broker.8");
    ASSERT_FALSE(page.empty()) << "doc/man/tarnwick-broker.8 is missing";
    std::string usage = kTextUsage;
    size_t open = usage.find('['), close = usage.find(']');
    ASSERT_NE(open, std::string::npos);
    std::istringstream list(usage.substr(open + 1, close - open - 1));
    std::string word;
    int commands = 0;
    while (list >> word) {
        if (word == "|")
            continue;
        commands++;
        EXPECT_NE(page.find("\n.B " + word + "\n"), std::string::npos) << word;
    }
    EXPECT_GE(commands, 3) << "the usage's command list was not found";
}

} // namespace
} // namespace tw
