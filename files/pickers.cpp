#include "files/pickers.h"

std::vector<std::wstring> parseOpenFileResult(std::wstring_view buffer) {
    std::vector<std::wstring> strings;
    size_t at = 0;
    while (at < buffer.size()) {
        const size_t end = buffer.find(L'\0', at);
        // A string that runs to the end without a terminator was cut: the list is not trusted further.
        if (end == std::wstring_view::npos || end == at) break;
        strings.emplace_back(buffer.substr(at, end - at));
        at = end + 1;
    }
    if (strings.size() <= 1) return strings;
    std::vector<std::wstring> paths;
    const std::wstring& folder = strings[0];
    // A drive root already ends in its separator.
    const std::wstring prefix = !folder.empty() && folder.back() == L'\\' ? folder : folder + L'\\';
    for (size_t i = 1; i < strings.size(); ++i) paths.push_back(prefix + strings[i]);
    return paths;
}
