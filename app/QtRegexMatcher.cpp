#include "app/QtRegexMatcher.h"

#include <QStringView>

QtRegexMatcher::QtRegexMatcher(QRegularExpression expression) : m_expression(std::move(expression)) {}

QRegularExpressionMatch QtRegexMatcher::matchIn(const char16_t* text, size_t length) const {
    const QStringView view(text, qsizetype(length));
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return m_expression.matchView(view, 0, QRegularExpression::NormalMatch, QRegularExpression::NoMatchOption);
#else
    return m_expression.match(view, 0, QRegularExpression::NormalMatch, QRegularExpression::NoMatchOption);
#endif
}

bool QtRegexMatcher::matches(const char16_t* text, size_t length) const { return matchIn(text, length).hasMatch(); }

bool QtRegexMatcher::find(const char16_t* text, size_t length, int64_t& start, int64_t& end) const {
    const QRegularExpressionMatch match = matchIn(text, length);
    if (!match.hasMatch())
        return false;
    start = match.capturedStart(0);
    end = match.capturedEnd(0);
    return true;
}

svl::RegexFactory qtRegexFactory() {
    return [](const std::u16string& pattern) -> std::shared_ptr<svl::RegexMatcher> {
        QRegularExpression expression(
            QString::fromUtf16(pattern.data(), qsizetype(pattern.size())),
            QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
        if (!expression.isValid())
            return nullptr;
        expression.optimize();
        return std::make_shared<QtRegexMatcher>(std::move(expression));
    };
}
