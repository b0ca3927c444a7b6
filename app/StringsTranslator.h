// Localisation: translation tables in the `.strings` text format ("key" = "value";),
// keyed by the English source texts with printf-style placeholders, brought into
// Qt's numbered-placeholder form and answered through QTranslator. Also the
// language choice at start and the right-to-left switch for Arabic and Hebrew.
// Tables are parsed and installed on the GUI thread; lookups (translate) only
// read and may run on any thread once a table is installed.
#pragma once

#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTranslator>

namespace localization {

// The folder of the carried tables, one "<tag>.strings" file per language.
inline const QString kTableFolder = QStringLiteral(":/i18n");

class StringsTranslator : public QTranslator {
    Q_OBJECT

public:
    explicit StringsTranslator(QObject* parent = nullptr);

    // Opens "<folder>/<tag>.strings" and parses it; true when the file opened and
    // at least one entry was stored. Any earlier table is discarded first.
    bool load(const QString& tag, const QString& folder = kTableFolder);

    // Parses table text into the (emptied) table; returns the number of entries.
    // A malformed token ends the parse; the entries read before it stay.
    int parse(const QString& text);

    // Ignores context and count. A text with a disambiguation is looked up by its
    // tableKey first and by the plain text when the table does not tell the two
    // apart. A null answer lets Qt show the English source text.
    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override;
    int entryCount() const { return static_cast<int>(m_entries.size()); }

private:
    QHash<QString, QString> m_entries;
};

// "%(?:\d+\$)?(?:\.\d+)?(?:ll|l)?[@dfsi]": one printf-style placeholder.
const QRegularExpression& placeholderPattern();

// Lookup form of a key or source text: no "&", every "%<digit>" and every
// printf-style placeholder written "%@".
QString normalizeKey(const QString& text);

// The table key of a text that is told apart from the same English text used
// elsewhere ("Folders" as a check box and as a column): "<text>|<disambiguation>".
// An empty disambiguation gives the text itself.
QString tableKey(const QString& sourceText, const QString& disambiguation);

// A table value with its placeholders rewritten to Qt's "%1".."%N" ("%2$@" keeps
// its position 2, others are numbered from the left).
QString convertPlaceholders(const QString& value);

// Tags of the tables in `folder`, by file name order.
QStringList availableLanguages(const QString& folder = kTableFolder);

// The carried table's tag for a locale (nb -> no, pt -> pt-BR, zh -> zh-Hans or
// zh-Hant, ...), or an empty text when none of `available` fits.
QString tagForLocale(const QLocale& locale, const QStringList& available = availableLanguages());

// The name shown in the language menu: the language's own name, capitalised.
QString displayName(const QString& tag);

// Uninstalls and deletes the installed translator; restores the layout direction.
void removeTranslator();

}  // namespace localization

// Chooses the language (requested tag, the `language` setting, ZRT_LANG, the
// system locale), installs its table and switches to right-to-left for "ar" and
// "he". Returns the installed tag, or an empty text when the interface stays
// English.
QString installTranslator(const QString& requested = QString(), const QString& folder = localization::kTableFolder);
