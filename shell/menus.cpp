#include "shell/menus.hpp"

#include <wx/string.h>

namespace quadrix {

wxMenuBar* MakeMenuBar(const ResultParts& parts, MenuItems& items) {
  auto* fileMenu = new wxMenu;
  fileMenu->Append(ID_OPEN, wxString::FromUTF8("Open…\tCtrl+O"), "");
  items.recent = new wxMenu;
  fileMenu->AppendSubMenu(items.recent, "Open Recent");
  fileMenu->Append(ID_SAVE_PICTURE, wxString::FromUTF8("Save Picture…\tCtrl+S"), "");
  fileMenu->Append(ID_LOAD_IMPORTANCE, wxString::FromUTF8("Load Importance…\tCtrl+Shift+O"), "");
  fileMenu->Append(ID_SAVE_IMPORTANCE, wxString::FromUTF8("Save Importance…\tCtrl+Shift+S"), "");
  fileMenu->AppendSeparator();
  fileMenu->Append(ID_EXIT, "Exit\tCtrl+Q", "", wxITEM_NORMAL);
  auto* viewMenu = new wxMenu;
  items.grid = viewMenu->Append(ID_SHOW_GRID, "Show Grid\tCtrl+G", "", wxITEM_CHECK);
  viewMenu->Append(ID_COLOR_IMAGE, "Color Image\tCtrl+1", "", wxITEM_RADIO);
  viewMenu->Append(ID_SALIENCY_IMAGE, "Saliency Image\tCtrl+2", "", wxITEM_RADIO);
  viewMenu->AppendSeparator();
  viewMenu->Append(ID_SET_SIZE, wxString::FromUTF8("Set Size…\tCtrl+E"), "");
  viewMenu->Append(ID_FIT, "Fit\tCtrl+0", "");
  viewMenu->Append(ID_ACTUAL_SIZE, "Actual Size\tCtrl+Shift+0", "");
  viewMenu->Append(ID_ZOOM_IN, "Zoom In\tCtrl++", "");
  viewMenu->Append(ID_ZOOM_OUT, "Zoom Out\tCtrl+-", "");
  auto* funMenu = new wxMenu;
  funMenu->Append(ID_UNIFORM, "Uniform\tCtrl+U", "", wxITEM_RADIO);
  funMenu->Append(ID_RESIZING, "Resizing\tCtrl+R", "", wxITEM_RADIO)->Check(true);
  auto* menuBar = new wxMenuBar;
  menuBar->Append(fileMenu, "File");
  menuBar->Append(viewMenu, "View");
  menuBar->Append(funMenu, "Fun");
  auto* paintMenu = new wxMenu;
  items.brushes[0] = paintMenu->AppendCheckItem(ID_PROTECT, "Protect\tP");
  items.brushes[1] = paintMenu->AppendCheckItem(ID_ABSORB, "Absorb\tA");
  items.brushes[2] = paintMenu->AppendCheckItem(ID_RESTORE, "Restore\tR");
  paintMenu->AppendSeparator();
  paintMenu->Append(ID_BIGGER_BRUSH, "Bigger Brush\t]");
  paintMenu->Append(ID_SMALLER_BRUSH, "Smaller Brush\t[");
  paintMenu->AppendSeparator();
  paintMenu->Append(ID_UNDO_STROKE, "Undo Stroke\tCtrl+Z");
  paintMenu->Append(ID_REDO_STROKE, "Redo Stroke\tCtrl+Shift+Z");
  menuBar->Append(paintMenu, "Paint");
  auto* resultMenu = new wxMenu;
  resultMenu->AppendCheckItem(ID_PART_SHARP, "Sharp Drawing")->Check(parts.sharp);
  resultMenu->AppendCheckItem(ID_PART_STRAIGHT, "Straight Lines")->Check(parts.straight);
  resultMenu->AppendCheckItem(ID_PART_EVEN, "Even Scaling")->Check(parts.even);
  resultMenu->AppendCheckItem(ID_PART_FACES, "Faces")->Check(parts.faces);
  resultMenu->AppendCheckItem(ID_PART_SHAPES, "Round Shapes")->Check(parts.shapes);
  resultMenu->AppendSeparator();
  // A big photo is analysed and solved on a working copy unless this is on.
  items.fullSize = resultMenu->AppendCheckItem(ID_FULL_SIZE_SOLVE, "Solve at Full Size");
  menuBar->Append(resultMenu, "Result");
  auto* helpMenu = new wxMenu;
  helpMenu->Append(ID_SHORTCUTS, "Keyboard Shortcuts\tF1", "");
  helpMenu->Append(ID_ABOUT, "About Quadrix", "");
  menuBar->Append(helpMenu, "Help");
  return menuBar;
}

int KeyCommand(const wxKeyEvent& event, bool& zoom) {
  const int key = event.GetKeyCode();
  zoom = false;
  // The Paint menu's keys have no modifier, which the toolkit's menus do not
  // take as accelerators.
  if (!event.HasAnyModifiers() || event.GetModifiers() == wxMOD_SHIFT) {
    switch (key) {
      case 'P':
        return ID_PROTECT;
      case 'A':
        return ID_ABSORB;
      case 'R':
        return ID_RESTORE;
      case ']':
        return ID_BIGGER_BRUSH;
      case '[':
        return ID_SMALLER_BRUSH;
      default:
        break;
    }
  }
  // The zoom keys as typed on any keyboard layout (with or without Shift,
  // on the keypad or not), which the menu's accelerators alone do not catch.
  if (event.ControlDown() && !event.AltDown()) {
    zoom = true;
    if (key == '+' || key == '=' || key == WXK_NUMPAD_ADD) return ID_ZOOM_IN;
    if (key == '-' || key == '_' || key == WXK_NUMPAD_SUBTRACT) return ID_ZOOM_OUT;
    if ((key == '0' || key == ')' || key == WXK_NUMPAD0) && event.ShiftDown())
      return ID_ACTUAL_SIZE;
  }
  zoom = false;
  return 0;
}

}  // namespace quadrix
