// xMenu: the icon menu's items. The main window's client area is one owner-drawn list that
// shows the rows of one level of this tree at a time; a row either opens the next level, goes
// back one level, flips one of the two automatic switches, or sends its command to the main
// window.
//
// Items are known by their index, in the order they were added; the index is also the value
// stored with an item's row in the list. An item's `parent` is the key of the level it belongs
// to: 0 for the top level, otherwise the index of the item that opens the level (item 0, "Exit",
// never opens one, so key 0 stands for the top level without conflict).
#pragma once

#include <array>
#include <memory>
#include <cstdint>
#include <string>
#include <string_view>

namespace desktop {

// What activating a row does, besides sending `command` to the main window.
inline constexpr std::uint32_t kOpenLevel = 0;            // open the level keyed by the item's index
inline constexpr std::uint32_t kBack = 999;               // show the level above the item's level
inline constexpr std::uint32_t kAutomaticBackup = 40094;  // flip the Automatic Backup switch
inline constexpr std::uint32_t kAutomaticExport = 40095;  // flip the Automatic Export switch

class xMenu {
public:
    static constexpr std::uint32_t MAX_MENU = 100;

    // An empty menu, then the twenty items of the program's menu tree.
    xMenu();
    ~xMenu() { Clear(); }
    xMenu(const xMenu&) = delete;
    xMenu& operator=(const xMenu&) = delete;

    // Adds an item and returns its index; a hundredth item ends the program ("MAX_MENU exeed!").
    std::uint32_t AddMenu(std::uint32_t parentKey, std::u16string_view itemTitle, std::u16string_view text1,
                          std::u16string_view text2, std::u16string_view text3, std::uint32_t iconIndex,
                          std::uint32_t itemCommand);
    // Releases every item.
    void Clear();

    // The first description line of a switch item tells the switch's state.
    void SetSwitchText(std::uint32_t item, bool on);

    std::uint32_t count = 0;
    std::array<std::uint32_t, MAX_MENU> parent{};
    std::array<std::u16string, MAX_MENU> title;
    std::array<std::u16string, MAX_MENU> line1;
    std::array<std::u16string, MAX_MENU> line2;
    std::array<std::u16string, MAX_MENU> line3;
    std::array<std::uint32_t, MAX_MENU> icon{};  // index into the menu pictures (0 to 9)
    std::array<std::uint32_t, MAX_MENU> command{};
};

// The program's menu: made at start-up, after BeginApp; gone before EndApp.
extern std::unique_ptr<xMenu> menu;

}  // namespace desktop
