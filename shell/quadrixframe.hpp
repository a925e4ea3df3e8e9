#pragma once
// The program's only top-level window: it owns the display window and the
// renderer record, holds the resizing host, and turns every size of the
// display into a solve and a redraw.

#include <boost/signals2/connection.hpp>
#include <memory>
#include <string>

// GlWindow first: libepoxy must precede the toolkit's GL headers.
#include <wx/frame.h>
#include <wx/menu.h>

#include "core/resizehost.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/glwindow.hpp"

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
};

class QuadrixFrame : public wxFrame {
 public:
  // Builds everything and loads the images named on the command line. On a
  // failure it has shown its box and destroys itself at the next idle time.
  QuadrixFrame(const wxString& title, const wxSize& size);
  ~QuadrixFrame() override;

  void OnDraw();
  void OnViewSize(int width, int height);
  void OnMenu(wxCommandEvent& event);
  // The close request and File > Exit.
  void OnQuit(wxEvent& event);

  // Loads `path` (without an importance file) in place of the current
  // image, as at start; on failure shows the "Error" box and keeps the
  // current one. Used by File > Open and by dropping a file.
  void OpenImage(const std::string& path);

 private:
  void LoadSource();
  // What follows a successful load: client size, textures, buffers, first
  // solve at the source size.
  void ShowLoaded();
  void FillUniformGrid();
  void FillSolvedGrid();
  void OnOpen(wxCommandEvent& event);
  void OnSavePicture(wxCommandEvent& event);
  // Ends the program with status 1 after an error box.
  void Fail(const wxString& message);
  void ShowSizeAndTime(int width, int height, double solveMs);

  int vxCount = 0;
  int vyCount = 0;
  boost::signals2::connection drawConnection;
  boost::signals2::connection sizeConnection;
  // Windows and menus are made with `new` and owned by the toolkit once they
  // are attached (the menu bar and its items by the frame, the display window
  // as a child); the frame keeps plain pointers to them.
  wxMenuBar* menuBar = nullptr;
  wxMenuItem* colorItem = nullptr;
  wxMenuItem* saliencyItem = nullptr;
  wxMenuItem* gridItem = nullptr;
  GlWindow* glWindow = nullptr;
  std::unique_ptr<RenderState> renderState;
  ResizeHost host;
  bool uniformMode = false;
  bool failed = false;  // an error box was shown; the frame is going away

  wxDECLARE_EVENT_TABLE();
};

}  // namespace quadrix
