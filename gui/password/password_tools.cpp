#include "gui/password/password_tools.h"

#include "runtime/random.h"

#include <QLineEdit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <zxcvbn.h>

namespace tw {

int password_score_for_guesses(double guesses) {
    if (guesses < 1005.0)
        return 0;
    if (guesses < 1000005.0)
        return 1;
    if (guesses < 100000005.0)
        return 2;
    if (guesses < 10000000005.0)
        return 3;
    return 4;
}

int password_strength_score(std::span<const uint8_t> password) {
    if (password.empty() || password.size() > kStrengthBytesMax)
        return -EINVAL;
    // The estimator's dictionaries are built into the library; preparing
    // them is a no-op that still has to happen once before the first use.
    static std::once_flag prepared;
    static bool ready = false;
    std::call_once(prepared, [] { ready = ZxcvbnInit(nullptr) != 0; });
    if (!ready)
        return -EIO;
    // The estimator reads a NUL-terminated string.
    SecureBuffer text = SecureBuffer::with_capacity(password.size() + 1);
    if (!text.valid() || !text.resize(password.size() + 1))
        return -ENOMEM;
    memcpy(text.data(), password.data(), password.size());
    text.data()[password.size()] = 0;
    const double bits = ZxcvbnMatch(reinterpret_cast<const char *>(text.data()), nullptr, nullptr);
    if (!std::isfinite(bits) || bits < 0)
        return -EIO;
    return password_score_for_guesses(std::exp2(bits));
}

int password_generate(int length, int limit, bool symbols, SecureBuffer *out) {
    if (length < 1 || length > kGeneratorLengthMax || limit <= 0 || length > limit)
        return -EINVAL;
    char alphabet[sizeof kGeneratorLetters + sizeof kGeneratorSymbols];
    size_t k = strlen(kGeneratorLetters);
    memcpy(alphabet, kGeneratorLetters, k);
    if (symbols) {
        memcpy(alphabet + k, kGeneratorSymbols, strlen(kGeneratorSymbols));
        k += strlen(kGeneratorSymbols);
    }
    const unsigned accept_below = 256 - (256 % k);
    SecureBuffer result = SecureBuffer::with_capacity(static_cast<size_t>(length));
    SecureBuffer random(64);
    if (!result.valid() || !random.valid())
        return -ENOMEM;
    size_t produced = 0;
    while (produced < static_cast<size_t>(length)) {
        if (!random_bytes(random.data(), random.size())) {
            result.clear();
            return -EIO;
        }
        for (size_t i = 0; i < random.size() && produced < static_cast<size_t>(length); i++) {
            const unsigned b = random.data()[i];
            if (b >= accept_below)
                continue;
            result.resize(produced + 1);
            result.data()[produced++] = static_cast<uint8_t>(alphabet[b % k]);
        }
    }
    random.wipe();
    *out = std::move(result);
    return 0;
}

bool secret_from_text(const QString &text, SecureBuffer *out) {
    QByteArray utf8 = text.toUtf8();
    SecureBuffer buffer = SecureBuffer::with_capacity(static_cast<size_t>(utf8.size()));
    bool ok = buffer.valid() && buffer.assign(utf8.constData(), static_cast<size_t>(utf8.size()));
    // toUtf8 made a new array that nothing else shares: wipe it in place.
    if (!utf8.isEmpty())
        secure_wipe(utf8.data(), static_cast<size_t>(utf8.size()));
    if (ok)
        *out = std::move(buffer);
    return ok;
}

QString secret_to_text(std::span<const uint8_t> bytes) {
    return QString::fromUtf8(reinterpret_cast<const char *>(bytes.data()),
                             static_cast<qsizetype>(bytes.size()));
}

void wipe_text(QString *text) {
    if (text->isEmpty()) {
        text->clear();
        return;
    }
    // constData() does not detach: the characters are overwritten where they
    // are stored, also for every widget that shares this storage. Text
    // compiled into the program (literals) has no header and lives in
    // read-only memory; it is no secret and is left alone.
    if (text->data_ptr().isMutable())
        secure_wipe(const_cast<QChar *>(text->constData()),
                    static_cast<size_t>(text->size()) * sizeof(QChar));
    text->clear();
}

void wipe_line_edit(QLineEdit *edit) {
    QString text = edit->text();
    wipe_text(&text);
    edit->clear();
}

} // namespace tw
