// The new-password panel: byte limits, the generator, the strength estimate
// with its stale results, and the clipboard copy that is taken back.
#include "gui/password/password_panel.h"
#include "gui/password/password_tools.h"
#include "gui/password/secret_clipboard.h"
#include "runtime/random.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace tw {
namespace {

QString label_text(PasswordPanel &panel, const char *name) {
    return panel.findChild<QLabel *>(QLatin1String(name))->text();
}

QLineEdit *edit(PasswordPanel &panel, const char *name) {
    return panel.findChild<QLineEdit *>(QLatin1String(name));
}

void fill(PasswordPanel &panel, const QString &password, const QString &confirmation) {
    edit(panel, "newPassword")->setText(password);
    edit(panel, "confirmation")->setText(confirmation);
}

TEST(PasswordPanel, LimitsAreCountedInUtf8Bytes) {
    const QString e_acute = QString::fromUtf8("\xC3\xA9");       // 2 bytes
    const QString emoji = QString::fromUtf8("\xF0\x9F\x94\x91"); // 4 bytes, 2 UTF-16 units
    struct Case {
        const char *what;
        QString password;
        QString confirmation; // same as password when null
        int limit;
        bool valid;
        const char *error;
    };
    const Case cases[] = {
        {"at the 4096 limit", QString(4096, u'a'), {}, 4096, true, ""},
        {"one byte over 4096",
         QString(4097, u'a'),
         {},
         4096,
         false,
         "The new password is too long."},
        {"over 4096 with the limit unknown", QString(4097, u'a'), {}, 0, false, ""},
        {"4096 with the limit unknown", QString(4096, u'a'), {}, 0, true, ""},
        {"64 two-byte characters over a 64 limit",
         e_acute.repeated(33),
         {},
         64,
         false,
         "The new password is too long."},
        {"32 two-byte characters at a 64 limit", e_acute.repeated(32), {}, 64, true, ""},
        {"16 four-byte characters at a 64 limit", emoji.repeated(16), {}, 64, true, ""},
        {"17 four-byte characters over a 64 limit",
         emoji.repeated(17),
         {},
         64,
         false,
         "The new password is too long."},
        {"a different confirmation", QStringLiteral("secret one"), QStringLiteral("secret two"), 64,
         false, "The new passwords do not match."},
        {"no confirmation yet", QStringLiteral("secret one"), QStringLiteral(""), 64, false, ""},
        {"empty", QString(), {}, 64, false, ""},
        {"spaces are kept, not trimmed", QStringLiteral(" pw "), QStringLiteral("pw"), 64, false,
         "The new passwords do not match."},
    };
    for (const Case &c : cases) {
        PasswordPanel panel;
        panel.set_limit(c.limit);
        fill(panel, c.password, c.confirmation.isNull() ? c.password : c.confirmation);
        EXPECT_EQ(panel.is_valid(), c.valid) << c.what;
        EXPECT_EQ(label_text(panel, "error").toStdString(), c.error) << c.what;
        if (c.valid) {
            SecureBuffer password, confirmation;
            ASSERT_EQ(panel.take(&password, &confirmation), 0);
            const QByteArray utf8 = c.password.toUtf8();
            ASSERT_EQ(password.size(), static_cast<size_t>(utf8.size())) << c.what;
            EXPECT_EQ(memcmp(password.data(), utf8.constData(), password.size()), 0) << c.what;
        }
    }
}

TEST(PasswordPanel, LongPasswordsAreValidWithoutAnEstimate) {
    PasswordPanel panel;
    panel.set_limit(4096);
    fill(panel, QString(129, u'x'), QString(129, u'x'));
    EXPECT_TRUE(panel.is_valid());
    EXPECT_EQ(label_text(panel, "strength"), QStringLiteral("Password strength unavailable"));
    EXPECT_TRUE(label_text(panel, "hint").isEmpty());
}

TEST(PasswordPanel, TheLimitShapesTheGenerator) {
    PasswordPanel panel;
    auto *length = panel.findChild<QSpinBox *>(QStringLiteral("length"));
    auto *generate = panel.findChild<QPushButton *>(QStringLiteral("generate"));
    EXPECT_FALSE(generate->isEnabled());
    EXPECT_EQ(label_text(panel, "limit"),
              QStringLiteral("Check the current password before generating a new one."));

    panel.set_limit(64);
    EXPECT_TRUE(generate->isEnabled());
    EXPECT_EQ(length->minimum(), 1);
    EXPECT_EQ(length->maximum(), 64);
    EXPECT_EQ(length->value(), 24);
    EXPECT_EQ(label_text(panel, "limit"), QStringLiteral("Password limit: 64 UTF-8 bytes."));

    length->setValue(40);
    panel.set_limit(4096); // 40 still fits: kept
    EXPECT_EQ(length->maximum(), 128);
    EXPECT_EQ(length->value(), 40);
    panel.set_limit(10); // 40 does not: the smaller of the limit and 24
    EXPECT_EQ(length->value(), 10);
    EXPECT_EQ(label_text(panel, "limit"), QStringLiteral("Password limit: 10 UTF-8 bytes."));

    panel.set_limit(-1);
    EXPECT_FALSE(generate->isEnabled());
    EXPECT_FALSE(length->isEnabled());
}

bool in_alphabet(uint8_t c, bool symbols) {
    return (c != 0 && strchr(kGeneratorLetters, c) != nullptr) ||
           (symbols && c != 0 && strchr(kGeneratorSymbols, c) != nullptr);
}

TEST(PasswordGenerator, DrawsOnlyFromTheAlphabetAtTheAskedLength) {
    struct Case {
        int length;
        int limit;
        bool symbols;
        int rc;
    };
    const Case cases[] = {
        {1, 4096, true, 0},       {24, 4096, false, 0},     {128, 4096, true, 0},
        {64, 64, false, 0},       {100, 64, true, -EINVAL}, {129, 4096, true, -EINVAL},
        {0, 4096, true, -EINVAL}, {10, 0, true, -EINVAL},
    };
    for (const Case &c : cases) {
        SecureBuffer out;
        ASSERT_EQ(password_generate(c.length, c.limit, c.symbols, &out), c.rc) << c.length;
        if (c.rc != 0) {
            EXPECT_FALSE(out.valid());
            continue;
        }
        ASSERT_EQ(out.size(), static_cast<size_t>(c.length));
        for (uint8_t ch : out.span())
            EXPECT_TRUE(in_alphabet(ch, c.symbols)) << ch;
    }
    // Over many draws every character of the alphabet turns up, and the
    // symbols only when asked for.
    bool seen[256] = {};
    for (int i = 0; i < 200; i++) {
        SecureBuffer out;
        ASSERT_EQ(password_generate(128, 4096, true, &out), 0);
        for (uint8_t ch : out.span())
            seen[ch] = true;
    }
    for (const char *p = kGeneratorLetters; *p; p++)
        EXPECT_TRUE(seen[static_cast<uint8_t>(*p)]) << *p;
    for (const char *p = kGeneratorSymbols; *p; p++)
        EXPECT_TRUE(seen[static_cast<uint8_t>(*p)]) << *p;
}

// Scripted random bytes: the bytes of `g_script`, then zeros.
std::string g_script;
bool scripted_bytes(void *buffer, size_t length) {
    memset(buffer, 0, length);
    memcpy(buffer, g_script.data(), std::min(length, g_script.size()));
    g_script.erase(0, std::min(length, g_script.size()));
    return true;
}
bool failing_bytes(void *, size_t) {
    return false;
}

TEST(PasswordGenerator, RejectsTheBytesThatWouldFavourTheFirstCharacters) {
    struct Case {
        bool symbols;
        std::string bytes;
        const char *expected;
    };
    // 62 characters: bytes 248..255 are dropped; 90: bytes 180..255.
    const Case cases[] = {
        {false, std::string("\xF8\xFF\x00\x3D\x3E\xF7", 6), "a9a9"},
        {true, std::string("\xB4\xFF\xB3\x59\x5A\x01", 6), "~~ab"},
    };
    for (const Case &c : cases) {
        g_script = c.bytes;
        random_set_source_for_testing(scripted_bytes);
        SecureBuffer out;
        const int rc = password_generate(static_cast<int>(strlen(c.expected)), 64, c.symbols, &out);
        random_set_source_for_testing(nullptr);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.data()), out.size()), c.expected);
    }
    random_set_source_for_testing(failing_bytes);
    SecureBuffer out;
    EXPECT_EQ(password_generate(24, 64, true, &out), -EIO);
    random_set_source_for_testing(nullptr);
    EXPECT_FALSE(out.valid());
}

