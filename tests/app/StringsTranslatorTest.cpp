#include "app/StringsTranslator.h"

#include "app/AppSettings.h"

#include "tests/app/ShellTestEnv.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

using namespace shelltest;
using localization::StringsTranslator;

namespace {

// The fixture tables beside this source file (HM_TEST_SOURCE_DIR names the tree when set).
QString fixtureFolder() {
    const QByteArray root = qgetenv("HM_TEST_SOURCE_DIR");
    if (!root.isEmpty())
        return QString::fromLocal8Bit(root) + QStringLiteral("/tests/app/fixtures/i18n");
    return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/fixtures/i18n");
}

QString lookup(const StringsTranslator& t, const char* source) {
    return t.translate("Ctx", source);
}

}  // namespace

TEST(StringsTranslatorKeys, NormalisationAndPlaceholderConversion) {
    using localization::convertPlaceholders;
    using localization::normalizeKey;
    EXPECT_EQ(normalizeKey("Delete %1 files?"), QStringLiteral("Delete %@ files?"));
    EXPECT_EQ(normalizeKey("Delete %d files?"), QStringLiteral("Delete %@ files?"));
    EXPECT_EQ(normalizeKey("&File"), QStringLiteral("File"));
    EXPECT_EQ(normalizeKey("%2$@ in %1$@ (%.1f, %lld)"), QStringLiteral("%@ in %@ (%@, %@)"));
    EXPECT_EQ(normalizeKey("Size %L1"), QStringLiteral("Size %L1"));
    EXPECT_EQ(normalizeKey("%1 in %2"), normalizeKey("%1$@ in %2$@"));

    EXPECT_EQ(convertPlaceholders("%@ of %@"), QStringLiteral("%1 of %2"));
    EXPECT_EQ(convertPlaceholders("%2$@ in %1$@"), QStringLiteral("%2 in %1"));
    EXPECT_EQ(convertPlaceholders("%.1f%%"), QStringLiteral("%1%%"));
    EXPECT_EQ(convertPlaceholders("100% sure, %x"), QStringLiteral("100% sure, %x"));
    EXPECT_EQ(convertPlaceholders("%99999999999$@"), QStringLiteral("%0"));
}

TEST(StringsTranslatorParse, FixtureTableWithCommentsEscapesAndBom) {
    StringsTranslator t;
    ASSERT_TRUE(t.load("de", fixtureFolder()));
    EXPECT_EQ(t.entryCount(), 5);
    EXPECT_EQ(lookup(t, "File"), QStringLiteral("Datei"));
    EXPECT_EQ(lookup(t, "&File"), QStringLiteral("Datei"));
    EXPECT_EQ(lookup(t, "Size: %1"), QStringLiteral("Größe: %1"));
    EXPECT_EQ(lookup(t, "Size: %L1"), QString());
    EXPECT_EQ(lookup(t, "Delete %1 files?"), QStringLiteral("%1 Dateien löschen?"));
    // Positional placeholders keep the table's order for QString::arg.
    EXPECT_EQ(lookup(t, "%1 of %2").arg("3", "7"), QStringLiteral("7 von 3"));
    EXPECT_EQ(lookup(t, "Say \"hi\"\tnow"), QStringLiteral("Sag \"hallo\"\njetzt"));
    EXPECT_TRUE(lookup(t, "Unknown").isNull());
    EXPECT_TRUE(t.translate("Ctx", nullptr).isNull());
    EXPECT_FALSE(t.isEmpty());

    EXPECT_FALSE(t.load("missing", fixtureFolder()));
    EXPECT_TRUE(t.isEmpty());
    EXPECT_FALSE(t.load("ko", fixtureFolder()));
    EXPECT_FALSE(t.load("ja", fixtureFolder()));  // the first entry is malformed
}

