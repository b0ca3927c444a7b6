#include "app/DirectionalText.h"

namespace {

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
                 d == QChar::DirAN || (context == Qt::RightToLeft && d == QChar::DirL);
    });
    return needed;
}

}  // namespace

QString isolateText(const QString& text, Qt::LayoutDirection context, QList<qsizetype>* positions) {
    if (positions)
        positions->clear();
    if (text.isEmpty() || !needsIsolate(text, context)) {
        for (qsizetype i = 0; positions && i < text.size(); ++i)
            positions->append(i);
        return text;
    }
    QString out;
    out.reserve(text.size() + 4);
    out += QChar(kFirstStrongIsolate);
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
