#include "ui/views/ExtensionMimeType.h"

#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStringList>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

std::u16string_view view(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size())};
}

// Looks up string views without building strings (QHash of QString hashes many times slower).
struct ViewHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view text) const { return std::hash<std::u16string_view>{}(text); }
};

bool hasWildcard(QStringView text) {
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?')) || text.contains(QLatin1Char('['));
}

// Every glob pattern of the database, lower-cased, so that "may match" is a superset of
// what the database matches with or without case: literal names, "*<literal>" suffixes as a
// table of all their tails (walked from the name's end, stopping at the first unknown tail),
// and the few patterns with inner wildcards as one regular expression.
class GlobPrefilter {
public:
    explicit GlobPrefilter(const QMimeDatabase& database) {
        QStringList wildcards;
        for (const QMimeType& type : database.allMimeTypes()) {
            for (const QString& pattern : type.globPatterns()) {
                const QString lower = pattern.toLower();
                if (!hasWildcard(lower)) {
                    m_literals.emplace(view(lower));
                } else if (lower.startsWith(QLatin1Char('*')) && !hasWildcard(QStringView(lower).mid(1))) {
                    addSuffix(lower.mid(1));
                } else {
                    wildcards << QRegularExpression::wildcardToRegularExpression(lower);
                }
            }
        }
        if (!wildcards.isEmpty()) {
            m_wildcards.setPattern(QStringLiteral("(?:") + wildcards.join(QStringLiteral(")|(?:")) +
                                   QLatin1Char(')'));
            m_wildcards.setPatternOptions(QRegularExpression::CaseInsensitiveOption);
            m_wildcards.optimize();
            m_hasWildcards = true;
        }
    }

    bool mayMatch(const QString& lowerName) const {
        const std::u16string_view name = view(lowerName);
        if (m_matchesAll || m_literals.find(name) != m_literals.end())
            return true;
        for (size_t k = 1; k <= name.size(); ++k) {
            const auto tail = m_tails.find(name.substr(name.size() - k));
            if (tail == m_tails.end())
                break;
            if (tail->second)
                return true;
        }
        return m_hasWildcards && m_wildcards.match(lowerName).hasMatch();
    }

private:
    void addSuffix(const QString& suffix) {
        const std::u16string_view text = view(suffix);
        if (text.empty())
            m_matchesAll = true;
        for (size_t k = 1; k <= text.size(); ++k) {
            bool& complete = m_tails[std::u16string(text.substr(text.size() - k))];
            complete = complete || k == text.size();
        }
    }

    std::unordered_set<std::u16string, ViewHash, std::equal_to<>> m_literals;
    // Every tail of every suffix; true where a whole suffix ends.
    std::unordered_map<std::u16string, bool, ViewHash, std::equal_to<>> m_tails;
    QRegularExpression m_wildcards;
    bool m_hasWildcards = false;
    bool m_matchesAll = false;
};

const QMimeDatabase& database() {
    static const QMimeDatabase instance;
    return instance;
}

}  // namespace

bool extensionMayHaveMimeType(const QString& extension) {
    static const GlobPrefilter prefilter(database());
    // A name with a path separator or a second dot is left to the database itself.
    if (extension.contains(QLatin1Char('/')) || extension.contains(QLatin1Char('.')))
        return true;
    return prefilter.mayMatch((QStringLiteral("x.") + extension).toLower());
}

QMimeType extensionMimeType(const QString& extension) {
    static const QMimeType fallback = database().mimeTypeForName(QStringLiteral("application/octet-stream"));
    if (fallback.isValid() && !extensionMayHaveMimeType(extension))
        return fallback;
    return database().mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
}
