#pragma once
// The Help menu's windows: About (the version and what the program is built
// on, with each one's licence) and the list of keyboard shortcuts, read
// from the menus themselves so that it cannot fall behind them.

#include <wx/iconbndl.h>
#include <wx/menu.h>
#include <wx/window.h>

namespace quadrix {

// The program's icon at the sizes window managers ask for.
wxIconBundle AppIcons();

// Help > About Quadrix.
void ShowAbout(wxWindow* parent);

// Help > Keyboard Shortcuts: every menu item with a shortcut in `menus`,
// by menu, and the keys that no menu shows.
void ShowShortcuts(wxWindow* parent, const wxMenuBar& menus);

}  // namespace quadrix