TEST(PasswordGenerator, FillsBothFieldsHidden) {
    PasswordPanel panel;
    panel.set_limit(64);
    auto *password = edit(panel, "newPassword");
    panel.findChild<QPushButton *>(QStringLiteral("showPassword"))->click();
    ASSERT_EQ(password->echoMode(), QLineEdit::Normal);
    panel.findChild<QPushButton *>(QStringLiteral("generate"))->click();
    EXPECT_EQ(password->text().size(), 24);
    EXPECT_EQ(password->text(), edit(panel, "confirmation")->text());
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(panel.is_valid());

    random_set_source_for_testing(failing_bytes);
    panel.findChild<QPushButton *>(QStringLiteral("generate"))->click();
    random_set_source_for_testing(nullptr);
    EXPECT_EQ(label_text(panel, "generatorError"),
              QStringLiteral("Linux could not generate secure random bytes. Try again."));
}

TEST(PasswordStrength, ScoresFollowTheGuessThresholds) {
    const std::pair<double, int> cases[] = {
        {1, 0},         {1004, 0},      {1005, 1},          {1000004, 1},       {1000005, 2},
        {100000004, 2}, {100000005, 3}, {10000000004.0, 3}, {10000000005.0, 4}, {1e20, 4},
    };
    for (auto [guesses, score] : cases)
        EXPECT_EQ(password_score_for_guesses(guesses), score) << guesses;

    auto score = [](const char *text) {
        return password_strength_score(
            std::span(reinterpret_cast<const uint8_t *>(text), strlen(text)));
    };
    EXPECT_EQ(score("password"), 0);
    EXPECT_EQ(score("correct horse battery staple zebra quantum"), 4);
    EXPECT_EQ(score(""), -EINVAL);
    EXPECT_EQ(score(std::string(129, 'x').c_str()), -EINVAL);
}

