// The Qt side of the core's regular-expression interface: QtRegexMatcher wraps one
// compiled, optimised QRegularExpression (case-insensitive, Unicode properties), and
// qtRegexFactory hands the core a factory that makes them.
// Threads: a matcher is immutable after construction; matches and find are called from
// many threads at once and keep their match results on the stack.
#pragma once

#include <QRegularExpression>

#include "core/analysis/RegexMatcher.h"

class QtRegexMatcher final : public svl::RegexMatcher {
public:
    explicit QtRegexMatcher(QRegularExpression expression);

    bool matches(const char16_t* text, size_t length) const override;
    bool find(const char16_t* text, size_t length, int64_t& start, int64_t& end) const override;
    bool offersFind() const override { return true; }

private:
    QRegularExpressionMatch matchIn(const char16_t* text, size_t length) const;

    QRegularExpression m_expression;
};

// The factory passed to svl::decodeFilterText: null for an invalid pattern.
svl::RegexFactory qtRegexFactory();
