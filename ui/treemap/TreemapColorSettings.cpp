#include "ui/treemap/TreemapColorSettings.h"

#include "app/AppSettings.h"
#include "core/analysis/ExtensionStats.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kSlots = svl::kTreemapSlots;
constexpr svl::TreemapColor kUnreadableColor{72, 72, 72};

QVariant stored(const char* key, const QVariant& fallback = QVariant()) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), fallback);
}

}  // namespace

bool loadTreemapColorBySize() { return stored("treemapColorBySize", true).toBool(); }

QStringList loadTreemapPaletteTexts() {
    const QStringList texts = stored("treemapPaletteColors").toStringList();
    return texts.size() == kSlots ? texts : defaultPaletteTexts();
}

QStringList loadTreemapExtensionLists() {
    QStringList lists = stored("treemapExtensionLists").toStringList();
    if (lists.isEmpty() || lists.size() > kSlots)
        return defaultExtensionLists();
    while (lists.size() < kSlots)
        lists.append(QString());
    return lists;
}

QStringList defaultPaletteTexts() {
    svl::TreemapPalette palette;
    svl::defaultTreemapColors(palette);
    QStringList texts;
    for (const svl::TreemapColor& c : palette)
        texts.append(colorToHexText(c));
    return texts;
}

QStringList colorBlindPalette() {
    return {QStringLiteral("88CCEE"), QStringLiteral("44AA99"), QStringLiteral("332288"), QStringLiteral("117733"),
            QStringLiteral("999933"), QStringLiteral("DDCC77"), QStringLiteral("CC6677"), QStringLiteral("AA4499"),
            QStringLiteral("882255"), QStringLiteral("202020"), QStringLiteral("202020"), QStringLiteral("202020"),
            QStringLiteral("202020")};
}

QStringList defaultExtensionLists() {
    return {QStringLiteral("mp3,ogg,oga,wav,wma,m4a,aac,flac,opus,aiff,aif"),
            QStringLiteral("mkv,mp4,mpeg,mpg,mov,ogm,ogv,swf,webm,wmv,m4v,avi"),
            QStringLiteral("bmp,gif,jpeg,jpg,pcx,png,tga,tif,tiff,heic,heif,webp,svg"),
            QStringLiteral("7z,ace,arj,cab,gz,gzip,jar,rar,tar,tgz,z,zip,bz2,xz,zst,tbz,tbz2,txz"),
            QStringLiteral("exe,appimage"),
            QStringLiteral("dll,so,dylib"),
            QStringLiteral("sys,ko"),
            QStringLiteral("txt,log,rtf"),
            QStringLiteral("vdi,vhd,vhdx,qcow,qcow2,vmdk,hdd"),
            QStringLiteral("iso,nrg,bin,img,cdr"),
            QStringLiteral("doc,dot,wbk,docx,xls,xlsx,ppt,pptx,pub,odt,ods,odp"),
            QStringLiteral("msi,pkg,deb,rpm,snap"),
            QString()};
}

svl::TreemapColor parseColorText(const QString& text) {
    QString digits = text.trimmed();
    digits.remove(QLatin1Char('#'));
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (!ok)
        return kUnreadableColor;
    return {float((value >> 16) & 0xFF), float((value >> 8) & 0xFF), float(value & 0xFF)};
}

QString colorToHexText(const svl::TreemapColor& color) {
    auto channel = [](float c) {
        const double v = std::floor(double(c) + 0.5);
        // NaN fails both comparisons and ends up 0.
        return v >= 255 ? 255 : (v > 0 ? int(v) : 0);
    };
    return QStringLiteral("%1%2%3")
        .arg(channel(color.r), 2, 16, QLatin1Char('0'))
        .arg(channel(color.g), 2, 16, QLatin1Char('0'))
        .arg(channel(color.b), 2, 16, QLatin1Char('0'))
        .toUpper();
}

svl::TreemapPalette loadTreemapPalette() {
    svl::TreemapPalette palette;
    svl::defaultTreemapColors(palette);
    const QStringList texts = loadTreemapPaletteTexts();
    for (int i = 0; i < kSlots && i < texts.size(); ++i)
        palette[i] = parseColorText(texts[i]);
    return palette;
}

svl::ExtensionColorMap buildExtensionColorMap(const QStringList& lists) {
    svl::ExtensionColorMap map;
    for (int i = 0; i < kSlots && i < lists.size(); ++i) {
        for (const QString& piece : lists[i].split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString key = piece.trimmed().toLower();
            if (!key.isEmpty())
                map[key.toUtf8().toStdString()] = i;
        }
    }
    return map;
}

svl::ExtensionColorMap loadExtensionColorMap(const std::vector<svl::ExtensionStat>& stats) {
    if (loadTreemapColorBySize())
        return svl::indexExtensionStats(stats);
    return buildExtensionColorMap(loadTreemapExtensionLists());
}

void saveTreemapColors(bool colorBySize, const QStringList& paletteTexts, const QStringList& extensionLists) {
    AppSettings* settings = AppSettings::instance();
    settings->setValue("treemapColorBySize", colorBySize);
    settings->setValue("treemapPaletteColors", paletteTexts);
    settings->setValue("treemapExtensionLists", extensionLists);
    settings->setValue("treemapColorsRevision", stored("treemapColorsRevision", 0).toInt() + 1);
}
