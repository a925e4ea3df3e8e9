#pragma once
// The frame's menus: the ids of their commands, and the menu bar with every
// label and shortcut.

#include <wx/event.h>
#include <wx/menu.h>

#include <array>

#include "core/result_parts.hpp"

namespace quadrix {

enum MenuId {
  ID_EXIT = 6000,
  ID_SHOW_GRID = 6001,
  ID_COLOR_IMAGE = 6002,
  ID_SALIENCY_IMAGE = 6003,
  ID_UNIFORM = 6004,
  ID_RESIZING = 6005,
  ID_OPEN = 6006,
  ID_SAVE_PICTURE = 6007,
  ID_SET_SIZE = 6008,
  ID_FIT = 6009,
  ID_ACTUAL_SIZE = 6010,
  ID_ZOOM_IN = 6011,
  ID_ZOOM_OUT = 6012,
  ID_LOAD_IMPORTANCE = 6013,
  ID_SAVE_IMPORTANCE = 6014,
  ID_PROTECT = 6015,
  ID_ABSORB = 6016,
  ID_RESTORE = 6017,
  ID_BIGGER_BRUSH = 6018,
  ID_SMALLER_BRUSH = 6019,
  ID_UNDO_STROKE = 6020,
  ID_REDO_STROKE = 6021,
  ID_PART_SHARP = 6022,
  ID_PART_STRAIGHT = 6023,
  ID_PART_EVEN = 6024,
  ID_PART_FACES = 6025,
  ID_PART_SHAPES = 6026,
  ID_FULL_SIZE_SOLVE = 6027,
  ID_SHORTCUTS = 6028,
  ID_ABOUT = 6029,
};

// The items whose check marks the program reads or sets.
struct MenuItems {
  wxMenuItem* grid = nullptr;
  std::array<wxMenuItem*, 3> brushes{};  // Protect, Absorb, Restore
  wxMenuItem* fullSize = nullptr;        // Result > Solve at Full Size
  wxMenu* recent = nullptr;              // File > Open Recent, filled by wxFileHistory
};

// The menu bar, the Result items checked as `parts` says. Made with `new`:
// the frame owns it once it is set.
wxMenuBar* MakeMenuBar(const ResultParts& parts, MenuItems& items);

// The command of a Paint or zoom key that the menus' accelerators do not
// catch (keys without modifier, zoom keys on any layout); 0 for none.
// `zoom`: the command is a zoom one.
int KeyCommand(const wxKeyEvent& event, bool& zoom);

}  // namespace quadrix
