#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/desktop.h"

namespace {

TEST(Desktop, SecureDesktopHasTheKeyboard) {
    struct Case {
        std::optional<bool> sessionLocked;
        std::optional<std::wstring> desktop;
        bool locked;
    };
    const Case cases[] = {
        {true, L"Default", true},       // the session says so
        {false, L"Default", false},
        {false, L"default", false},
        {std::nullopt, L"DEFAULT", false},  // the query failed: the desktop decides
        {false, L"Winlogon", true},     // lock screen or sign-in
        {false, L"Screen-saver", true},
        {false, std::nullopt, true},    // cannot be opened or read
        {std::nullopt, std::nullopt, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(desktopLockedFrom(c.sessionLocked, c.desktop), c.locked)
            << c.sessionLocked.value_or(false) << " " << std::string(c.desktop.value_or(L"-").begin(), c.desktop.value_or(L"-").end());
}

TEST(Desktop, CaretBandAroundTheCaret) {
    EXPECT_EQ(caretBandAt(100, 200, 16), (ScreenRect{40, 194, 340, 222}));
}

TEST(Desktop, CaretFromTheFocusedElement) {
    const ScreenRect band{1, 2, 301, 30};
    const ScreenRect field{10, 20, 410, 50};
    const ScreenRect tall{10, 20, 810, 620};
    struct Case {
        const char* name;
        FocusedElement element;
        bool haveBand;
        std::optional<ScreenRect> expected;
        bool askedBand;
    };
    const Case cases[] = {
        {"edit", {FocusedElement::kEdit, false, std::nullopt, field}, true, field, false},
        {"combo box", {FocusedElement::kComboBox, true, std::nullopt, field}, true, field, false},
        {"button", {50000, true, std::nullopt, field}, true, std::nullopt, false},
        {"document", {FocusedElement::kDocument, true, std::nullopt, field}, true, field, false},
        {"document, writable", {FocusedElement::kDocument, true, false, field}, true, field, false},
        {"document, read-only", {FocusedElement::kDocument, true, true, field}, true, std::nullopt, false},
        {"document, not focusable", {FocusedElement::kDocument, false, std::nullopt, field}, true, std::nullopt, false},
        {"no rectangle", {FocusedElement::kEdit, true, std::nullopt, std::nullopt}, true, band, true},
        {"empty rectangle", {FocusedElement::kEdit, true, std::nullopt, ScreenRect{10, 20, 10, 50}}, true, band, true},
        {"no rectangle, no caret", {FocusedElement::kEdit, true, std::nullopt, std::nullopt}, false, std::nullopt, true},
        {"tall: the caret", {FocusedElement::kDocument, true, std::nullopt, tall}, true, band, true},
        {"tall, no caret: the top 160", {FocusedElement::kDocument, true, std::nullopt, tall}, false,
         ScreenRect{10, 20, 810, 180}, true},
        {"160 high", {FocusedElement::kEdit, true, std::nullopt, ScreenRect{0, 0, 100, 160}}, true,
         ScreenRect{0, 0, 100, 160}, false},
    };
    for (const Case& c : cases) {
        bool asked = false;
        const auto fallback = [&]() -> std::optional<ScreenRect> {
            asked = true;
            return c.haveBand ? std::optional<ScreenRect>(band) : std::nullopt;
        };
        EXPECT_EQ(caretFromElement(c.element, fallback), c.expected) << c.name;
        EXPECT_EQ(asked, c.askedBand) << c.name;
    }
}

}  // namespace
