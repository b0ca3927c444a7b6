#include "app/DirectionalText.h"

namespace {

constexpr char16_t kLeftToRightIsolate = 0x2066;
constexpr char16_t kFirstStrongIsolate = 0x2068;
constexpr char16_t kPopDirectionalIsolate = 0x2069;

// Code points of the text in order, surrogate pairs joined.
template <typename Visit>
void forEachCodePoint(const QString& text, Visit visit) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            visit(QChar::surrogateToUcs4(c, text.at(i + 1)), QStringView(text).mid(i, 2));
            ++i;
        } else {
            visit(char32_t(c.unicode()), QStringView(text).mid(i, 1));
        }
    }
}

bool isParagraphBreak(char32_t c) {
    return QChar::direction(c) == QChar::DirB;
}

bool isDirectionControl(char32_t c) {
    switch (QChar::direction(c)) {
    case QChar::DirLRE:
    case QChar::DirRLE:
    case QChar::DirLRO:
    case QChar::DirRLO:
    case QChar::DirPDF:
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        // The marks U+200E, U+200F and U+061C are strong or Arabic letters by class.
        return c == 0x200E || c == 0x200F || c == 0x061C;
    }
}

bool needsIsolate(const QString& text, Qt::LayoutDirection context) {
    bool needed = false;
    forEachCodePoint(text, [&](char32_t c, QStringView) {
        const QChar::Direction d = QChar::direction(c);
        needed = needed || isDirectionControl(c) || isParagraphBreak(c) || d == QChar::DirR || d == QChar::DirAL ||
                 d == QChar::DirAN || (context == Qt::RightToLeft && (d == QChar::DirL || d == QChar::DirEN));
    });
    return needed;
}

QString unchanged(const QString& text, QList<qsizetype>* positions) {
    for (qsizetype i = 0; positions && i < text.size(); ++i)
        positions->append(i);
    return text;
}

// `text` after `opener`, without anything that could end the isolate early, and closed.
QString wrapIsolated(const QString& text, char16_t opener, QList<qsizetype>* positions) {
    QString out;
    out.reserve(text.size() + 4);
    out += QChar(opener);
    int open = 0;
    forEachCodePoint(text, [&](char32_t c, QStringView units) {
        if (positions)
            for (qsizetype i = 0; i < units.size(); ++i)
                positions->append(out.size() + i);
        const QChar::Direction d = QChar::direction(c);
        if (d == QChar::DirLRI || d == QChar::DirRLI || d == QChar::DirFSI) {
            ++open;
        } else if (d == QChar::DirPDI) {
            if (open == 0) {  // would close the wrapping isolate
                if (positions)
                    positions->back() = -1;
                return;
            }
            --open;
        } else if (isParagraphBreak(c)) {
            // A paragraph break ends every isolate; a line break keeps them.
            out += QChar(QChar::LineSeparator);
            return;
        }
        out += units;
    });
    for (; open > 0; --open)
        out += QChar(kPopDirectionalIsolate);
    out += QChar(kPopDirectionalIsolate);
    return out;
}

QString showingControls(const QString& text) {
    QString out;
    out.reserve(text.size());
    forEachCodePoint(text, [&](char32_t c, QStringView units) {
        if (!isDirectionControl(c)) {
            out += units;
            return;
        }
        // Isolated itself, so that the brackets neither mirror nor join the letters around.
        out += QChar(kLeftToRightIsolate);
        out += QStringLiteral("<U+%1>").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
        out += QChar(kPopDirectionalIsolate);
    });
    return out;
}

}  // namespace

QString isolateText(const QString& text, Qt::LayoutDirection context, QList<qsizetype>* positions) {
    if (positions)
        positions->clear();
    if (text.isEmpty() || !needsIsolate(text, context))
        return unchanged(text, positions);
    return wrapIsolated(text, kFirstStrongIsolate, positions);
}

QString isolateLeftToRight(const QString& text, Qt::LayoutDirection context) {
    if (text.isEmpty() || !needsIsolate(text, context))
        return text;
    return wrapIsolated(text, kLeftToRightIsolate, nullptr);
}

QString isolatePath(const QString& path, Qt::LayoutDirection context, QList<qsizetype>* positions) {
    if (positions)
        positions->clear();
    if (path.isEmpty() || !needsIsolate(path, context))
        return unchanged(path, positions);
    QString out;
    out.reserve(path.size() + 8);
    out += QChar(kLeftToRightIsolate);
    QList<qsizetype> namePositions;
    for (qsizetype from = 0;;) {
        qsizetype slash = path.indexOf(QLatin1Char('/'), from);
        if (slash < 0)
            slash = path.size();
        const QString name = isolateText(path.mid(from, slash - from), Qt::LeftToRight, &namePositions);
        for (qsizetype i = 0; positions && i < namePositions.size(); ++i)
            positions->append(namePositions[i] < 0 ? -1 : out.size() + namePositions[i]);
        out += name;
        if (slash == path.size())
            break;
        if (positions)
            positions->append(out.size());
        out += QLatin1Char('/');
        from = slash + 1;
    }
    out += QChar(kPopDirectionalIsolate);
    return out;
}

QString isolateShowingControls(const QString& name, Qt::LayoutDirection context) {
    return isolateText(showingControls(name), context);
}

QString isolatePathShowingControls(const QString& path, Qt::LayoutDirection context) {
    return isolatePath(showingControls(path), context);
}
