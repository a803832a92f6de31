// The catalogues: every text of the sources is translated in every language,
// the compiled catalogues load, and counted texts take the right plural form.
#include "gui/app_language.h"
#include "gui/tests/support/catalogue_check.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(Catalogues, EveryTextOfTheSourcesIsTranslated) {
    for (const char *catalogue : kGuiCatalogues) {
        for (const char *language : kGuiLanguages) {
            QStringList unfinished;
            QString error;
            ASSERT_TRUE(catalogue_check_against_sources(
                QString::fromLatin1(catalogue), QString::fromLatin1(language), &unfinished, &error))
                << error.toStdString();
            EXPECT_TRUE(unfinished.isEmpty())
                << catalogue << "_" << language
                << " lacks: " << unfinished.join(QStringLiteral(" | ")).toStdString();
        }
    }
}

TEST(Catalogues, LanguageFollowsTheFirstMatchingEnvironmentEntry) {
    struct Case {
        std::vector<QString> candidates;
        const char *language;
    };
    const Case cases[] = {
        {{QStringLiteral("uk_UA.UTF-8")}, "uk"},
        {{QStringLiteral("de_DE"), QStringLiteral("es")}, "es"},
        {{QStringLiteral("ru")}, "ru"},
        {{QStringLiteral("ukr")}, "en"},
        {{QStringLiteral("C"), QStringLiteral("POSIX")}, "en"},
        {{QStringLiteral("en_GB"), QStringLiteral("uk_UA")}, "en"},
        {{QStringLiteral("ru@petr1708")}, "ru"},
        {{}, "en"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(gui_language_from_candidates(c.candidates).toStdString(), c.language);
}

TEST(Catalogues, PluralFormsRenderInEveryLanguage) {
    struct Case {
        const char *language;
        const char *forms[4]; // for 1, 2, 5 and 21
    };
    const Case cases[] = {
        {"en", {"1 container", "2 containers", "5 containers", "21 containers"}},
        {"uk", {"1 контейнер", "2 контейнери", "5 контейнерів", "21 контейнер"}},
        {"ru", {"1 контейнер", "2 контейнера", "5 контейнеров", "21 контейнер"}},
        {"es", {"1 contenedor", "2 contenedores", "5 contenedores", "21 contenedores"}},
    };
    const int counts[4] = {1, 2, 5, 21};
    for (const Case &c : cases) {
        ASSERT_GE(gui_install_translators(*qApp, QString::fromLatin1(c.language)), 1) << c.language;
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(
                QCoreApplication::translate("tw::MainWindow", "%n containers", nullptr, counts[i])
                    .toStdString(),
                c.forms[i])
                << c.language << " " << counts[i];
    }
    gui_remove_translators(*qApp);
}

} // namespace
} // namespace tw
