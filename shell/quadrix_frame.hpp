#pragma once
// The program's only top-level window: it owns the display window and the
// renderer record, holds the resizing host, and turns every size of the
// display into a solve and a redraw.
//
// The picture has a target size (what is solved and saved) and is shown at a
// zoom; the drawing area is target × zoom. At zoom 1, the default whenever
// the photo fits on the screen, the drawing area is the target. Photos load
// off the GUI thread.

#include <array>
#include <bitset>
#include <boost/signals2/connection.hpp>
#include <cstdio>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>

// GlWindow first: libepoxy must precede the toolkit's GL headers.
#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/timer.h>

#include "core/importance_paint.hpp"
#include "core/inputs.hpp"
#include "core/resize_host.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/gl_window.hpp"
#include "shell/photo_load.hpp"
#include "shell/worker.hpp"

class wxPanel;
class wxStaticText;

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
};

class QuadrixFrame : public wxFrame {
 public:
  // Builds everything and starts loading the images named on the command
  // line, or shows the empty window. On a failure it has shown its box and
  // destroys itself at the next idle time.
  QuadrixFrame(const wxString& title, const wxSize& size);
  ~QuadrixFrame() override;

  void OnDraw();
  void OnViewSize(int width, int height);
  void OnMenu(wxCommandEvent& event);
  // The close request and File > Exit.
  void OnQuit(wxEvent& event);

  // Starts loading `path` (without an importance file) in place of the
  // current photo, cancelling a load under way; on failure shows the
  // "Error" box and keeps what is shown. Used by File > Open and by
  // dropping a file.
  void OpenImage(const std::string& path);

 private:
  struct Upload;

  void LoadSource();
  void StartLoad(const std::string& srcPath, const std::string& salPath, bool endOnFailure);
  void OnLoadStep(LoadStep step, cv::Size aligned);
  // colour, importance, overlay: the textures made on the worker, or 0 when
  // they are to be made here.
  void OnPhotoLoaded(std::shared_ptr<LoadedPhoto> photo, GLuint colour, GLuint importance,
                     GLuint overlay);
  void OnLoadFailed(const std::string& why);
  void OnUploadTimer(wxTimerEvent& event);
  // What follows a finished load: host, textures, buffers, view.
  void InstallPhoto();
  // Nothing shown: the hint instead of the drawing area.
  void ShowEmpty(const wxString& hint);
  void SolveAndShow();
  void FillUniformGrid();
  void FillSolvedGrid();
  // Asks the toolkit for the drawing area of the view (target × zoom) and
  // keeps the frame on the screen.
  void RequestView();
  // The largest drawing area the screen's work area leaves room for, and
  // the smallest the toolkit allows.
  cv::Size AvailableArea() const;
  cv::Size MinimumArea() const;
  void SetZoom(double newZoom);
  void SetCompare(bool on);
  void OnCharHook(wxKeyEvent& event);
  void OnKeyUp(wxKeyEvent& event);
  void OnOpen(wxCommandEvent& event);
  void OnSavePicture(wxCommandEvent& event);
  void OnSetSize(wxCommandEvent& event);
  void OnZoom(wxCommandEvent& event);
  // Painting the importance map.
  void OnPaintMenu(wxCommandEvent& event);
  void OnImportanceFile(wxCommandEvent& event);
  // The Result menu: one of the parts switched on or off.
  void OnPartMenu(wxCommandEvent& event);
  // The next draws are quick ones if filtered drawing is slow here.
  void DrawQuicklyForAWhile();
  void OnMouse(wxMouseEvent& event);
  void ChooseBrush(std::optional<Brush> chosen);
  // A disc of the brush at `viewPoint` (drawing-area pixels).
  void DabAt(wxPoint viewPoint);
  void EndStroke();
  // After the map changed in `rect` (pixels of the map): the importance
  // texture, the overlay, and the energy built anew off the GUI thread.
  void MapChanged(cv::Rect rect);
  void UpdateOverlayRect(cv::Rect rect);
  void StartRebuild();
  void OnRebuilt(std::shared_ptr<ResizeHost> rebuilt, int generation, cv::Size solvedFor,
                 double ms);
  void ShowBrush();
  void ShowEnergyNotice();
  void OnUpdateNeedsPhoto(wxUpdateUIEvent& event);
  void OnTick();
  // Ends the program with status 1 after an error box.
  void Fail(const wxString& message);
  void ShowSizeAndTime(double solveMs);
  void ShowActivity(const wxString& text);
  void ShowStatus(const wxString& text, int field);

  int vxCount = 0;
  int vyCount = 0;
  boost::signals2::connection drawConnection;
  boost::signals2::connection sizeConnection;
  // Windows and menus are made with `new` and owned by the toolkit once they
  // are attached (the menu bar and its items by the frame, the display window
  // and the hint as children); the frame keeps plain pointers to them.
  wxMenuBar* menuBar = nullptr;
  wxMenuItem* colorItem = nullptr;
  wxMenuItem* saliencyItem = nullptr;
  wxMenuItem* gridItem = nullptr;
  GlWindow* glWindow = nullptr;
  wxPanel* hintPanel = nullptr;
  wxStaticText* hintText = nullptr;
  std::unique_ptr<RenderState> renderState;
  ResizeHost host;
  bool uniformMode = false;
  bool failed = false;  // an error box was shown; the frame is going away

  bool hasImage = false;  // host, textures and buffers hold a photo
  std::string photoPath;
  std::string salPath;         // the importance file it was opened with, or empty
  std::string pendingSalPath;  // that of the load under way
  // What the picture adds to the plain energy, as the Result menu says.
  ResultParts parts;
  cv::Size target;    // the picture's size
  double zoom = 1.0;  // drawing-area pixels per target pixel
  // The drawing area of the view, as last asked of the toolkit or made by
  // the user; whether the picture fills it (else it lies centred in it).
  cv::Size expectedArea;
  bool pictureFills = true;
  bool comparing = false;  // Space held: plain scaling shown
  double minScale = kDefaultMinScale;
  std::int64_t maxPixels = kDefaultMaxPixels;
  int maxTextureSide = 0;
  // The importance map as painted; the brush (none: the mouse does not
  // paint) and its radius in drawing-area pixels.
  ImportancePainter painter;
  std::optional<Brush> brush;
  double brushRadius = 24;
  bool stroking = false;
  wxPoint lastDab;
  cv::Rect strokeRect;
  int overlayStep = 1;  // map pixels per overlay texel
  std::array<wxMenuItem*, 3> brushItems{};
  // Counts the maps and photos: a rebuild made for an older one is dropped.
  int rebuildGeneration = 0;
  // Loads run on `work`, which makes the textures through `sharedContext`;
  // without one a finished load hands its textures over here, in bands.
  std::unique_ptr<GlSharedContext> sharedContext;
  BackgroundWork work;
  bool endOnLoadFailure = false;
  std::unique_ptr<Upload> upload;
  wxTimer uploadTimer;
  // While the picture changes under the user's hand (dragging, painting) a
  // photo whose filtered drawing is slow is drawn bilinearly; the filtered
  // picture follows once the hand rests.
  wxTimer refineTimer;
  bool quickDraw = false;
  double filteredDrawMs = 0.0;  // the last filtered draw, finished
  // QUADRIX_TICK_LOG: a timer tick every 20 ms, each logged (wall clock and
  // the GUI thread's processor time, in ms), to show that the event loop
  // never stalls.
  unsigned tickSource = 0;
  std::FILE* tickLog = nullptr;
  // Status texts not shown yet, by field.
  std::array<wxString, 3> statusTexts;
  std::bitset<3> statusPending;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace quadrix
