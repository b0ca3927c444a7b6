#include "app/StringsTranslator.h"

#include "app/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSet>

namespace localization {

namespace {

bool isBlank(QChar c) {
    const ushort u = c.unicode();
    return (u >= 9 && u <= 13) || u == 32 || u == 0x85 || u == 0xA0 || c.isSpace();
}

// Reads one `.strings` text. Positions are UTF-16 indexes into m_text.
class StringsParser {
public:
    explicit StringsParser(const QString& text) : m_text(text) {}

    // Skips white space and comments up to the next token.
    void skipBlanksAndComments() {
        const qsizetype size = m_text.size();
        while (m_pos < size) {
            const QChar c = m_text.at(m_pos);
            if (isBlank(c)) {
                ++m_pos;
            } else if (c == QLatin1Char('/') && m_pos + 1 < size && m_text.at(m_pos + 1) == QLatin1Char('*')) {
                const qsizetype end = m_text.indexOf(QLatin1String("*/"), m_pos + 2);
                m_pos = end < 0 ? size : end + 2;
            } else if (c == QLatin1Char('/') && m_pos + 1 < size && m_text.at(m_pos + 1) == QLatin1Char('/')) {
                const qsizetype end = m_text.indexOf(QLatin1Char('\n'), m_pos + 2);
                m_pos = end < 0 ? size : end + 1;
            } else {
                return;
            }
        }
    }

    bool atEnd() const { return m_pos >= m_text.size(); }

    bool take(QChar c) {
        if (atEnd() || m_text.at(m_pos) != c)
            return false;
        ++m_pos;
        return true;
    }

    // A double-quoted string with \n, \t and \<any> escapes; false when malformed.
    bool readQuoted(QString* out) {
        if (!take(QLatin1Char('"')))
            return false;
        out->clear();
        const qsizetype size = m_text.size();
        while (m_pos < size) {
            const QChar c = m_text.at(m_pos++);
            if (c == QLatin1Char('"'))
                return true;
            if (c != QLatin1Char('\\')) {
                out->append(c);
                continue;
            }
            if (m_pos >= size) {  // a final backslash stays a backslash
                out->append(c);
                break;
            }
            const QChar next = m_text.at(m_pos++);
            if (next == QLatin1Char('n'))
                out->append(QLatin1Char('\n'));
            else if (next == QLatin1Char('t'))
                out->append(QLatin1Char('\t'));
            else
                out->append(next);
        }
        return false;  // the text ended inside the string
    }

private:
    const QString& m_text;
    qsizetype m_pos = 0;
};

// Placeholder numbers used by a converted value ("%1", "%2", ...).
QSet<int> placeholderNumbers(const QString& converted) {
    static const QRegularExpression numbered(QStringLiteral("%(\\d+)"));
    QSet<int> numbers;
    for (auto it = numbered.globalMatch(converted); it.hasNext();)
        numbers.insert(it.next().captured(1).toInt());
    return numbers;
}

// A translation must fill exactly the source text's arguments: one that refers
// to an argument the source lacks would show "%3" literally, one that drops an
// argument would hide a file name or count.
bool placeholdersMatch(const QString& normalizedKey, const QString& converted) {
    const int expected = static_cast<int>(normalizedKey.count(QLatin1String("%@")));
    const QSet<int> used = placeholderNumbers(converted);
    if (used.size() != expected)
        return false;
    for (int n = 1; n <= expected; ++n) {
        if (!used.contains(n))
            return false;
    }
    return true;
}

struct InstalledState {
    StringsTranslator* translator = nullptr;
    bool directionSwitched = false;
    Qt::LayoutDirection previousDirection = Qt::LeftToRight;
};

InstalledState& installed() {
    static InstalledState state;
    return state;
}

QGuiApplication* guiApp() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance());
}

}  // namespace

const QRegularExpression& placeholderPattern() {
    static const QRegularExpression pattern(QStringLiteral("%(?:\\d+\\$)?(?:\\.\\d+)?(?:ll|l)?[@dfsi]"));
    return pattern;
}

QString normalizeKey(const QString& text) {
    static const QRegularExpression numbered(QStringLiteral("%\\d"));
    QString key = text;
    key.remove(QLatin1Char('&'));
    // printf forms first: "%1$@" must become "%@" as a whole, not "%@$@".
    key.replace(placeholderPattern(), QStringLiteral("%@"));
    key.replace(numbered, QStringLiteral("%@"));
    return key;
}

QString tableKey(const QString& sourceText, const QString& disambiguation) {
    return disambiguation.isEmpty() ? sourceText : sourceText + QLatin1Char('|') + disambiguation;
}

QString convertPlaceholders(const QString& value) {
    static const QRegularExpression positional(QStringLiteral("^%(\\d+)\\$"));
    QString out;
    out.reserve(value.size());
    qsizetype copied = 0;
    int counter = 0;
    for (auto it = placeholderPattern().globalMatch(value); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out.append(QStringView(value).mid(copied, match.capturedStart() - copied));
        const QRegularExpressionMatch pos = positional.match(match.capturedView());
        int number = 0;
        if (pos.hasMatch()) {
            bool ok = false;
            number = pos.captured(1).toInt(&ok);
            if (!ok)
                number = 0;
        } else {
            number = ++counter;
        }
        out.append(QLatin1Char('%')).append(QString::number(number));
        copied = match.capturedEnd();
    }
    out.append(QStringView(value).mid(copied));
    return out;
}

