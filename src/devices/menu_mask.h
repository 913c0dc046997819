#pragma once

#include <array>
#include <cstdint>

namespace terval {

// The ten main-menu items that follow the link and the selection, in the bit order of a menu mask.
enum class MenuItem : int {
    NOptionNet = 0,
    NSaveParam = 1,
    NExit = 2,
    NParam = 3,
    NStatisticConnect = 4,
    NAddNewObject = 5,
    NDelObject = 6,
    NPosition = 7,
    NOPenWindow = 8,
    NConnecting = 9,
};
inline constexpr int kMenuItemCount = 10;

using MenuMask = uint16_t;

constexpr MenuMask menuBit(MenuItem item) {
    return static_cast<MenuMask>(1u << static_cast<int>(item));
}
constexpr bool menuEnabled(MenuMask mask, MenuItem item) {
    return (mask & menuBit(item)) != 0;
}

namespace menu_masks {
inline constexpr MenuMask kEmptyTable = 37;          // settings, exit, add
inline constexpr MenuMask kIdle = 679;               // link down, nothing selected
inline constexpr MenuMask kIdleSelected = 767;       // link down, a relay selected
inline constexpr MenuMask kLinkUpSilent = 532;       // link up, selected relay not answering
inline constexpr MenuMask kSelectedAnswering = 796;  // tile click on an answering relay
inline constexpr MenuMask kPollingAnswering = 788;   // scheduler tick, selected relay answering
inline constexpr MenuMask kSerialOpenedSelected = 528;
inline constexpr MenuMask kSerialOpened = 512;
inline constexpr MenuMask kTcpStartedSelected = 16;
inline constexpr MenuMask kTcpStarted = 0;
// While a connection is being made or waits to be made again: "Отключиться" cancels it.
inline constexpr MenuMask kLinkAwaited = 516;
inline constexpr MenuMask kLinkAwaitedSelected = 532;
}  // namespace menu_masks

}  // namespace terval
