// The chat window's bounds on what waits to be shown and what the conversation box keeps.
#include "host/chat.h"

#include <utility>

ChatBacklog::Added ChatBacklog::add(std::wstring line, bool fromPeer) {
    const size_t units = line.size() + 2;  // with its "\r\n"
    if (fromPeer && pendingUnits_ + units > kPendingUnits) {
        // The window cannot keep up: what would not fit is left out, and said so once.
        ++dropped_;
        return {};
    }
    pendingUnits_ += units;
    pending_.push_back(std::move(line));
    Added added;
    added.queued = true;
    added.wake = !wakeSent_;
    wakeSent_ = true;
    return added;
}

ChatBacklog::Flush ChatBacklog::take(const std::wstring& timePrefix) {
    Flush flush;
    std::vector<std::wstring> lines;
    lines.swap(pending_);
    if (dropped_ > 0)
        lines.push_back(timePrefix + L"받은 메시지가 너무 많아 " + std::to_wstring(dropped_) + L"개를 보여 주지 못했습니다");
    pendingUnits_ = 0;
    dropped_ = 0;
    wakeSent_ = false;
    size_t added = 0;
    for (const std::wstring& line : lines) added += line.size() + 2;
    flush.text.reserve(added);
    for (const std::wstring& line : lines) {
        flush.text += line;
        flush.text += L"\r\n";
        shown_.push_back(line.size() + 2);
    }
    // The oldest lines go first; a single line longer than the whole history stays until the next.
    while (shownUnits_ > 0 && shownUnits_ + added > kHistoryUnits) {
        flush.cut += shown_.front();
        shownUnits_ -= shown_.front();
        shown_.pop_front();
    }
    shownUnits_ += added;
    return flush;
}

bool ChatBacklog::mayBeep(int64_t nowNs) {
    if (beeped_ && nowNs - lastBeepNs_ < kBeepGapNs) return false;
    beeped_ = true;
    lastBeepNs_ = nowNs;
    return true;
}
