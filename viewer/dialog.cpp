#include "viewer/dialog.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kWidth = 460;
constexpr int kMargin = 16;
constexpr int kLabelGap = 20;     // label row above each edit
constexpr int kLabelHeight = 18;
constexpr int kFieldGap = 8;      // below each edit
constexpr int kEditHeight = 26;
constexpr int kMultiLineHeight = 96;
constexpr int kButtonRow = 46;    // below the last field
constexpr int kButtonTop = 4;
constexpr int kButtonWidth = 96;
constexpr int kButtonHeight = 30;
constexpr int kButtonGap = 8;
constexpr int kIntroPad = 12;
constexpr int kIntroMinimum = 30;
constexpr int kIntroBelow = 6;

constexpr unsigned kEscape = 0x1B;
constexpr unsigned kReturn = 0x0D;

}  // namespace

int scaleForDpi(int value, int dpi) {
    // MulDiv(value, dpi, 96): the exact product, rounded half away from zero.
    const int64_t product = int64_t(value) * dpi;
    const int64_t half = 48;
    return int(product >= 0 ? (product + half) / 96 : (product - half) / 96);
}

int introTextWidth(int dpi) { return scaleForDpi(kWidth, dpi) - 2 * scaleForDpi(kMargin, dpi); }

DialogLayout dialogLayout(int dpi, int introTextHeight, const std::vector<Field>& fields) {
    const auto s = [dpi](int v) { return scaleForDpi(v, dpi); };
    DialogLayout out;
    const int w = s(kWidth), m = s(kMargin);
    out.clientWidth = w;
    int y = m;
    if (introTextHeight >= 0) {
        const int block = std::max(introTextHeight + s(kIntroPad), s(kIntroMinimum));
        out.hasIntro = true;
        out.intro = {m, m, w - 2 * m, block - s(kIntroBelow)};
        y += block;
    }
    for (const Field& f : fields) {
        const int e = s(f.multiLine ? kMultiLineHeight : kEditHeight);
        out.labels.push_back({m, y, w - 2 * m, s(kLabelHeight)});
        out.edits.push_back({m, y + s(kLabelGap), w - 2 * m, e});
        y += s(kLabelGap) + e + s(kFieldGap);
    }
    out.clientHeight = y + s(kButtonRow);
    const int buttonTop = y + s(kButtonTop);
    const int bw = s(kButtonWidth), bh = s(kButtonHeight);
    out.ok = {w - m - bw, buttonTop, bw, bh};
    out.cancel = {w - m - 2 * bw - s(kButtonGap), buttonTop, bw, bh};
    out.extra = {m, buttonTop, bw, bh};
    return out;
}

int firstFocusField(const std::vector<Field>& fields) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (!fields[i].readOnly) return int(i);
    return -1;
}

DialogKey dialogKeyAction(unsigned virtualKey, bool targetInDialog, bool targetMultiLine) {
    if (!targetInDialog) return DialogKey::Pass;
    if (virtualKey == kEscape) return DialogKey::Cancel;
    if (virtualKey == kReturn && !targetMultiLine) return DialogKey::Accept;
    return DialogKey::Pass;
}
