#pragma once
// The program's only top-level window: it makes the menus and the display
// window, owns the renderer record and the parts of the window, and routes
// each command to the part that owns it: the photo session (loading), the
// view (target, zoom, solve, draw), the importance brush (painting, the
// energy built anew), the file dialogs and the status line. Photos load off
// the GUI thread.

#include <wx/frame.h>
#include <wx/menu.h>

#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "core/mesh_guard.hpp"
#include "core/resize_host.hpp"
#include "core/result_parts.hpp"
#include "core/settings.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/gl_window.hpp"
#include "shell/menus.hpp"
#include "shell/photo_load.hpp"
#include "shell/preview_panel.hpp"
#include "shell/worker.hpp"

class wxFileHistory;
class wxPanel;
class wxStaticText;

namespace quadrix {

class ImportanceBrush;
class PhotoSession;
class PhotoView;
class StatusLine;
class TickLog;
struct PhotoUpload;

class QuadrixFrame : public wxFrame {
 public:
  // Builds everything and starts loading the images named on the command
  // line, or shows the empty window. On a failure it has shown its box and
  // destroys itself at the next idle time.
  QuadrixFrame(const wxString& title, const wxSize& size);
  ~QuadrixFrame() override;

  void OnMenu(wxCommandEvent& event);
  // The close request and File > Exit.
  void OnQuit(wxEvent& event);

  // Starts loading `path` (without an importance file) in place of the
  // current photo, cancelling a load under way; on failure shows the
  // "Error" box and keeps what is shown. Used by File > Open and by
  // dropping a file.
  void OpenImage(const std::string& path);

 private:
  // The parts of the window and how they are wired together.
  void MakeParts();
  // The hint shown instead of the drawing area while there is no photo.
  void MakeHint();
  // File > Open Recent, as the user's configuration keeps it.
  void MakeRecentMenu();
  // `path` first in File > Open Recent (keep), or out of it; saved at once.
  void RememberRecent(const std::string& path, bool keep);
  void OnRecent(wxCommandEvent& event);
  void OnShortcuts(wxCommandEvent& event);
  void OnAbout(wxCommandEvent& event);
  void LoadSource();
  void StartLoad(const std::string& srcPath, const std::string& salPath, bool endOnFailure);
  void OnLoadStep(LoadStep step, cv::Size aligned);
  void OnLoadFailed(const std::string& why);
  // The photo being loaded, plainly scaled, instead of the drawing area.
  void ShowPreview(const cv::Mat& picture);
  // The drawing area back (or the hint, without a photo).
  void HidePreview();
  // What follows a finished load: host, textures, buffers, view.
  void InstallPhoto(PhotoUpload& done);
  // Nothing shown: the hint instead of the drawing area.
  void ShowEmpty(const wxString& hint);
  void OnCharHook(wxKeyEvent& event);
  void OnKeyUp(wxKeyEvent& event);
  void OnOpen(wxCommandEvent& event);
  void OnSavePicture(wxCommandEvent& event);
  void OnSetSize(wxCommandEvent& event);
  void OnZoom(wxCommandEvent& event);
  void OnPaintMenu(wxCommandEvent& event);
  void OnImportanceFile(wxCommandEvent& event);
  // The Result menu: one of the parts switched on or off.
  void OnPartMenu(wxCommandEvent& event);
  // Result > Solve at Full Size: the working copy off or on; the photo
  // loads again.
  void OnFullSizeSolve(wxCommandEvent& event);
  void OnUpdateNeedsPhoto(wxUpdateUIEvent& event);
  void ShowEnergyNotice();
  // Painted strokes not saved yet: asks to save them, drop them or stay.
  // True when the photo may go (saved, dropped, or nothing to lose).
  bool MayDropStrokes();
  // Ends the program with status 1 after an error box.
  void Fail(const wxString& message);

  std::vector<boost::signals2::scoped_connection> connections;
  // Windows and menus are made with `new` and owned by the toolkit once they
  // are attached (the menu bar and its items by the frame, the display window
  // and the hint as children); the frame keeps plain pointers to them.
  MenuItems menuItems;
  GlWindow* glWindow = nullptr;
  wxPanel* hintPanel = nullptr;
  wxStaticText* hintText = nullptr;
  PreviewPanel* previewPanel = nullptr;
  std::unique_ptr<RenderState> renderState;
  bool failed = false;  // an error box was shown; the frame is going away

  std::string photoPath;
  std::string salPath;         // the importance file it was opened with, or empty
  std::string pendingSalPath;  // that of the load under way
  bool endOnLoadFailure = false;
  // What the picture adds to the plain energy, as the Result menu says.
  ResultParts parts;
  // What every photo's host is made with (the Result menu's parts apart).
  ResizeSettings resizeSettings;
  int workSide = 0;  // the working side when not solving at full size
  int maxTextureSide = 0;
  // Loads make the textures on the worker's thread through `sharedContext`
  // when the display allows.
  std::unique_ptr<GlSharedContext> sharedContext;
  std::unique_ptr<wxFileHistory> recent;
  std::unique_ptr<StatusLine> status;
  std::unique_ptr<PhotoView> view;
  std::unique_ptr<ImportanceBrush> brush;
  std::unique_ptr<PhotoSession> session;
  std::unique_ptr<TickLog> tickLog;
  // Loads, rebuilds and the freeing of old photos, one at a time. Declared
  // last: its thread has ended before the parts and the context go.
  BackgroundWork work;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace quadrix
