// The carried translation tables against the texts the program passes through
// tr(): every table is read whole by the real parser, translates every text,
// holds no text the program no longer has, keeps each text's placeholders, keeps
// apart the texts that mean different things and keeps its language's typography.
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

#include <algorithm>
#include <array>
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

// The letter after a single "&" (the accelerator), or a null character; "&&" is an ampersand.
QChar accelerator(const QString& text) {
    static const QRegularExpression single(QStringLiteral("(?<!&)&([^&])"));
    const QRegularExpressionMatch m = single.match(text);
    return m.hasMatch() ? m.captured(1).at(0).toLower() : QChar();
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
            QString english = key.section(u'|', 0, 0);
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
    // The administrator's Trash is where the item would go, not where it goes: each language's
    // mark of that ("would", a conditional mood or an "if" clause).
    const QHash<QString, const char*> wouldGo = {
        {"ar", " لو "},     {"bg", " би "},    {"cs", " by "},         {"da", "ville"},     {"de", "käme"},
        {"el", "θα πήγαινε"}, {"es", "iría"},  {"fi", "menisi"},       {"fr", "irait"},     {"he", "היה"},
        {"hu", "kerülne"},  {"id", "akan"},    {"it", "finirebbe"},    {"ja", "移動すると"}, {"ko", "옮기면"},
        {"nl", "zou"},      {"no", "ville"},   {"pl", "łby"},          {"pt-BR", "iria"},   {"ru", " бы "},
        {"sk", " by "},     {"sl", " bi "},    {"sr", " би "},         {"sv", "skulle"},    {"th", "หาก"},
        {"tr", "taşınırsa"}, {"uk", " би "},   {"zh-Hans", "会"},      {"zh-Hant", "會"}};
    // Each language's word for "sub folders" (as the export option writes it) and for "filter".
    const QHash<QString, std::array<const char*, 2>> words = {
        {"ar", {"الفرعية", "التصفية"}},        {"bg", {"подпап", "филтър"}},      {"cs", {"podsložk", "filtr"}},
        {"da", {"undermappe", "filter"}},   {"de", {"unterordner", "filter"}}, {"el", {"υποφακέλ", "φίλτρο"}},
        {"es", {"subcarpeta", "filtro"}},   {"fi", {"alikansio", "suodatin"}}, {"fr", {"sous-dossier", "filtre"}},
        {"he", {"תת־תיקי", "מסנן"}},        {"hu", {"almapp", "szűrő"}},       {"id", {"subfolder", "filter"}},
        {"it", {"sottocartell", "filtro"}}, {"ja", {"サブフォルダー", "フィルター"}},
        {"ko", {"하위 폴더", "필터"}},      {"nl", {"submap", "filter"}},      {"no", {"undermappe", "filter"}},
        {"pl", {"podfolder", "filtr"}},     {"pt-BR", {"subpasta", "filtro"}}, {"ru", {"подпап", "фильтр"}},
        {"sk", {"podpriečin", "filter"}},   {"sl", {"podmap", "filter"}},      {"sr", {"подфасцикл", "филтер"}},
        {"sv", {"undermapp", "filter"}},    {"th", {"โฟลเดอร์ย่อย", "ตัวกรอง"}}, {"tr", {"alt klasör", "filtre"}},
        {"uk", {"підтек", "фільтр"}},       {"zh-Hans", {"子文件夹", "筛选"}}, {"zh-Hant", {"子資料夾", "篩選"}}};
    // The File View's "Folders" check box and the status bar's filter note have entries
    // of their own ("<text>|<disambiguation>"), apart from the column and the panel labels.
    const QStringList keys = programKeys();
    QString foldersOption;
    QStringList filterNotes, accelerated;
    for (const QString& key : keys) {
        if (key.startsWith(QStringLiteral("Folders|")))
            foldersOption = key;
        if (key.startsWith(QStringLiteral("Include Filter:|")) || key.startsWith(QStringLiteral("Exclude Filter:|")))
            filterNotes << key;
        if (!accelerator(key).isNull())
            accelerated << key;
    }
    ASSERT_FALSE(foldersOption.isEmpty()) << "the Folders check box shares the column's text";
    ASSERT_EQ(filterNotes.size(), 2) << "the filter note shares the panel's labels";

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
        const QString adminTrash = text(
            "Hollowmere is running as Administrator, so the item would go to the Administrator's Trash, which you can't "
            "see or empty. Do you want to delete the item immediately instead? You can't undo this action.");
        ASSERT_TRUE(wouldGo.contains(tag)) << "no mark of \"would\" listed";
        EXPECT_TRUE(adminTrash.contains(QString::fromUtf8(wouldGo.value(tag)))) << adminTrash.toStdString();
        // A file group's row is cut at its end: the count comes before the folder's path.
        for (const char* group : {"[%1 File in %2]", "[%1 Files in %2]"}) {
            const QString row = text(QString::fromLatin1(group));
            EXPECT_LT(row.indexOf(QStringLiteral("%1")), row.indexOf(QStringLiteral("%2"))) << row.toStdString();
        }
        // The check box lists folders; it must not read as "search sub folders".
        const QString subfolders = QString::fromUtf8(words.value(tag)[0]);
        ASSERT_FALSE(subfolders.isEmpty()) << "no words listed for " << tag.toStdString();
        if (text("Export total size and allocated size of folders (excluding sub folders)").toLower().contains(subfolders)) {
            EXPECT_FALSE(text(foldersOption).toLower().contains(subfolders)) << text(foldersOption).toStdString();
        }
        for (const QString& note : filterNotes) {
            EXPECT_TRUE(text(note).toLower().contains(QString::fromUtf8(words.value(tag)[1]))) << text(note).toStdString();
        }
        // Menu titles keep an accelerator each, and no two share one.
        QHash<QChar, QString> letters;
        for (const QString& key : accelerated) {
            const QChar letter = accelerator(text(key));
            EXPECT_FALSE(letter.isNull()) << "no accelerator in " << text(key).toStdString();
            if (letter.isNull())
                continue;
            EXPECT_FALSE(letters.contains(letter))
                << text(key).toStdString() << " and " << letters.value(letter).toStdString() << " share one";
            letters.insert(letter, text(key));
        }
    }
}

