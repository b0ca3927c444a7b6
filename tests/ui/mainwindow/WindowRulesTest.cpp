// The window's first size per screen, the default splitter division and the title.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/WindowRules.h"

#include <QLabel>

#include <functional>

TEST(WindowRules, FirstSizeForTheScreen) {
    EXPECT_EQ(initialWindowSize(QSize(1024, 768)), QSize(984, 678));
    EXPECT_EQ(initialWindowSize(QSize(3840, 2160)), QSize(1436, 730));
    EXPECT_EQ(initialWindowSize(QSize(700, 500)), QSize(800, 500));
    EXPECT_EQ(initialWindowSize(std::nullopt), QSize(1396, 730));
    EXPECT_EQ(defaultSplitSizes(1001, 65), std::make_pair(650, 351));
    EXPECT_EQ(defaultSplitSizes(500, 62), std::make_pair(310, 190));
}

TEST(WindowRules, ColumnsFitTheirPaneNamesLast) {
    struct Case {
        const char* what;
        std::vector<int> widths, minimums;
        int available;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"room to spare changes nothing", {200, 80, 140}, {150, 60, 140}, 500, {200, 80, 140}},
        {"the other columns give way in proportion to their room",
         {200, 80, 100, 140}, {150, 60, 60, 140}, 490, {200, 70, 80, 140}},
        {"rounding leaves no pixel too many", {200, 81, 81, 81, 140}, {150, 60, 60, 60, 140}, 581,
         {200, 80, 80, 81, 140}},
        {"then the names down to their minimum", {200, 80, 100, 140}, {150, 60, 60, 140}, 430,
         {170, 60, 60, 140}},
        {"too narrow for the minimums gives the minimums", {200, 80, 140}, {150, 60, 140}, 100, {150, 60, 140}},
        {"a minimum above the width never widens", {100, 50, 140}, {150, 60, 140}, 200, {100, 50, 140}},
    };
    for (const Case& c : cases) {
        const std::vector<int> fitted = fitColumnWidths(c.widths, c.minimums, c.available);
        EXPECT_EQ(fitted, c.expected) << c.what;
    }
}

TEST(WindowRules, TitleNamesTheSource) {
    TitleSource source;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere");
    source.selectedPath = "/";
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — /");
    source.selectedPath = "/home/me";
    source.selectedIsFolder = true;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <Folder> /home/me");
    source.roots = QStringList{"/a", "/b"};
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <Multiple> /a; /b");
    source.importedPath = "/x/scan.csv";
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <CSV file> /x/scan.csv");
    source.importedIsMft = true;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <MFT file> /x/scan.csv");
}

TEST(EmptyStatePage, ContentReplacesTheLastAndANullIconHidesItsRow) {
    EmptyStateWidget page;
    page.show();
    QPixmap icon(16, 16);
    icon.fill(Qt::red);
    page.setContent(icon, "First", {"one", "two", "three"});
    EXPECT_TRUE(page.iconLabel()->isVisible());
    page.setContent(QPixmap(), "Second", {"only"});
    EXPECT_FALSE(page.iconLabel()->isVisible());
    EXPECT_EQ(page.text(), "Second");
    EXPECT_EQ(page.hints(), QStringList{"only"});
    QStringList shown;
    for (const QLabel* label : page.findChildren<QLabel*>())
        if (label != page.iconLabel() && label->text() != "Second")
            shown << label->text();
    EXPECT_EQ(shown, QStringList{"only"});
}

TEST(WindowRules, ReturnKeyOpensOrScansOnlyWhenTaken) {
    ReturnKeyContext base;
    base.windowActive = true;
    base.key = Qt::Key_Return;
    base.watchedIsFocus = true;
    base.focusInWindow = true;
    base.scanButtonEnabled = true;
    struct Case {
        const char* what;
        std::function<void(ReturnKeyContext&)> change;
        ReturnKeyAction action;
    };
    const Case cases[] = {
        {"no selection presses Scan", [](ReturnKeyContext&) {}, ReturnKeyAction::Scan},
        {"selection in a results view opens it",
         [](ReturnKeyContext& c) { c.focusOnResults = c.hasSelection = true; }, ReturnKeyAction::Open},
        {"keypad Enter acts like Return",
         [](ReturnKeyContext& c) {
             c.key = Qt::Key_Enter;
             c.modifiers = Qt::KeypadModifier;
             c.focusOnResults = c.hasSelection = true;
         },
         ReturnKeyAction::Open},
        {"a running job never opens",
         [](ReturnKeyContext& c) { c.focusOnResults = c.hasSelection = c.jobRunning = true; c.scanButtonEnabled = false; },
         ReturnKeyAction::Swallow},
        {"selection but focus elsewhere presses Scan", [](ReturnKeyContext& c) { c.hasSelection = true; },
         ReturnKeyAction::Scan},
        {"auto-repeat passes", [](ReturnKeyContext& c) { c.autoRepeat = true; }, ReturnKeyAction::Pass},
        {"Ctrl+Return passes", [](ReturnKeyContext& c) { c.modifiers = Qt::ControlModifier; }, ReturnKeyAction::Pass},
        {"a line edit keeps its Return", [](ReturnKeyContext& c) { c.focusIsEditor = true; }, ReturnKeyAction::Pass},
        {"a modal dialog keeps its Return", [](ReturnKeyContext& c) { c.modalOpen = true; }, ReturnKeyAction::Pass},
        {"inactive window passes", [](ReturnKeyContext& c) { c.windowActive = false; }, ReturnKeyAction::Pass},
        {"another key passes", [](ReturnKeyContext& c) { c.key = Qt::Key_Space; }, ReturnKeyAction::Pass},
        {"event for another object passes", [](ReturnKeyContext& c) { c.watchedIsFocus = false; },
         ReturnKeyAction::Pass},
    };
    for (const Case& c : cases) {
        ReturnKeyContext context = base;
        c.change(context);
        EXPECT_EQ(returnKeyAction(context), c.action) << c.what;
    }

    // The keypad's /, *, + and - run their commands wherever no text is typed.
    ReturnKeyContext keypad = base;
    keypad.modifiers = Qt::KeypadModifier;
    const std::pair<int, KeypadCommand> keys[] = {{Qt::Key_Slash, KeypadCommand::SelectParent},
                                                  {Qt::Key_Asterisk, KeypadCommand::ReselectChild},
                                                  {Qt::Key_Plus, KeypadCommand::ZoomTreemap},
                                                  {Qt::Key_Minus, KeypadCommand::UnzoomTreemap},
                                                  {Qt::Key_Return, KeypadCommand::None}};
    for (const auto& [key, command] : keys) {
        keypad.key = key;
        EXPECT_EQ(keypadCommand(keypad), command) << key;
    }
    keypad.key = Qt::Key_Slash;
    keypad.focusIsEditor = true;  // a button or a plain combo box takes no text
    EXPECT_EQ(keypadCommand(keypad), KeypadCommand::SelectParent);
    for (const auto& change : std::vector<std::function<void(ReturnKeyContext&)>>{
             [](ReturnKeyContext& c) { c.focusTakesText = true; }, [](ReturnKeyContext& c) { c.modalOpen = true; },
             [](ReturnKeyContext& c) { c.modifiers = Qt::NoModifier; },
             [](ReturnKeyContext& c) { c.modifiers |= Qt::ControlModifier; }}) {
        ReturnKeyContext context = keypad;
        change(context);
        EXPECT_EQ(keypadCommand(context), KeypadCommand::None);
    }
}
