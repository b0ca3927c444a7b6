#include "app/ValueFormat.h"

#include "app/AppSettings.h"
#include "app/StringsTranslator.h"

#include "tests/app/ShellTestEnv.h"

#include <limits>

using namespace shelltest;

namespace {

class ValueFormat : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::make_unique<hmtest::TempDir>("hm-format");
        useFreshConfigFolder(*m_dir);
        store()->remove("displayMode");
        store()->remove("unitBase");
        store()->remove("decimalPlaces");
    }
    void TearDown() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    static QSettings* store() { return AppSettings::instance()->settings(); }
    static void set(const char* key, const QVariant& value) { store()->setValue(key, value); }
    std::unique_ptr<hmtest::TempDir> m_dir;
};

}  // namespace

TEST_F(ValueFormat, AutomaticUnitsByBase) {
    EXPECT_EQ(formatSize(0), QStringLiteral("0\u00A0B"));
    EXPECT_EQ(formatSize(1023), QStringLiteral("1023\u00A0B"));
    EXPECT_EQ(formatSize(1024), QStringLiteral("1.0\u00A0KB"));
    EXPECT_EQ(formatSize(1048575), QStringLiteral("1,024.0\u00A0KB"));  // unit chosen before rounding
    EXPECT_EQ(formatSize(1048576), QStringLiteral("1.0\u00A0MB"));
    EXPECT_EQ(formatSize(1536ull << 30), QStringLiteral("1.5\u00A0TB"));
    EXPECT_EQ(formatSize(std::numeric_limits<uint64_t>::max()), QStringLiteral("16,777,216.0\u00A0TB"));

    set("unitBase", 1000);
    set("decimalPlaces", 0);
    EXPECT_EQ(formatSize(999), QStringLiteral("999\u00A0B"));
    EXPECT_EQ(formatSize(1000), QStringLiteral("1\u00A0KB"));
    EXPECT_EQ(formatSize(1500000), QStringLiteral("2\u00A0MB"));
    EXPECT_EQ(formatSize(2500000000000000ull), QStringLiteral("2,500\u00A0TB"));

    for (const QVariant& base : {QVariant(1024), QVariant(0), QVariant(2048), QVariant("text"), QVariant("1000x")}) {
        set("unitBase", base);
        EXPECT_EQ(formatSize(1000), QStringLiteral("1000\u00A0B")) << base.toString().toStdString();
    }
}

TEST_F(ValueFormat, FixedModesDecimalsAndBadSettings) {
    set("displayMode", 1);
    EXPECT_EQ(formatSize(1234567), QStringLiteral("1,234,567"));
    set("displayMode", 3);
    EXPECT_EQ(formatSize(0), QStringLiteral("0.0\u00A0MB"));
    EXPECT_EQ(formatSize(5ull << 30), QStringLiteral("5,120.0\u00A0MB"));
    set("displayMode", 9);
    EXPECT_EQ(formatSize(1ull << 40), QStringLiteral("1.0\u00A0TB"));
    set("displayMode", 4);
    EXPECT_EQ(formatSize(1024), QStringLiteral("0.0\u00A0GB"));
    set("displayMode", -3);
    EXPECT_EQ(formatSize(2048), QStringLiteral("2.0\u00A0KB"));

    set("displayMode", 2);
    set("decimalPlaces", 7);
    EXPECT_EQ(formatSize(1536), QStringLiteral("1.5000\u00A0KB"));
    set("decimalPlaces", -1);
    EXPECT_EQ(formatSize(1536), QStringLiteral("2\u00A0KB"));

    // Stored values of the wrong type read as the defaults.
    set("decimalPlaces", "many");
    set("displayMode", "bytes");
    EXPECT_EQ(formatSize(1536), QStringLiteral("1.5\u00A0KB"));
    set("displayMode", QVariant(QStringList{"1", "2"}));
    EXPECT_EQ(formatSize(1536), QStringLiteral("1.5\u00A0KB"));
}