TEST(StringsTranslatorParse, MalformedInputKeepsTheEntriesBeforeTheFault) {
    StringsTranslator t;
    // Duplicate keys: the first wins. Missing semicolons are fine.
    EXPECT_EQ(t.parse("\"A\" = \"1\"\n\"A\" = \"2\";\n\"&A\" = \"3\" \"B\"=\"4\""), 2);
    EXPECT_EQ(lookup(t, "A"), QStringLiteral("1"));
    EXPECT_EQ(lookup(t, "B"), QStringLiteral("4"));

    // An unescaped quotation mark ends the value early; the rest of the line ends the table.
    EXPECT_EQ(t.parse("\"A\" = \"1\";\n\"B\" = \"say \"no\" now\";\n\"C\" = \"3\";"), 2);
    EXPECT_EQ(lookup(t, "B"), QStringLiteral("say "));
    EXPECT_TRUE(lookup(t, "C").isNull());

    // Unknown escapes stand for the character; a lone final backslash stays.
    EXPECT_EQ(t.parse("\"A\" = \"\\q\\\\\\u00e9\";"), 1);
    EXPECT_EQ(lookup(t, "A"), QStringLiteral("q\\u00e9"));
    EXPECT_EQ(t.parse("\"A\" = \"1\"; \"B\" = \"2\\"), 1);

    // Faults of every kind after a good entry.
    for (const char* tail : {"\"B\" \"2\";", "\"B\" = ;", "\"B\" = \"2", "x = \"2\";", "/ comment", "\"B\" = 2;",
                             "\"B", "\"B\" ="}) {
        EXPECT_EQ(t.parse(QStringLiteral("/* c */ \"A\" = \"1\";\n") + QString::fromUtf8(tail)), 1) << tail;
        EXPECT_EQ(lookup(t, "A"), QStringLiteral("1")) << tail;
    }

    // Empty values are not stored; unterminated comments end the text quietly.
    EXPECT_EQ(t.parse("\"A\" = \"\";\n\"B\" = \"2\"; /* open"), 1);
    EXPECT_TRUE(lookup(t, "A").isNull());
    EXPECT_EQ(t.parse(QStringLiteral("\u00a0\u0085\"A\"\t=\r\n\"1\" // end")), 1);
    EXPECT_EQ(t.parse(QString()), 0);
}

TEST(StringsTranslatorParse, EveryTruncationAndDamagedByteIsSafe) {
    QFile file(fixtureFolder() + QStringLiteral("/de.strings"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    StringsTranslator full;
    const int all = full.parse(text);
    ASSERT_EQ(all, 5);

    // A prefix keeps exactly the entries complete before its end, in order.
    StringsTranslator t;
    int previous = 0;
    for (qsizetype length = 0; length <= text.size(); ++length) {
        const int count = t.parse(text.left(length));
        EXPECT_GE(count, previous) << length;
        EXPECT_LE(count, all) << length;
        previous = count;
    }
    EXPECT_EQ(previous, all);

    // Damaged bytes anywhere: no crash, never more entries than "=" signs.
    const QByteArray bytes = text.toUtf8();
    const char replacements[] = {'"', '\\', '=', ';', '/', '*', '%', '$', '\0', '\xff'};
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        for (char c : replacements) {
            QByteArray damaged = bytes;
            damaged[at] = c;
            EXPECT_LE(t.parse(QString::fromUtf8(damaged)), damaged.count('=')) << at;
        }
    }
}

TEST(StringsTranslatorParse, ValuesWhosePlaceholdersDoNotFitAreLeftOut) {
    StringsTranslator t;
    EXPECT_EQ(t.parse("\"Copy %@\" = \"Kopie %@ %@\";\n"      // refers to a missing argument
                      "\"Move %@ to %@\" = \"Verschieben\";\n"  // drops both
                      "\"Move %@\" = \"%3$@ verschieben\";\n"   // wrong position
                      "\"Gone\" = \"%@ weg\";\n"
                      "\"Keep %@ and %@\" = \"%2$@ und %1$@, %1$@\";\n"
                      "\"After\" = \"Danach\";"),
              2);
    EXPECT_TRUE(lookup(t, "Copy %1").isNull());
    EXPECT_TRUE(lookup(t, "Move %1 to %2").isNull());
    EXPECT_EQ(lookup(t, "Keep %1 and %2").arg("a", "b"), QStringLiteral("b und a, a"));
    EXPECT_EQ(lookup(t, "After"), QStringLiteral("Danach"));
}

TEST(StringsTranslatorParse, ATextToldApartHasItsOwnEntry) {
    StringsTranslator t;
    ASSERT_EQ(t.parse("\"Folders\" = \"Unterordner\";\n\"Folders|list option\" = \"Ordner\";\n"
                      "\"Copy %@\" = \"%@ kopieren\";"),
              3);
    EXPECT_EQ(t.translate("Ctx", "Folders"), QStringLiteral("Unterordner"));
    EXPECT_EQ(t.translate("Ctx", "Folders", "list option"), QStringLiteral("Ordner"));
    EXPECT_EQ(t.translate("Ctx", "&Folders", "list option"), QStringLiteral("Ordner"));
    // Without an entry of its own the text keeps the plain translation.
    EXPECT_EQ(t.translate("Ctx", "Copy %1", "menu"), QStringLiteral("%1 kopieren"));
    EXPECT_TRUE(t.translate("Ctx", "Files", "list option").isNull());
}

TEST(StringsTranslatorLanguages, TagsForLocalesAndDisplayNames) {
    using localization::tagForLocale;
    const QStringList carried{"ar", "de", "he", "id", "no", "pt-BR", "zh-Hans", "zh-Hant"};
    EXPECT_EQ(tagForLocale(QLocale("nb_NO"), carried), QStringLiteral("no"));
    EXPECT_EQ(tagForLocale(QLocale("nn_NO"), carried), QStringLiteral("no"));
    EXPECT_EQ(tagForLocale(QLocale("zh_HK"), carried), QStringLiteral("zh-Hant"));
    EXPECT_EQ(tagForLocale(QLocale("zh_TW"), carried), QStringLiteral("zh-Hant"));
    EXPECT_EQ(tagForLocale(QLocale("zh_CN"), carried), QStringLiteral("zh-Hans"));
    EXPECT_EQ(tagForLocale(QLocale("pt_PT"), carried), QStringLiteral("pt-BR"));
    EXPECT_EQ(tagForLocale(QLocale("de_AT"), carried), QStringLiteral("de"));
    EXPECT_EQ(tagForLocale(QLocale("he_IL"), carried), QStringLiteral("he"));
    EXPECT_EQ(tagForLocale(QLocale("en_US"), carried), QString());
    EXPECT_EQ(tagForLocale(QLocale("fr_FR"), carried), QString());

    EXPECT_EQ(localization::availableLanguages(fixtureFolder()),
              (QStringList{"ar", "de", "fr", "he", "ja", "ko"}));
    EXPECT_EQ(localization::displayName("de"), QStringLiteral("Deutsch"));
    EXPECT_EQ(localization::displayName("no"), QStringLiteral("Norsk bokmål"));
    EXPECT_EQ(localization::displayName("pt-BR"), QStringLiteral("Português"));
    EXPECT_EQ(localization::displayName("zh-Hant"), QStringLiteral("繁體中文"));
    EXPECT_EQ(localization::displayName("en"), QStringLiteral("English"));
    EXPECT_EQ(localization::displayName("xx-bogus"), QStringLiteral("xx-bogus"));
}

class StringsTranslatorInstall : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::make_unique<hmtest::TempDir>("hm-i18n");
        useFreshConfigFolder(*m_dir);
        AppSettings::instance()->settings()->remove("language");
    }
    void TearDown() override {
        localization::removeTranslator();
        AppSettings::instance()->settings()->remove("language");
    }
    std::unique_ptr<hmtest::TempDir> m_dir;
};

