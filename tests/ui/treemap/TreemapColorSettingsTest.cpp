#include "ui/treemap/TreemapColorSettings.h"

#include "core/analysis/ExtensionStats.h"
#include "tests/ui/treemap/TreemapTestSupport.h"

#include <QSignalSpy>

namespace {

class TreemapColorSettings : public ::testing::Test {
protected:
    void SetUp() override { treemaptest::clearSettings(); }
    static void store(const char* key, const QVariant& value) {
        AppSettings::instance()->settings()->setValue(QLatin1String(key), value);
    }
};

void expectColor(const svl::TreemapColor& c, float r, float g, float b) {
    EXPECT_FLOAT_EQ(c.r, r);
    EXPECT_FLOAT_EQ(c.g, g);
    EXPECT_FLOAT_EQ(c.b, b);
}

}  // namespace

TEST_F(TreemapColorSettings, TextsRoundTripAndBadTextsFallBackToGray) {
    expectColor(parseColorText(QStringLiteral("#00FF00")), 0, 255, 0);
    expectColor(parseColorText(QStringLiteral("  1a2b3c \t")), 26, 43, 60);
    expectColor(parseColorText(QStringLiteral("xyz")), 72, 72, 72);
    expectColor(parseColorText(QString()), 72, 72, 72);
    expectColor(parseColorText(QStringLiteral("1FF0000")), 255, 0, 0);  // bits above blue-green-red ignored
    expectColor(parseColorText(QStringLiteral("1FFFFFFFF")), 72, 72, 72);  // does not fit 32 bits

    EXPECT_EQ(colorToHexText({154.0f, 79.8f, 12.6f}), QStringLiteral("9A500D"));
    EXPECT_EQ(colorToHexText({-3.0f, 300.0f, 127.5f}), QStringLiteral("00FF80"));
    EXPECT_EQ(colorToHexText({0, 0, 0}), QStringLiteral("000000"));

    const QStringList builtIn = {"9A500D", "8B8E04", "16761F", "6D28A5", "88274D", "1070C6", "5954FA",
                                 "A21E95", "B00C0C", "4C691C", "0F9E7D", "603E15", "484848"};
    EXPECT_EQ(defaultPaletteTexts(), builtIn);
    for (const QString& text : colorBlindPalette())
        EXPECT_EQ(colorToHexText(parseColorText(text)), text);
}

TEST_F(TreemapColorSettings, NothingStoredGivesBuiltInsAndColouringBySize) {
    EXPECT_TRUE(loadTreemapColorBySize());
    EXPECT_EQ(loadTreemapPaletteTexts(), defaultPaletteTexts());
    EXPECT_EQ(loadTreemapExtensionLists(), defaultExtensionLists());
    ASSERT_EQ(defaultExtensionLists().size(), 13);
    EXPECT_TRUE(defaultExtensionLists().last().isEmpty());

    svl::TreemapPalette builtIn;
    svl::defaultTreemapColors(builtIn);
    const svl::TreemapPalette loaded = loadTreemapPalette();
    for (int i = 0; i < svl::kTreemapSlots; ++i)  // texts are whole numbers; the built-ins are not
        EXPECT_EQ(colorToHexText(loaded[i]), colorToHexText(builtIn[i])) << i;
}

TEST_F(TreemapColorSettings, StoredPaletteNeedsExactlyThirteenTexts) {
    QStringList twelve = colorBlindPalette();
    twelve.removeLast();
    store("treemapPaletteColors", twelve);
    EXPECT_EQ(loadTreemapPaletteTexts(), defaultPaletteTexts());

    QStringList texts = colorBlindPalette();
    texts[0] = QStringLiteral("#00FF00");
    texts[1] = QStringLiteral("xyz");
    store("treemapPaletteColors", texts);
    const svl::TreemapPalette palette = loadTreemapPalette();
    expectColor(palette[0], 0, 255, 0);
    expectColor(palette[1], 72, 72, 72);  // unreadable: gray, not the built-in colour
    expectColor(palette[2], 0x33, 0x22, 0x88);
    expectColor(palette[12], 0x20, 0x20, 0x20);
}

TEST_F(TreemapColorSettings, ExtensionListsArePaddedOrReplaced) {
    store("treemapExtensionLists", QStringList{"a", "b", "c", "d", "e"});
    const QStringList padded = loadTreemapExtensionLists();
    ASSERT_EQ(padded.size(), 13);
    EXPECT_EQ(padded[4], QStringLiteral("e"));
    for (int i = 5; i < 13; ++i)
        EXPECT_TRUE(padded[i].isEmpty());

    QStringList fourteen;
    for (int i = 0; i < 14; ++i)
        fourteen << QStringLiteral("x%1").arg(i);
    store("treemapExtensionLists", fourteen);
    EXPECT_EQ(loadTreemapExtensionLists(), defaultExtensionLists());
}

TEST_F(TreemapColorSettings, ListsBuildTheMapLaterListsWin) {
    QStringList lists(13);
    lists[0] = QStringLiteral("MP3, Ogg ,,wav, .flac");
    lists[4] = QStringLiteral("mp3");
    lists[7] = QStringLiteral("ÄÖ");
    const svl::ExtensionColorMap map = buildExtensionColorMap(lists);
    EXPECT_EQ(map.at("ogg"), 0);
    EXPECT_EQ(map.at("wav"), 0);
    EXPECT_EQ(map.at("mp3"), 4);
    EXPECT_EQ(map.count("flac"), 0u);  // a dot is kept, so ".flac" never matches an extension
    EXPECT_EQ(map.at(".flac"), 0);
    EXPECT_EQ(map.at("äö"), 7);  // Unicode lower-casing, UTF-8 key
    EXPECT_EQ(map.count(""), 0u);
    EXPECT_EQ(map.size(), 5u);
}

TEST_F(TreemapColorSettings, ColourMapBySizeOrByLists) {
    const std::vector<svl::ExtensionStat> stats = {{"png", 500, 9000, 1}, {"jpg", 500, 1, 1}, {"mp4", 900, 0, 1}};
    svl::ExtensionColorMap bySize = loadExtensionColorMap(stats);
    EXPECT_EQ(bySize.at("mp4"), 0);
    EXPECT_EQ(bySize.at("jpg"), 1);  // equal sizes by extension; allocated sizes play no part
    EXPECT_EQ(bySize.at("png"), 2);

    store("treemapColorBySize", false);
    const svl::ExtensionColorMap byList = loadExtensionColorMap(stats);
    EXPECT_EQ(byList.at("mp4"), 1);
    EXPECT_EQ(byList.at("png"), 2);
    EXPECT_EQ(byList.at("deb"), 11);
}

TEST_F(TreemapColorSettings, EverySaveRaisesTheRevisionAndNotifies) {
    QSignalSpy spy(AppSettings::instance(), &AppSettings::changed);
    saveTreemapColors(false, colorBlindPalette(), defaultExtensionLists());
    saveTreemapColors(false, colorBlindPalette(), defaultExtensionLists());
    QStringList keys;
    for (const QList<QVariant>& call : spy)
        keys << call.at(0).toString();
    EXPECT_EQ(keys.count(QStringLiteral("treemapColorsRevision")), 2);
    EXPECT_EQ(keys.count(QStringLiteral("treemapPaletteColors")), 1);  // unchanged values are not rewritten
    EXPECT_EQ(AppSettings::instance()->settings()->value(QStringLiteral("treemapColorsRevision")).toInt(), 2);
    EXPECT_FALSE(loadTreemapColorBySize());
    EXPECT_EQ(loadTreemapPaletteTexts(), colorBlindPalette());
}