// Sizes, counts, percentages and seconds all in one locale's notation.
TEST_F(ValueFormat, LocaleNotation) {
    struct Case {
        QLocale locale;
        const char* size;     // 1,048,575 bytes (Polish groups only five digits or more)
        const char* count;    // 12,345,678
        const char* percent;  // 75.4
        const char* seconds;  // 0.02
    };
    const Case cases[] = {
        {QLocale(QLocale::German, QLocale::Germany), "1.024,0\u00A0KB", "12.345.678", "75,4%", "0,02"},
        {QLocale(QLocale::French, QLocale::France), "1\u202F024,0\u00A0KB", "12\u202F345\u202F678", "75,4%", "0,02"},
        {QLocale(QLocale::Polish, QLocale::Poland), "1024,0\u00A0KB", "12\u00A0345\u00A0678", "75,4%", "0,02"},
        {QLocale(QLocale::English, QLocale::UnitedStates), "1,024.0\u00A0KB", "12,345,678", "75.4%", "0.02"},
    };
    for (const Case& c : cases) {
        QLocale::setDefault(c.locale);
        SCOPED_TRACE(c.locale.name().toStdString());
        EXPECT_EQ(formatSize(1023), QStringLiteral("1023\u00A0B"));
        EXPECT_EQ(formatSize(1048575), QString::fromUtf8(c.size));
        EXPECT_EQ(formatNumber(12345678), QString::fromUtf8(c.count));
        EXPECT_EQ(formatPercent(75.44), QString::fromUtf8(c.percent));
        EXPECT_EQ(formatDecimal(0.0199, 2), QString::fromUtf8(c.seconds));
    }
    EXPECT_EQ(formatNumber(0), QStringLiteral("0"));
    EXPECT_EQ(formatNumber(std::numeric_limits<uint64_t>::max()), QStringLiteral("18,446,744,073,709,551,615"));
}

TEST_F(ValueFormat, DatesAlwaysHaveFourDigitYears) {
    const int64_t t = 1767193440;  // 2025-12-31 15:04 UTC
    EXPECT_EQ(formatDateTime(t).replace(QChar(0x202F), QLatin1Char(' ')), QStringLiteral("12/31/2025, 3:04 PM"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(formatDateTime(t), QStringLiteral("31.12.2025, 15:04"));
    QLocale::setDefault(QLocale(QLocale::Swedish, QLocale::Sweden));
    EXPECT_EQ(formatDateTime(t), QStringLiteral("2025-12-31, 15:04"));
    EXPECT_TRUE(formatDateTime(0).startsWith(QLatin1String("1970-01-01")));
}

TEST_F(ValueFormat, BinarySizesAndCoreMessages) {
    EXPECT_EQ(formatBinarySize(0), QStringLiteral("0"));
    EXPECT_EQ(formatBinarySize(512), QStringLiteral("512 Bytes"));
    EXPECT_EQ(formatBinarySize(1536), QStringLiteral("1.50 KB"));
    EXPECT_EQ(formatBinarySize(3ull << 40), QStringLiteral("3.00 TB"));
    EXPECT_EQ(formatBinarySize(5ull << 50), QStringLiteral("5120.00 TB"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(formatBinarySize(1048576 + 524288), QStringLiteral("1.50 MB"));

    EXPECT_EQ(translateCoreMessage("Couldn't read the file."), QStringLiteral("Couldn't read the file."));
    EXPECT_EQ(translateCoreMessage("Couldn't read the file. "), QStringLiteral("Couldn't read the file. "));
    EXPECT_EQ(translateCoreMessage("Couldn't open \xc3\xa9t\xc3\xa9.csv"), QStringLiteral("Couldn't open été.csv"));
    // A fixed text followed by its cause: the text translated, the cause kept.
    localization::StringsTranslator german;
    ASSERT_EQ(german.parse(QStringLiteral("\"Couldn't write the file.\" = \"Schreiben fehlgeschlagen.\";")), 1);
    QCoreApplication::installTranslator(&german);
    EXPECT_EQ(translateCoreMessage("Couldn't write the file.\nNo space left on device"),
              QStringLiteral("Schreiben fehlgeschlagen.\nNo space left on device"));
    EXPECT_EQ(translateCoreMessage("Couldn't write the file"), QStringLiteral("Couldn't write the file"));
    QCoreApplication::removeTranslator(&german);
}
