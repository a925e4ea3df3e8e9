#include "shell/help_dialogs.hpp"

#include <wx/aboutdlg.h>
#include <wx/bmpbndl.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/utils.h>
#include <zlib.h>

#include <Eigen/Core>
#include <boost/version.hpp>
#include <opencv2/core/utility.hpp>
#include <string>
#include <utility>
#include <vector>

#include "cholmod.h"
#include "shell/app_icon.hpp"
// GTK last: its headers must not precede the toolkit's.
#include <gtk/gtk.h>

namespace quadrix {

namespace {

std::string Dotted(int a, int b, int c) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

// What the program is built on, with the version it was built with where
// the headers say it, and the licence.
wxString BuiltOn() {
  std::string boost = BOOST_LIB_VERSION;
  for (char& c : boost)
    if (c == '_') c = '.';
  const std::vector<std::pair<std::string, std::string>> parts = {
      {"OpenCV " + cv::getVersionString(), "Apache License 2.0"},
      {"Eigen " + Dotted(EIGEN_WORLD_VERSION, EIGEN_MAJOR_VERSION, EIGEN_MINOR_VERSION),
       "Mozilla Public License 2.0"},
      {"SuiteSparse CHOLMOD " +
           Dotted(CHOLMOD_MAIN_VERSION, CHOLMOD_SUB_VERSION, CHOLMOD_SUBSUB_VERSION),
       "GNU LGPL 2.1 or later"},
      {std::string(wxString(wxVERSION_NUM_DOT_STRING).utf8_str()).insert(0, "wxWidgets "),
       "wxWindows Library Licence 3.1"},
      {"GTK " + Dotted(static_cast<int>(gtk_get_major_version()),
                       static_cast<int>(gtk_get_minor_version()),
                       static_cast<int>(gtk_get_micro_version())),
       "GNU LGPL 2.1 or later"},
      {"Boost " + boost, "Boost Software License 1.0"},
      {"libepoxy", "MIT License"},
      {"Exiv2", "GNU GPL 2 or later"},
      {"libjpeg-turbo", "IJG and BSD licences"},
      {"libpng", "libpng License"},
      {"libtiff", "libtiff License"},
      {"libwebp", "BSD 3-Clause License"},
      {std::string("zlib ") + ZLIB_VERSION, "zlib License"},
      {"GNU Octave (the outside engine, run as its own program)", "GNU GPL 3 or later"},
  };
  std::string text = "Built on:\n";
  for (const auto& [name, licence] : parts) text += "  " + name + " (" + licence + ")\n";
  return wxString::FromUTF8(text);
}

struct Shortcut {
  wxString keys;
  wxString what;
};

// The items of `menu` (and of its submenus) that have a shortcut.
void CollectShortcuts(const wxMenu& menu, std::vector<Shortcut>& out) {
  for (const wxMenuItem* item : menu.GetMenuItems()) {
    if (item->IsSubMenu()) {
      CollectShortcuts(*item->GetSubMenu(), out);
      continue;
    }
    const wxString label = item->GetItemLabel();
    const int tab = label.Find('\t');
    if (tab == wxNOT_FOUND) continue;
    wxString what = wxMenuItem::GetLabelText(label.Left(tab));
    what.Replace(wxString::FromUTF8("…"), "");
    out.push_back({label.Mid(tab + 1), what});
  }
}

}  // namespace

wxIconBundle AppIcons() {
  wxIconBundle icons;
  for (const int side : {16, 32, 48, 128}) {
    const wxBitmap bitmap =
        wxBitmapBundle::FromSVG(kAppIconSvg, wxSize(side, side)).GetBitmap(wxSize(side, side));
    wxIcon icon;
    icon.CopyFromBitmap(bitmap);
    if (icon.IsOk()) icons.AddIcon(icon);
  }
  return icons;
}

void ShowAbout(wxWindow* parent) {
  wxAboutDialogInfo info;
  info.SetIcon(AppIcons().GetIcon(wxSize(128, 128)));
  info.SetName("Quadrix");
  info.SetVersion(QUADRIX_VERSION);
  info.SetDescription(wxString::FromUTF8(
      "Content-aware resizing: drag the window's border and the photo follows it, "
      "warped so that what matters keeps its shape and straight lines stay straight."));
  info.SetLicence(BuiltOn());
  wxAboutBox(info, parent);
}

void ShowShortcuts(wxWindow* parent, const wxMenuBar& menus) {
  wxDialog dialog(parent, wxID_ANY, "Keyboard Shortcuts", wxDefaultPosition, wxDefaultSize,
                  wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
  auto* scroll = new wxScrolledWindow(&dialog);
  auto* grid = new wxFlexGridSizer(2, wxSize(24, 4));
  auto heading = [&](const wxString& text) {
    auto* label = new wxStaticText(scroll, wxID_ANY, text);
    label->SetFont(label->GetFont().Bold());
    grid->Add(label, 0, wxTOP, 8);
    grid->AddSpacer(0);
  };
  auto row = [&](const wxString& keys, const wxString& what) {
    grid->Add(new wxStaticText(scroll, wxID_ANY, keys));
    grid->Add(new wxStaticText(scroll, wxID_ANY, what));
  };
  for (size_t m = 0; m < menus.GetMenuCount(); ++m) {
    std::vector<Shortcut> items;
    CollectShortcuts(*menus.GetMenu(m), items);
    if (items.empty()) continue;
    heading(wxMenuItem::GetLabelText(menus.GetMenuLabel(m)));
    for (const Shortcut& s : items) row(s.keys, s.what);
  }
  heading("Window");
  row("Drag the border", "Resize the picture with the window");
  row("Space (held)", "Show plain scaling");
  row("Esc", "Put the brush down");
  row("Left button", "Paint with the brush in hand");
  scroll->SetSizer(grid);
  scroll->SetScrollRate(0, 10);
  grid->SetSizeHints(scroll);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(scroll, 1, wxEXPAND | wxALL, 12);
  sizer->Add(dialog.CreateStdDialogButtonSizer(wxCLOSE), 0, wxEXPAND | wxALL, 8);
  dialog.SetSizerAndFit(sizer);
  dialog.SetEscapeId(wxID_CLOSE);
  dialog.SetAffirmativeId(wxID_CLOSE);
  dialog.ShowModal();
}

}  // namespace quadrix
