#include <gtest/gtest.h>

#include <vector>

#include "viewer/dialog.h"

namespace {

Field single() { return Field{}; }
Field multi() {
    Field f;
    f.multiLine = true;
    return f;
}
Field readOnly() {
    Field f;
    f.readOnly = true;
    return f;
}

TEST(DialogLayout, GoldenTable) {
    struct Case {
        int dpi;
        int introHeight;
        std::vector<Field> fields;
        int width, height;
        DialogRect intro;
        std::vector<DialogRect> labels, edits;
        DialogRect ok, cancel, extra;
    };
    const Case cases[] = {
        // Buttons only: M + s(46).
        {96, -1, {}, 460, 62, {}, {}, {}, {348, 20, 96, 30}, {244, 20, 96, 30}, {16, 20, 96, 30}},
        // 144 DPI: 690 wide, a single-line edit 39 high, a multi-line one 144.
        {144, 40, {single(), multi()}, 690, 418, {24, 24, 642, 49},
         {{24, 82, 642, 27}, {24, 163, 642, 27}}, {{24, 112, 642, 39}, {24, 193, 642, 144}},
         {522, 355, 144, 45}, {366, 355, 144, 45}, {24, 355, 144, 45}},
        // 120 DPI: halves round up as MulDiv does (57.5 -> 58); a short intro takes the minimum block.
        {120, 0, {single()}, 575, 184, {20, 20, 535, 30}, {{20, 58, 535, 23}}, {{20, 83, 535, 33}},
         {435, 131, 120, 38}, {305, 131, 120, 38}, {20, 131, 120, 38}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dpi);
        const DialogLayout l = dialogLayout(c.dpi, c.introHeight, c.fields);
        EXPECT_EQ(l.clientWidth, c.width);
        EXPECT_EQ(l.clientHeight, c.height);
        EXPECT_EQ(l.hasIntro, c.introHeight >= 0);
        if (c.introHeight >= 0) {
            EXPECT_EQ(l.intro, c.intro);
        }
        EXPECT_EQ(l.labels, c.labels);
        EXPECT_EQ(l.edits, c.edits);
        EXPECT_EQ(l.ok, c.ok);
        EXPECT_EQ(l.cancel, c.cancel);
        EXPECT_EQ(l.extra, c.extra);
    }
}

TEST(DialogLayout, TallIntroPushesTheFieldsDown) {
    const DialogLayout l = dialogLayout(96, 100, {single()});
    EXPECT_EQ(l.intro, (DialogRect{16, 16, 428, 106}));
    EXPECT_EQ(l.labels[0].y, 16 + 112);
    EXPECT_EQ(l.clientHeight, 16 + 112 + 20 + 26 + 8 + 46);
    EXPECT_EQ(introTextWidth(96), 428);
    EXPECT_EQ(introTextWidth(144), 642);
}

TEST(DialogFocus, FirstEditableField) {
    EXPECT_EQ(firstFocusField({}), -1);
    EXPECT_EQ(firstFocusField({readOnly(), readOnly()}), -1);
    EXPECT_EQ(firstFocusField({readOnly(), multi(), single()}), 1);
    EXPECT_EQ(firstFocusField({single(), readOnly()}), 0);
}

TEST(DialogKeys, EscCancelsEnterAcceptsExceptInMultiLineEdits) {
    struct Case { unsigned vk; bool inDialog, multiLine; DialogKey action; };
    const Case cases[] = {
        {0x1B, true, false, DialogKey::Cancel}, {0x1B, true, true, DialogKey::Cancel},
        {0x0D, true, false, DialogKey::Accept}, {0x0D, true, true, DialogKey::Pass},
        // Keys of the thread's other windows (a viewer, the tray) are theirs.
        {0x1B, false, false, DialogKey::Pass},  {0x0D, false, false, DialogKey::Pass},
        {0x09, true, false, DialogKey::Pass},   {'A', true, false, DialogKey::Pass},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dialogKeyAction(c.vk, c.inDialog, c.multiLine), c.action) << c.vk << c.inDialog << c.multiLine;
}

TEST(DialogScale, RoundsLikeMulDiv) {
    struct Case { int value, dpi, scaled; };
    const Case cases[] = {{460, 96, 460}, {460, 144, 690}, {46, 120, 58}, {26, 120, 33}, {6, 120, 8},
                          {1, 144, 2}, {0, 192, 0}, {-46, 120, -58}, {96, 72, 72}};
    for (const Case& c : cases) EXPECT_EQ(scaleForDpi(c.value, c.dpi), c.scaled) << c.value << "@" << c.dpi;
}

}  // namespace