TEST_F(StringsTranslatorInstall, ChoiceOrderSettingThenEnvironment) {
    const QString folder = fixtureFolder();
    ScopedEnv lang("ZRT_LANG", "fr");
    AppSettings::instance()->settings()->setValue("language", "de");
    EXPECT_EQ(installTranslator(QString(), folder), QStringLiteral("de"));
    EXPECT_EQ(QCoreApplication::translate("Any", "File"), QStringLiteral("Datei"));

    AppSettings::instance()->settings()->setValue("language", "system");
    EXPECT_EQ(installTranslator(QString(), folder), QStringLiteral("fr"));
    EXPECT_EQ(QCoreApplication::translate("Any", "File"), QStringLiteral("Fichier"));
    EXPECT_EQ(QCoreApplication::translate("Any", "Scan complete in %1 seconds").arg(2.5),
              QStringLiteral("Analyse terminée en 2.5 secondes"));

    // An explicit request wins; "en" and tables without entries leave English.
    EXPECT_EQ(installTranslator("de", folder), QStringLiteral("de"));
    EXPECT_EQ(installTranslator("en", folder), QString());
    EXPECT_EQ(QCoreApplication::translate("Any", "File"), QStringLiteral("File"));
    EXPECT_EQ(installTranslator("ja", folder), QString());
    EXPECT_EQ(installTranslator("ko", folder), QString());
    EXPECT_EQ(installTranslator("sv", folder), QString());
    EXPECT_EQ(QCoreApplication::translate("Any", "File"), QStringLiteral("File"));
}

TEST_F(StringsTranslatorInstall, HebrewAndArabicSwitchToRightToLeft) {
    const QString folder = fixtureFolder();
    ASSERT_EQ(QGuiApplication::layoutDirection(), Qt::LeftToRight);
    EXPECT_EQ(installTranslator("he", folder), QStringLiteral("he"));
    EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(installTranslator("ar", folder), QStringLiteral("ar"));
    EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(installTranslator("de", folder), QStringLiteral("de"));
    EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::LeftToRight);
    EXPECT_EQ(installTranslator("ar", folder), QStringLiteral("ar"));
    localization::removeTranslator();
    EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::LeftToRight);
    EXPECT_EQ(QCoreApplication::translate("Any", "File"), QStringLiteral("File"));
}
