// What the viewer makes of the host's description of itself (the DisplayInfo message): numbers read
// with their fallbacks, the host type, the remote picture's size, what a new description changes
// in the window and how large the window becomes for it. The description stays the Json the host
// sent: a missing member must stay distinguishable from an empty one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/config/settings.h"
#include "core/json.h"

// A Json number as an integer (truncated, clamped to 32 bits); `fallback` for anything else.
int32_t jsonInt32(const Json& value, int32_t fallback = 0);

// The id a host gave one of its windows, as it goes back on the wire; 0 for anything else.
uint32_t windowIdOf(const Json& id);

// Bytes of the host's own name that the viewer keeps: the name leads every chat line and goes
// into titles and the settings.
inline constexpr size_t kMaxHostNameBytes = 256;
// The "name" of a host's hello or description when it is text, cut between UTF-8 sequences to
// kMaxHostNameBytes; none when it is not text.
std::optional<std::string> hostNameIn(const Json& description);

// Whether the host's description lists the feature (exact bytes).
bool hostListsFeature(const Json& displayInfo, std::string_view name);

// Whether the host runs Windows: the description's "os" when it is a string; otherwise the
// session's system from its hello; a window that has no session counts its host as a Mac.
bool isWindowsHost(const Json& displayInfo, bool hasSession, const std::string& sessionHostOs);

// The remote picture's size in points: the shown window's, else the current display's, else the
// captured size. Unknown or unusable values give 16 x 10, so the picture is 16:10 until the host
// has told its size. True when the description gave both.
bool remoteSize(const Json& displayInfo, double& width, double& height);
// The picture size the window is sized for: remoteSize's when the description gave it, else
// 1280 x 800 points.
void sizingPicture(const Json& displayInfo, double& width, double& height);

// The status text while an apps-only host waits for a program to be chosen.
extern const char16_t* const kAppPickHint;

// What one DisplayInfo changes in the window, decided before anything is applied.
struct HostInfoStep {
    std::optional<std::string> titleName;  // the host's own name, when it sent one
    bool requestApps = false;              // ask for the program list (first description only)
    Json wake;                             // wake data to remember; null when there is none
    uint32_t shownWindowId = 0;            // the shown window's id, 0 for a whole display
    enum class Hint { Keep, Show, Clear };
    Hint hint = Hint::Keep;                // the pick-a-program hint over the picture
    bool resize = false;                   // size and centre the window for the picture
};
// `first`: no description came before. `appPickHint`: the hint is shown now.
HostInfoStep hostInfoStep(const Json& info, bool first, bool hasSession, uint32_t previousWindowId,
                          bool appPickHint, bool fullScreen);

// Wake entries kept per registered computer, and the longest texts an entry's fields need (a MAC
// address as "aa:bb:cc:dd:ee:ff", an IPv4 broadcast address).
inline constexpr size_t kMaxStoredWakeEntries = 16;
inline constexpr size_t kWakeMacTextMax = 17;
inline constexpr size_t kWakeAddressTextMax = 15;

// What of a host's "wake" array is worth keeping: the first kMaxStoredWakeEntries objects whose
// "mac" is text of at most kWakeMacTextMax bytes, each with only its "mac" and, when it is text
// of at most kWakeAddressTextMax bytes, its "bcast". An array (possibly empty) whatever came in.
Json boundedWakeData(const Json& wake);

// Stores the host's wake data in every registered computer with that key (exact bytes). A key
// that is still empty (a connection by password before its handshake taught the key) changes
// nothing. Returns how many entries changed: 0 when every one held this data already.
int storeWakeData(AppConfig& config, const std::string& key, const Json& wake);

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};
// The client size that shows a picture of width x height points at the window's DPI, at most at
// its own size and within 90 % of the monitor's work area in either direction.
PixelSize viewerClientSize(double width, double height, int workWidth, int workHeight, unsigned dpi);

struct PixelPoint {
    int x = 0;
    int y = 0;
    bool operator==(const PixelPoint&) const = default;
};
// Where a window of that size sits centred in the work area.
PixelPoint centredIn(int workLeft, int workTop, int workWidth, int workHeight, int windowWidth, int windowHeight);
