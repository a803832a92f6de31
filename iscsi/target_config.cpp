// The identity a program gives the target it serves: name, CHAP credentials
// and NAA identifier.
#include "iscsi/naming.h"
#include "iscsi/target.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

// Letters and digits that cannot be mistaken for one another when a secret
// is read out.
constexpr char kSecretAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
constexpr size_t kSecretAlphabetSize = sizeof kSecretAlphabet - 1; // 57

} // namespace

int target_config_prepare(TargetConfig *config, std::string_view name,
                          char secret[kTargetSecretLength + 1]) {
    if (name.size() >= sizeof config->target_name)
        return -EINVAL;
    std::memcpy(config->target_name, name.data(), name.size());
    config->target_name[name.size()] = '\0';
    std::memcpy(config->chap_name, kTarnwickChapName, sizeof kTarnwickChapName);
    uint8_t random[kTargetSecretLength + sizeof config->naa];
    if (!random_bytes(random, sizeof random))
        return -EIO;
    for (size_t i = 0; i < kTargetSecretLength; ++i) {
        secret[i] = kSecretAlphabet[random[i] % kSecretAlphabetSize];
        config->chap_secret[i] = static_cast<uint8_t>(secret[i]);
    }
    secret[kTargetSecretLength] = '\0';
    config->chap_secret_length = kTargetSecretLength;
    std::memcpy(config->naa, random + kTargetSecretLength, sizeof config->naa);
    secure_wipe(random, sizeof random);
    config->admit = nullptr; // only the published initiator
    config->admit_context = nullptr;
    return 0;
}

} // namespace tw
