// Options of the command line, taken out in a fixed order so that the first
// problem found is always the same one.
#include "cli/cli.h"
#include "cli/texts.h"

#include "runtime/cipher_id.h"
#include "runtime/engine_commands.h"
#include "runtime/mount_preferences.h"

#include <algorithm>
#include <cstdio>
#include <strings.h>

namespace tw {

namespace {

// Removes the first occurrence of option after the command; true when found.
bool take_flag(std::vector<std::string> *words, std::string_view option) {
    for (size_t i = 1; i < words->size(); ++i) {
        if ((*words)[i] == option) {
            words->erase(words->begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

// Removes the first occurrence of option and up to `count` values after it.
// Returns false when the option is absent; *values holds the values found.
bool take_option(std::vector<std::string> *words, std::string_view option, size_t count,
                 std::vector<std::string> *values) {
    for (size_t i = 1; i < words->size(); ++i) {
        if ((*words)[i] != option)
            continue;
        size_t available = std::min(count, words->size() - i - 1);
        values->assign(words->begin() + static_cast<long>(i) + 1,
                       words->begin() + static_cast<long>(i + 1 + available));
        words->erase(words->begin() + static_cast<long>(i),
                     words->begin() + static_cast<long>(i + 1 + available));
        return true;
    }
    return false;
}

int usage(ClientOutcome *out, const char *message) {
    return client_fail(out, "usage", message);
}

// Matches the name case-insensitively against the engine's offered ciphers.
int choose_algorithm(EngineRunContext *ctx, const std::string &name, CliArgs *parsed,
                     ClientOutcome *out) {
    ClientOutcome options;
    int rc = engine_creation_options(ctx, &options);
    if (rc != 0) {
        client_fail(out, options.code, options.message);
        return rc;
    }
    for (const JsonValue *c = json_first(json_get(options.result, "ciphers")); c != nullptr;
         c = json_next(c)) {
        const char *cipher = json_get_string(c, "cipher", nullptr);
        int64_t number = json_get_int(c, "algorithm", -1);
        if (cipher != nullptr && number >= 0 && number <= 255 &&
            strcasecmp(cipher, name.c_str()) == 0) {
            parsed->algorithm_given = true;
            parsed->algorithm = static_cast<uint32_t>(number);
            return 0;
        }
    }
    return usage(out, kTextUnknownAlgorithm);
}

} // namespace

bool cli_parse_decimal(const std::string &text, uint64_t *value) {
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

int cli_parse_options(EngineRunContext *ctx, std::vector<std::string> words, CliArgs *parsed,
                      ClientOutcome *out) {
    // The first --json anywhere; a second one is an unknown option.
    auto json = std::find(words.begin(), words.end(), "--json");
    if (json != words.end()) {
        words.erase(json);
        parsed->json = true;
    }
    if (words.empty())
        return usage(out, kTextUnknownCommand);
    const std::string command = words[0];
    const EngineCommandInfo *info = cli_command_find(command);
    const CredentialKind credential = info != nullptr ? info->credential : CredentialKind::None;

    // --password-stdin gives the current password, --credentials-stdin also a
    // new one; each only to the commands that read exactly that.
    bool password_stdin = take_flag(&words, "--password-stdin");
    if (password_stdin && credential != CredentialKind::Current)
        return usage(out, kTextStdinOption);
    bool credentials_stdin = take_flag(&words, "--credentials-stdin");
    if (credentials_stdin && (password_stdin || credential != CredentialKind::CurrentAndNew))
        return usage(out, kTextStdinOption);
    parsed->password_stdin = password_stdin;
    parsed->credentials_stdin = credentials_stdin;

    std::vector<std::string> values;
    if (take_option(&words, "--experimental-compression", 2, &values)) {
        // Meant for every command that writes a new container (the ones that
        // take a new password); the one that writes only uncompressed ones
        // says so.
        uint64_t chunk = 0;
        if (values.size() != 2 || !cli_parse_decimal(values[1], &chunk) ||
            credential != CredentialKind::CurrentAndNew)
            return usage(out, kTextCompressionUsage);
        if (!info->takes_compression)
            return usage(out, kTextImportUncompressed);
        if ((values[0] != "off" && values[0] != "fast") ||
            (chunk != 4096 && chunk != 16384 && chunk != 65536))
            return usage(out, kTextCompressionValues);
        parsed->compression = {true, values[0], chunk};
    }

    if (take_option(&words, "--algorithm", 1, &values)) {
        if (values.size() != 1 || info == nullptr || !info->takes_algorithm)
            return usage(out, kTextAlgorithmUsage);
        int rc = choose_algorithm(ctx, values[0], parsed, out);
        if (rc != 0)
            return rc;
        if (parsed->algorithm != kCipherAesXts)
            cli_print_error(kTextCipherWarning);
    }

    if (take_flag(&words, "--full")) {
        if (command != "verify")
            return usage(out, kTextFullUsage);
        parsed->full = true;
    }
    if (take_flag(&words, "--experimental-write")) {
        if (command != "mount")
            return usage(out, kTextWriteOptionUsage);
        parsed->experimental_write = true;
    }
    if (take_option(&words, "--label", 1, &values)) {
        if (values.size() != 1 || command != "mount")
            return usage(out, kTextLabelUsage);
        std::string code, message;
        if (mount_label_check(values[0], &code, &message) != 0)
            return client_fail(out, code, message);
        parsed->label_given = true;
        parsed->label = values[0];
    }
    if (take_option(&words, "--partition", 1, &values)) {
        uint64_t n = 0;
        if (values.size() != 1 || command != "mount" || !cli_parse_decimal(values[0], &n) ||
            n < 1 || n > 128)
            return usage(out, kTextPartitionUsage);
        parsed->partition = static_cast<int>(n);
    }

    for (size_t i = 1; i < words.size(); ++i)
        if (words[i].starts_with("--"))
            return usage(out, kTextUnknownOption);
    parsed->words = std::move(words);
    return 0;
}

} // namespace tw