// "slow" takes long and scores 4; everything else scores 0 at once.
std::atomic<int> g_estimates{0};
int scripted_estimator(std::span<const uint8_t> password) {
    const bool slow = password.size() == 4 && memcmp(password.data(), "slow", 4) == 0;
    if (slow)
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    g_estimates++;
    return slow ? 4 : 0;
}

TEST(PasswordStrength, AStaleEstimateIsNeverShown) {
    PasswordPanel::set_estimator_for_testing(scripted_estimator);
    PasswordPanel::set_debounce_for_testing(10);
    g_estimates = 0;
    {
        PasswordPanel panel;
        auto *password = edit(panel, "newPassword");
        password->setText(QStringLiteral("slow"));
        QTest::qWait(100); // the slow estimate has started
        password->setText(QStringLiteral("fast"));
        ASSERT_TRUE(QTest::qWaitFor([] { return g_estimates.load() == 2; }, 5000));
        QTest::qWait(50); // both results delivered
        EXPECT_EQ(label_text(panel, "strength"), QStringLiteral("Password strength: Weak"));
        EXPECT_EQ(label_text(panel, "hint"),
                  QStringLiteral("Add another word or two. Uncommon words are better."));

        // Clearing the field while an estimate runs leaves the lines empty.
        password->setText(QStringLiteral("slow"));
        QTest::qWait(100);
        password->clear();
        ASSERT_TRUE(QTest::qWaitFor([] { return g_estimates.load() == 3; }, 5000));
        QTest::qWait(50);
        EXPECT_TRUE(label_text(panel, "strength").isEmpty());
        EXPECT_TRUE(label_text(panel, "hint").isEmpty());

        // A panel closed while its estimate runs is not reached by it.
        password->setText(QStringLiteral("slow"));
        QTest::qWait(100);
    }
    ASSERT_TRUE(QTest::qWaitFor([] { return g_estimates.load() == 4; }, 5000));
    QTest::qWait(50);
    PasswordPanel::set_estimator_for_testing(nullptr);
    PasswordPanel::set_debounce_for_testing(0);
}

