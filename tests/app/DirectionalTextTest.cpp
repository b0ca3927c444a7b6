// Names and paths go into the program's texts isolated: their direction controls cannot
// reorder the words around them, checked on Qt's own line layout.
#include "tests/app/ShellTestEnv.h"

#include "app/DirectionalText.h"
#include "tests/app/TextOrder.h"


namespace {

const QString kFsi(QChar(0x2068)), kPdi(QChar(0x2069)), kLrm(QChar(0x200E)), kLri(QChar(0x2066));
const char16_t kControls[] = {0x202E, 0x202B, 0x2066, 0x2067, 0x2068, 0x2069, 0x200F, 0x061C};

// A name that reads as "evil.jpg" when reversed, with each direction control in turn.
QList<QString> disguisedNames() {
    QList<QString> names;
    for (const char16_t control : {0x202E, 0x2066, 0x2067, 0x2068, 0x2069, 0x200E, 0x200F, 0x061C}) {
        const QString c(QChar{control});
        names << c + "evil" + QChar(0x200B) + "gpj.exe" << "dl" + c + "row" << "x" + c
              << QString(QChar(0x2069)) + c + "evil" << c + QString(QChar(0x202E)) + "evil";
    }
    return names;
}

}  // namespace

TEST(DirectionalText, NamesWithDirectionControlsLeaveTheWordsAroundThemInOrder) {
    const QString hebrew = QStringLiteral("להעביר את \"%1\" לאשפה?");
    for (const QString& name : disguisedNames()) {
        SCOPED_TRACE(QString::number(name.at(0).unicode(), 16).toStdString());
        const QString english = QStringLiteral("Move \"%1\" to the Trash?").arg(isolateText(name, Qt::LeftToRight));
        const QString label = QStringLiteral("%1 (12.0 KB)").arg(isolateText(name, Qt::LeftToRight));
        EXPECT_TRUE(textorder::wordsKeepTheirOrder(english, name, Qt::LeftToRight));
        EXPECT_TRUE(textorder::wordsKeepTheirOrder(hebrew.arg(isolateText(name, Qt::RightToLeft)), name, Qt::RightToLeft));
        EXPECT_TRUE(textorder::wordsKeepTheirOrder(label, name, Qt::LeftToRight));
    }
}

TEST(DirectionalText, IsolatesOnlyWhatCouldMoveTheTextAroundIt) {
    struct Case {
        QString text;
        Qt::LayoutDirection context;
        QString expected;
    };
    const QString arabic = QStringLiteral("مجلد");
    for (const Case& c : {
             Case{"/tmp/data", Qt::RightToLeft, kFsi + "/tmp/data" + kPdi},
             Case{"9 Dec 2026, 04:48", Qt::RightToLeft, kFsi + "9 Dec 2026, 04:48" + kPdi},
             Case{"/tmp/data", Qt::LeftToRight, "/tmp/data"},
             Case{"/tmp/" + arabic, Qt::LeftToRight, kFsi + "/tmp/" + arabic + kPdi},
             Case{"(85.2%)", Qt::LeftToRight, "(85.2%)"},
             Case{"9.12.2026, 11:35", Qt::RightToLeft, kFsi + "9.12.2026, 11:35" + kPdi},
             Case{"(-)", Qt::RightToLeft, "(-)"},  // no letters or digits: the same either way
             Case{"a" + kLrm, Qt::LeftToRight, kFsi + "a" + kLrm + kPdi},
             // Closers without an opener go, openers left open are closed, paragraphs become lines.
             Case{kPdi + "a" + QChar(0x2067) + "b", Qt::LeftToRight, kFsi + "a" + QChar(0x2067) + "b" + kPdi + kPdi},
             Case{"a\nb" + QString(QChar(0x202E)), Qt::LeftToRight,
                  kFsi + "a" + QChar(QChar::LineSeparator) + "b" + QChar(0x202E) + kPdi},
             Case{"", Qt::RightToLeft, ""},
         }) {
        EXPECT_EQ(isolateText(c.text, c.context), c.expected) << c.text.toStdString();
    }
}

// Each unit of a path keeps its place for the File View's match highlighting, whatever a
// name in it holds; the questions' marks read left to right even in a Hebrew name.
TEST(DirectionalText, PathsKeepTheirUnitsInPlaceAndMarksReadLeftToRight) {
    for (const char16_t control : kControls) {
        const QString path = "/data/top" + QString(QChar(control)) + QStringLiteral("תיקייה/bold.txt");
        QList<qsizetype> positions;
        const QString shown = isolatePath(path, Qt::RightToLeft, &positions);
        for (qsizetype i = 0; i < path.size(); ++i)
            EXPECT_EQ(positions[i] < 0 ? kPdi.at(0) : shown.at(positions[i]), path.at(i)) << i;
    }
    EXPECT_EQ(isolatePath("/tmp/data", Qt::LeftToRight), "/tmp/data");
    EXPECT_EQ(isolatePath("/tmp/data", Qt::RightToLeft), kLri + "/tmp/data" + kPdi);
    EXPECT_EQ(isolatePath(QStringLiteral("/a/ב/"), Qt::LeftToRight),
              kLri + "/a/" + kFsi + QStringLiteral("ב") + kPdi + "/" + kPdi);
    const QString shown = isolateShowingControls(QStringLiteral("שלום") + QChar(0x202E) + "abc", Qt::LeftToRight);
    EXPECT_TRUE(textorder::readsAsAlone(shown, QStringLiteral("<U+202E>"), Qt::LeftToRight));
    // Every direction control shows as its mark.
    for (const char16_t control : {0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069, 0x200E,
                                   0x200F, 0x061C}) {
        const QString mark = QStringLiteral("<U+%1>").arg(uint(control), 4, 16, QLatin1Char('0')).toUpper();
        EXPECT_EQ(isolateShowingControls("a" + QString(QChar(control)) + "b", Qt::LeftToRight),
                  kFsi + "a" + kLri + mark + kPdi + "b" + kPdi);
    }
}
