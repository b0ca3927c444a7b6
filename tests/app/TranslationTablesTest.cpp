// The carried translation tables against the texts the program passes through
// tr(): every table is read whole by the real parser, translates every text,
// holds no text the program no longer has, and keeps each text's placeholders.
#include "app/StringsTranslator.h"

#include "app/ProgramResources.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <cstdio>

using localization::normalizeKey;
using localization::StringsTranslator;

namespace {

const QStringList kLanguages = {"ar", "bg", "cs", "da", "de", "el", "es", "fi", "fr", "he",
                                "hu", "id", "it", "ja", "ko", "nl", "no", "pl", "pt-BR", "ru",
                                "sk", "sl", "sr", "sv", "th", "tr", "uk", "zh-Hans", "zh-Hant"};

// The English source texts, as the repository's extractor lists them.
QStringList programKeys() {
    const QString root = qEnvironmentVariable("HM_TEST_SOURCE_DIR");
    QProcess extractor;
    extractor.start(QStringLiteral("python3"),
                    {root + QStringLiteral("/scripts/extract_tr_keys.py"), QStringLiteral("--root"), root});
    if (!extractor.waitForFinished(60000) || extractor.exitCode() != 0)
        return {};
    QStringList keys;
    for (const QJsonValue& key : QJsonDocument::fromJson(extractor.readAllStandardOutput()).object()["keys"].toArray())
        keys << key.toString();
    return keys;
}

struct RawEntry {
    QString key;
    QString value;
    bool markedSame = false;  // "// same": the word is the same in this language
};

QString unescape(const QString& quoted) {
    QString out;
    for (qsizetype i = 0; i < quoted.size(); ++i) {
        QChar c = quoted[i];
        if (c == u'\\' && i + 1 < quoted.size()) {
            c = quoted[++i];
            c = c == u'n' ? QChar(u'\n') : c == u't' ? QChar(u'\t') : c;
        }
        out += c;
    }
    return out;
}

// The table's entry lines, read independently of the parser under test: one
// entry per line, as the tables are written.
QList<RawEntry> rawEntries(const QString& tag) {
    QFile file(localization::kTableFolder + u'/' + tag + QStringLiteral(".strings"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression entry(
        QStringLiteral(R"re(^\s*"((?:[^"\\]|\\.)*)"\s*=\s*"((?:[^"\\]|\\.)*)"\s*;\s*(//.*)?$)re"));
    QList<RawEntry> entries;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const QRegularExpressionMatch m = entry.match(line);
        if (m.hasMatch())
            entries.append({unescape(m.captured(1)), unescape(m.captured(2)),
                            m.captured(3).trimmed() == QStringLiteral("// same")});
    }
    return entries;
}

QSet<QString> qtPlaceholders(const QString& text) {
    static const QRegularExpression number(QStringLiteral("%(\\d)"));
    QSet<QString> found;
    for (const QRegularExpressionMatch& m : number.globalMatch(text))
        found.insert(m.captured(0));
    return found;
}

bool hasLetters(const QString& text) {
    static const QRegularExpression letter(QStringLiteral("\\p{L}"));
    QString plain = text;
    plain.remove(QRegularExpression(QStringLiteral("%\\d")));
    return plain.contains(letter);
}

}  // namespace

TEST(TranslationTables, EveryLanguageIsCarried) {
    initProgramResources();
    QStringList carried = localization::availableLanguages();
    carried.sort();
    QStringList expected = kLanguages;
    expected.sort();
    EXPECT_EQ(carried.join(u' ').toStdString(), expected.join(u' ').toStdString());
}

TEST(TranslationTables, EveryTableIsCompleteCurrentAndKeepsPlaceholders) {
    initProgramResources();
    const QStringList keys = programKeys();
    ASSERT_GT(keys.size(), 100) << "the key extractor failed or found too few texts";
    QSet<QString> normalizedKeys;
    for (const QString& key : keys)
        normalizedKeys.insert(normalizeKey(key));

    // HM_I18N_ONLY=de checks one table while it is being written.
    const QString only = qEnvironmentVariable("HM_I18N_ONLY");
    for (const QString& tag : kLanguages) {
        if (!only.isEmpty() && tag != only)
            continue;
        SCOPED_TRACE(tag.toStdString());
        StringsTranslator table;
        if (!table.load(tag)) {
            ADD_FAILURE() << "no table for " << tag.toStdString();
            continue;
        }
        const QList<RawEntry> raw = rawEntries(tag);
        // Fewer parsed than written means a malformed entry ended the parse early
        // (or two lines share one key).
        EXPECT_EQ(table.entryCount(), raw.size());

        QStringList stale;
        QHash<QString, bool> markedSame;
        for (const RawEntry& entry : raw) {
            markedSame.insert(normalizeKey(entry.key), entry.markedSame);
            if (!normalizedKeys.contains(normalizeKey(entry.key)))
                stale << entry.key;
        }
        EXPECT_TRUE(stale.isEmpty()) << "texts the program no longer has: "
                                     << stale.mid(0, 10).join(QStringLiteral(" | ")).toStdString();

        QStringList missing, wrongPlaceholders, untranslated;
        for (const QString& key : keys) {
            const QString value = table.translate("Ctx", key.toUtf8().constData());
            if (value.isNull()) {
                missing << key;
                continue;
            }
            if (qtPlaceholders(value) != qtPlaceholders(key))
                wrongPlaceholders << key + QStringLiteral(" -> ") + value;
            QString english = key;
            english.remove(u'&');
            if (value == english && hasLetters(key) && !markedSame.value(normalizeKey(key)))
                untranslated << key;
        }
        std::printf("%-8s %d of %d texts translated\n", qPrintable(tag), int(keys.size() - missing.size()),
                    int(keys.size()));
        EXPECT_TRUE(missing.isEmpty()) << missing.size() << " missing, such as: "
                                       << missing.mid(0, 10).join(QStringLiteral(" | ")).toStdString();
        EXPECT_TRUE(wrongPlaceholders.isEmpty())
            << wrongPlaceholders.mid(0, 10).join(QStringLiteral(" | ")).toStdString();
        EXPECT_TRUE(untranslated.isEmpty()) << "copied from English without a \"// same\" mark: "
                                            << untranslated.mid(0, 10).join(QStringLiteral(" | ")).toStdString();
    }
}

// Texts read side by side, or one after the other, must not say the same or another thing.
TEST(TranslationTables, TextsAreNotConfused) {
    initProgramResources();
    // Headings shown together in one header.
    const QList<QStringList> headers = {
        {"Folder", "% of Parent", "Size", "Allocated", "Items", "Files", "Folders", "Modified", "Attr."},
        {"File Name", "Path", "% of Root", "Size", "Allocated", "Modified", "Attr.", "Dup Count", "Dup Size"},
        {"Extension", "File Type", "Percent", "Size", "Allocated", "Files"}};
    // Texts naming the desktop's file manager, which a translated desktop shows by its translated name.
    const QStringList fileManagerTexts = {
        "%1 is installed. Files has to be restarted before the new menu entry shows up.",
        "Add Menu Entry for Empty Space in Files...", "Restart Files",
        "To add Hollowmere to the menu you get by right-clicking empty space in Files, the package \"%1\" has "
        "to be installed."};
    // Translations once shipped that read as another action or another thing.
    const QList<std::array<const char*, 3>> misreadings = {
        {"ja", "Remove Folder", "フォルダーを削除"},     {"pl", "Remove Folder", "Usuń folder"},
        {"id", "Remove Folder", "Hapus Folder"},         {"ja", "Replace", "置換"},
        {"pl", "Scan Normally (slower)", "Skanuj zwykle (wolniej)"},
        {"zh-Hans", "Show Header", "显示标题栏"},        {"fr", "Dump MFT File", "Vider la MFT dans un fichier"},
        {"de", "Dump MFT File", "MFT-Datei sichern"},    {"de", "Color Blind", "Farbenblind"},
        {"es", "Color Blind", "Daltónico"},              {"pt-BR", "Color Blind", "Daltônico"},
        {"ru", "Treemap", "Карта"},                      {"ja", "Scan as Admin", "管理者でスキャン"},
        {"zh-Hans", "Scan as Admin", "以管理员扫描"}};

    for (const QString& tag : kLanguages) {
        SCOPED_TRACE(tag.toStdString());
        StringsTranslator table;
        ASSERT_TRUE(table.load(tag));
        auto text = [&table](const QString& key) { return table.translate("Ctx", key.toUtf8().constData()); };
        for (const QStringList& header : headers) {
            QHash<QString, QString> seen;
            for (const QString& key : header) {
                const QString heading = text(key);
                EXPECT_FALSE(seen.contains(heading))
                    << key.toStdString() << " and " << seen.value(heading).toStdString() << " both read "
                    << heading.toStdString();
                seen.insert(heading, key);
            }
        }
        for (const QString& key : fileManagerTexts)
            EXPECT_FALSE(text(key).contains(QStringLiteral("Files"))) << text(key).toStdString();
        // Clearing a search field must not read like the permanent deletion.
        const QString clear = text("Clear").toLower();
        EXPECT_FALSE(text("Permanently erase \"%1\"?").toLower().contains(clear)) << clear.toStdString();
        for (const auto& [language, key, wrong] : misreadings) {
            if (tag == QLatin1String(language)) {
                EXPECT_NE(text(key), QString::fromUtf8(wrong)) << key;
            }
        }
    }
}