StringsTranslator::StringsTranslator(QObject* parent) : QTranslator(parent) {}

bool StringsTranslator::load(const QString& tag, const QString& folder) {
    m_entries.clear();
    QFile file(folder + QLatin1Char('/') + tag + QStringLiteral(".strings"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return parse(text) > 0;
}

int StringsTranslator::parse(const QString& text) {
    m_entries.clear();
    StringsParser parser(text);
    QString key, value;
    for (;;) {
        parser.skipBlanksAndComments();
        if (parser.atEnd() || !parser.readQuoted(&key))
            break;
        parser.skipBlanksAndComments();
        if (!parser.take(QLatin1Char('=')))
            break;
        parser.skipBlanksAndComments();
        if (!parser.readQuoted(&value))
            break;
        parser.skipBlanksAndComments();
        parser.take(QLatin1Char(';'));

        const QString converted = convertPlaceholders(value);
        const QString normalized = normalizeKey(key);
        if (converted.isEmpty() || m_entries.contains(normalized) || !placeholdersMatch(normalized, converted))
            continue;
        m_entries.insert(normalized, converted);
    }
    return entryCount();
}

QString StringsTranslator::translate(const char*, const char* sourceText, const char* disambiguation, int) const {
    if (!sourceText)
        return QString();
    const QString source = QString::fromUtf8(sourceText);
    if (disambiguation && *disambiguation) {
        const auto it = m_entries.constFind(normalizeKey(tableKey(source, QString::fromUtf8(disambiguation))));
        if (it != m_entries.constEnd())
            return it.value();
    }
    const auto it = m_entries.constFind(normalizeKey(source));
    return it == m_entries.constEnd() ? QString() : it.value();
}

bool StringsTranslator::isEmpty() const {
    return m_entries.isEmpty();
}

QStringList availableLanguages(const QString& folder) {
    QStringList tags = QDir(folder).entryList({QStringLiteral("*.strings")}, QDir::Files, QDir::Name);
    for (QString& tag : tags)
        tag.chop(static_cast<qsizetype>(sizeof(".strings") - 1));
    return tags;
}

QString tagForLocale(const QLocale& locale, const QStringList& available) {
    const QString name = locale.name();
    const qsizetype separator = name.indexOf(QLatin1Char('_'));
    const QString language = name.left(separator).toLower();
    const QString region = separator < 0 ? QString() : name.mid(separator + 1).toUpper();
    QString tag = language;
    if (language.size() == 2) {
        if (language == QLatin1String("zh")) {
            const bool traditional = locale.script() == QLocale::TraditionalHanScript ||
                                     region == QLatin1String("TW") || region == QLatin1String("HK") ||
                                     region == QLatin1String("MO");
            tag = traditional ? QStringLiteral("zh-Hant") : QStringLiteral("zh-Hans");
        } else if (language == QLatin1String("pt")) {
            tag = QStringLiteral("pt-BR");
        } else if (language == QLatin1String("nb") || language == QLatin1String("nn")) {
            tag = QStringLiteral("no");
        } else if (language == QLatin1String("iw")) {
            tag = QStringLiteral("he");
        } else if (language == QLatin1String("in")) {
            tag = QStringLiteral("id");
        }
    }
    return available.contains(tag) ? tag : QString();
}

QString displayName(const QString& tag) {
    if (tag == QLatin1String("zh-Hans"))
        return QStringLiteral("简体中文");
    if (tag == QLatin1String("zh-Hant"))
        return QStringLiteral("繁體中文");
    if (tag == QLatin1String("en"))
        return QStringLiteral("English");
    QString localeName = tag;
    if (tag == QLatin1String("no"))
        localeName = QStringLiteral("nb");
    else if (tag == QLatin1String("pt-BR"))
        localeName = QStringLiteral("pt_BR");
    QString name = QLocale(localeName).nativeLanguageName();
    if (name.isEmpty())
        return tag;
    name[0] = name.at(0).toUpper();
    return name;
}

void removeTranslator() {
    InstalledState& state = installed();
    if (state.translator) {
        QCoreApplication::removeTranslator(state.translator);
        delete state.translator;
        state.translator = nullptr;
    }
    if (state.directionSwitched) {
        if (guiApp())
            QGuiApplication::setLayoutDirection(state.previousDirection);
        state.directionSwitched = false;
    }
}

}  // namespace localization

QString installTranslator(const QString& requested, const QString& folder) {
    using namespace localization;
    removeTranslator();

    QString tag = requested;
    if (tag.isEmpty())
        tag = AppSettings::instance()->settings()->value(QStringLiteral("language"), QString()).toString();
    if (tag == QLatin1String("system"))
        tag.clear();
    if (tag.isEmpty())
        tag = qEnvironmentVariable("ZRT_LANG");
    if (tag.isEmpty())
        tag = tagForLocale(QLocale::system(), availableLanguages(folder));
    if (tag.isEmpty() || tag == QLatin1String("en"))
        return QString();

    auto* translator = new StringsTranslator;
    if (!translator->load(tag, folder)) {
        delete translator;
        return QString();
    }
    QCoreApplication::installTranslator(translator);
    InstalledState& state = installed();
    state.translator = translator;
    if ((tag == QLatin1String("ar") || tag == QLatin1String("he")) && guiApp()) {
        state.previousDirection = QGuiApplication::layoutDirection();
        state.directionSwitched = true;
        QGuiApplication::setLayoutDirection(Qt::RightToLeft);
    }
    return tag;
}
