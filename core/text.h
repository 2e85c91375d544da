// Text crossing the UTF-8 / UTF-16 boundary, and the access ID as users see and type it.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
// The system's UTF-8 converters: invalid sequences become U+FFFD; a conversion the system
// refuses gives an empty result.
std::wstring utf8ToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);
// UTF-8 of the text in Unicode normalisation form C (typed passwords compare equal however
// the keyboard composed them). Falls back to the text unchanged when the system cannot normalise it.
std::string normalizeUtf8(const std::wstring& text);
#endif

// UTF-8 to UTF-16 units without the system (text typed into the host is injected as UTF-16 on
// every build); each malformed or cut-off sequence becomes one U+FFFD, as the system converter does.
std::u16string utf8ToUtf16(const std::string& text);

// A number in decimal digits, as UTF-16 for texts of the interface.
std::u16string decimal(int64_t value);

#ifndef _WIN32
// The same decoding into a native wide string, whose wchar_t holds whole code points.
std::wstring portableUtf8ToWide(const std::string& text);
// And back: each code point as UTF-8; a value that is no code point becomes U+FFFD.
std::string portableWideToUtf8(const std::wstring& text);
#endif

// "123456789" -> L"123 456 789"; any other id is shown unchanged.
std::wstring formatAccessId(const std::string& id);
// The 9 digits of a typed access ID (blanks, tabs and '-' ignored), or "" when it is not one.
std::string parseAccessId(const std::wstring& text);