// Each table keeps its language's typography in every text: one style of quotation
// marks, the same spacing before an ellipsis, the French no-break spaces, the maqaf.
TEST(TranslationTables, TypographyIsTheSameInEveryText) {
    initProgramResources();
    const QStringList quoteStyles = {"\"", "„“", "„”", "«»", "“”", "「」"};
    const QString doubleMarks = QStringLiteral("\"„“”«»「」");
    // An ellipsis after a word; the one standing for a name in "[N Files in …]" is no such.
    static const QRegularExpression ellipsis(QStringLiteral("[\\p{L}\\p{M}]([ \\x{00A0}]?)(?:…|\\.\\.\\.)(?!\\])"));
    static const QRegularExpression hebrewHyphen(QStringLiteral("[\\x{05D0}-\\x{05EA}]-"));
    static const QRegularExpression frenchSpacing(QStringLiteral("(?<!\\x{00A0})[:?!»]|«(?!\\x{00A0})"));
    const auto some = [](const QStringList& texts) { return texts.mid(0, 5).join(QStringLiteral(" | ")).toStdString(); };

    for (const QString& tag : kLanguages) {
        SCOPED_TRACE(tag.toStdString());
        const QList<RawEntry> entries = rawEntries(tag);
        ASSERT_FALSE(entries.isEmpty());
        QString marks;
        QStringList spaced, unspaced, french, hyphens;
        for (const RawEntry& entry : entries) {
            const QString& value = entry.value;
            for (QChar c : value) {
                if (doubleMarks.contains(c) && !marks.contains(c))
                    marks += c;
            }
            for (const QRegularExpressionMatch& m : ellipsis.globalMatch(value))
                (m.capturedLength(1) ? spaced : unspaced) << value;
            if (hebrewHyphen.match(value).hasMatch())
                hyphens << value;
            if (tag == QLatin1String("fr") && frenchSpacing.match(value).hasMatch())
                french << value;
        }
        const bool oneStyle = std::any_of(quoteStyles.begin(), quoteStyles.end(), [&marks](const QString& style) {
            return std::all_of(marks.begin(), marks.end(), [&style](QChar c) { return style.contains(c); });
        });
        EXPECT_TRUE(oneStyle) << "quotation marks of several styles: " << marks.toStdString();
        EXPECT_TRUE(spaced.isEmpty() || unspaced.isEmpty())
            << "a space before the ellipsis in " << spaced.size() << " texts, none in " << unspaced.size() << ": "
            << some(spaced.size() < unspaced.size() ? spaced : unspaced);
        EXPECT_TRUE(french.isEmpty()) << "no no-break space at : ? ! « »: " << some(french);
        EXPECT_TRUE(hyphens.isEmpty()) << "a hyphen for the maqaf: " << some(hyphens);
    }
}
