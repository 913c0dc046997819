#include "param/setpoint_editor.h"

#include <gtest/gtest.h>
#include <QList>
#include <QStringList>

namespace terval {
namespace {

constexpr int kEnter = SetpointEditor::kEnter;
constexpr int kEscape = SetpointEditor::kEscape;
constexpr int kBackspace = SetpointEditor::kBackspace;

// Types `keys` into `panel` after a click on it; returns the texts after each key.
struct Typed {
    QStringList texts;
    std::optional<SetpointWrite> write;
    bool stillEditing = false;
};
Typed type(const QString& panel, const QString& shown, const QList<int>& keys) {
    SetpointEditor editor;
    EXPECT_TRUE(editor.begin(panel, shown));
    EXPECT_EQ(editor.text(), QString());
    Typed out;
    for (int key : keys) {
        const EditorKeyResult r = editor.key(key);
        out.texts << r.text;
        if (r.write) {
            out.write = r.write;
        }
    }
    out.stillEditing = editor.SetpointEditActive();
    return out;
}

QList<int> digits(const char* s) {
    QList<int> keys;
    for (; *s; ++s) {
        keys << *s;
    }
    return keys;
}

TEST(SetpointEditor, DigitThatWouldPassTheMaximumIsRefused) {
    Typed t = type(QStringLiteral("PanUst0"), QStringLiteral("2"), digits("300") << kEnter);
    EXPECT_EQ(t.texts, (QStringList{"3", "30", "30", "30"}));
    EXPECT_EQ(t.write, (SetpointWrite{1024, 30}));
    EXPECT_FALSE(t.stillEditing);

    t = type(QStringLiteral("PanUst8"), QStringLiteral("500"), digits("99999"));
    EXPECT_EQ(t.texts.last(), QStringLiteral("9999"));
    EXPECT_TRUE(t.stillEditing);
    EXPECT_FALSE(t.write);

    t = type(QStringLiteral("PanUst9"), QString(), digits("65535") << kEnter);
    EXPECT_EQ(t.texts[4], QStringLiteral("65535"));
    EXPECT_EQ(t.write, (SetpointWrite{1033, 65535}));

    t = type(QStringLiteral("PanUst9"), QString(), digits("65536"));
    EXPECT_EQ(t.texts.last(), QStringLiteral("6553"));

    t = type(QStringLiteral("PanUst40"), QString(), digits("10001"));
    EXPECT_EQ(t.texts.last(), QStringLiteral("1000"));
}

TEST(SetpointEditor, EnterClampsAndWritesThePlainNumber) {
    // The empty text counts as 0, so Enter at once writes the minimum.
    Typed t = type(QStringLiteral("PanUst0"), QStringLiteral("5"), {kEnter});
    EXPECT_EQ(t.write, (SetpointWrite{1024, 1}));
    EXPECT_EQ(t.texts, QStringList{"1"});
    t = type(QStringLiteral("PanUst12"), QStringLiteral("5"), {kEnter});
    EXPECT_EQ(t.write, (SetpointWrite{1036, 0}));
    EXPECT_EQ(t.texts, QStringList{"0"});
    t = type(QStringLiteral("PanUst0"), QStringLiteral("5"), digits("0") << kEnter);
    EXPECT_EQ(t.write, (SetpointWrite{1024, 1}));

    // Leading zeros stay while typing and go with Enter.
    t = type(QStringLiteral("PanUst10"), QString(), digits("007") << kEnter);
    EXPECT_EQ(t.texts, (QStringList{"0", "00", "007", "7"}));
    EXPECT_EQ(t.write, (SetpointWrite{1034, 7}));

    t = type(QStringLiteral("PanUst127"), QString(), digits("65535") << kEnter);
    EXPECT_EQ(t.write, (SetpointWrite{1151, 65535}));
    t = type(QStringLiteral("PanPar32"), QString(), digits("17") << kEnter);
    EXPECT_EQ(t.write, (SetpointWrite{1056, 17}));
    t = type(QStringLiteral("PanPar34"), QString(), digits("0") << kEnter);
    EXPECT_EQ(t.write, (SetpointWrite{1058, 0}));
}

TEST(SetpointEditor, BackspacePointAndOtherCharacters) {
    Typed t = type(QStringLiteral("PanUst13"), QStringLiteral("12"),
                   {kBackspace, '4', '.', '5', 'a', ' ', '-', kBackspace, kBackspace, kBackspace});
    EXPECT_EQ(t.texts, (QStringList{"", "4", "4", "45", "45", "45", "45", "4", "", ""}));
    EXPECT_TRUE(t.stillEditing);
    EXPECT_FALSE(t.write);
}

TEST(SetpointEditor, EscapeGivesTheTextBackAndWritesNothing) {
    Typed t = type(QStringLiteral("PanUst11"), QStringLiteral("150"), digits("9") << kEscape);
    EXPECT_EQ(t.texts, (QStringList{"9", "150"}));
    EXPECT_FALSE(t.write);
    EXPECT_FALSE(t.stillEditing);
}

TEST(SetpointEditor, EditState) {
    SetpointEditor editor;
    EXPECT_FALSE(editor.begin(QStringLiteral("PanPar27"), QStringLiteral("1")));
    EXPECT_FALSE(editor.begin(QStringLiteral("PanUst4"), QStringLiteral("1")));
    EXPECT_FALSE(editor.SetpointEditActive());
    // Keys outside edit mode do nothing.
    EXPECT_FALSE(editor.key(kEnter).write);

    ASSERT_TRUE(editor.begin(QStringLiteral("PanUst8"), QStringLiteral("500")));
    EXPECT_TRUE(editor.isEditing(QStringLiteral("PanUst8")));
    EXPECT_FALSE(editor.isEditing(QStringLiteral("PanUst9")));
    EXPECT_EQ(editor.EditedPanelName(), QStringLiteral("PanUst8"));
    EXPECT_EQ(editor.EditSavedText(), QStringLiteral("500"));
    editor.key('4');
    // A late focus-out notice of another panel does not end this edit; its own does, with the
    // typed text left as it is.
    editor.leave(QStringLiteral("PanUst9"));
    EXPECT_TRUE(editor.SetpointEditActive());
    editor.leave(QStringLiteral("PanUst8"));
    EXPECT_FALSE(editor.SetpointEditActive());
    EXPECT_EQ(editor.text(), QStringLiteral("4"));
}

}  // namespace
}  // namespace terval