TEST(PasswordStrength, TheRealEstimateReachesThePanel) {
    PasswordPanel::set_debounce_for_testing(10);
    PasswordPanel panel;
    edit(panel, "newPassword")->setText(QStringLiteral("Tq8#vL2!pZr9@wXe4&"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return label_text(panel, "strength").startsWith(QStringLiteral("Password strength:"));
        },
        5000));
    EXPECT_EQ(label_text(panel, "strength"), QStringLiteral("Password strength: Very strong"));
    EXPECT_EQ(label_text(panel, "hint"),
              QStringLiteral("Use a unique password for this container."));
    PasswordPanel::set_debounce_for_testing(0);
}

QString clipboard_text() {
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    return data ? data->text() : QString();
}

TEST(SecretClipboard, ACopyIsMarkedSecretAndTakenBackInTime) {
    secret_clipboard_set_clear_delay_for_testing(300);
    PasswordPanel panel;
    auto *copy = panel.findChild<QPushButton *>(QStringLiteral("copy"));
    EXPECT_FALSE(copy->isEnabled());
    fill(panel, QStringLiteral("copied secret"), QStringLiteral("copied secret"));
    ASSERT_TRUE(copy->isEnabled());
    copy->click();
    EXPECT_EQ(clipboard_text(), QStringLiteral("copied secret"));
    EXPECT_EQ(
        QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("x-kde-passwordManagerHint")),
        QByteArrayLiteral("secret"));
    EXPECT_TRUE(secret_clipboard_pending());
    QTest::qWait(100);
    EXPECT_EQ(clipboard_text(), QStringLiteral("copied secret")); // not before its time
    EXPECT_TRUE(QTest::qWaitFor([] { return clipboard_text().isEmpty(); }, 2000));
    EXPECT_FALSE(secret_clipboard_pending());
    secret_clipboard_set_clear_delay_for_testing(0);
}

TEST(SecretClipboard, WhatTheUserCopiedMeanwhileStays) {
    secret_clipboard_set_clear_delay_for_testing(200);
    const char secret[] = "copied secret";
    secret_clipboard_copy(std::span(reinterpret_cast<const uint8_t *>(secret), strlen(secret)));
    QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
    QTest::qWait(400);
    EXPECT_EQ(clipboard_text(), QStringLiteral("something else"));

    // A second copy restarts the time; clearing at exit happens at once.
    secret_clipboard_copy(std::span(reinterpret_cast<const uint8_t *>(secret), strlen(secret)));
    secret_clipboard_set_clear_delay_for_testing(60000);
    secret_clipboard_copy(std::span(reinterpret_cast<const uint8_t *>(secret), strlen(secret)));
    EXPECT_EQ(clipboard_text(), QStringLiteral("copied secret"));
    secret_clipboard_clear_now();
    EXPECT_TRUE(clipboard_text().isEmpty());
    EXPECT_FALSE(secret_clipboard_pending());
    secret_clipboard_set_clear_delay_for_testing(0);
}

} // namespace
} // namespace tw
