#include "shell/quadrix_frame.hpp"

#include <wx/display.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/filedlgcustomize.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <span>
#include <vector>

#include "core/inputs.hpp"
#include "core/outputs.hpp"
#include "imageio/image_file.hpp"
#include "interop_gl/pictures.hpp"
#include "shell/launch.hpp"
#include "shell/set_size_dialog.hpp"
#include "shell/view.hpp"
// GTK last: its headers must not precede the toolkit's.
#include <gtk/gtk.h>

namespace quadrix {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Status bar fields.
constexpr int kSizeField = 0;
constexpr int kActivityField = 1;
constexpr int kNoticeField = 2;

// Texture bands are handed over for at most this long per timer tick, so
// that the event loop runs in between.
constexpr auto kUploadSlice = std::chrono::milliseconds(15);

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

// The "Error" box of a failed load: what went wrong in the primary text, the
// fixed usage text under it.
void ShowLoadError(wxWindow* parent, const std::string& why) {
  wxMessageDialog box(parent, wxString::FromUTF8(why), "Error", wxOK | wxICON_ERROR);
  box.SetExtendedMessage(kLoadUsageText);
  box.ShowModal();
}

class ImageDropTarget : public wxFileDropTarget {
 public:
  explicit ImageDropTarget(QuadrixFrame* frame) : frame_(frame) {}
  bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
    if (files.empty()) return false;
    // Load after the drop has finished: the load may show a box.
    std::string path(files[0].fn_str());
    frame_->CallAfter([frame = frame_, path] { frame->OpenImage(path); });
    return true;
  }

 private:
  QuadrixFrame* frame_;
};

// Save Picture's own choices, below the file dialog's.
class SaveChoices : public wxFileDialogCustomizeHook {
 public:
  static constexpr int kQualities[] = {100, 95, 90, 85, 80, 75, 70, 60, 50};

  void AddCustomControls(wxFileDialogCustomize& customizer) override {
    asShown_ = customizer.AddCheckBox("Save the view as shown (grid, importance, plain scaling)");
    customizer.AddStaticText("JPEG quality:");
    wxString labels[std::size(kQualities)];
    for (size_t i = 0; i < std::size(kQualities); ++i)
      labels[i] = wxString::Format("%d", kQualities[i]);
    quality_ = customizer.AddChoice(std::size(kQualities), labels);
    quality_->SetSelection(1);
  }
  void TransferDataFromCustomControls() override {
    asShownValue = asShown_->GetValue();
    const int i = quality_->GetSelection();
    if (i >= 0 && i < static_cast<int>(std::size(kQualities))) qualityValue = kQualities[i];
  }

  bool asShownValue = false;
  int qualityValue = 95;

 private:
  wxFileDialogCheckBox* asShown_ = nullptr;
  wxFileDialogChoice* quality_ = nullptr;
};

// Map pixels per overlay texel: the overlay is at most 2048 texels a side.
int OverlayStep(cv::Size map) {
  return std::max(1, (std::max(map.width, map.height) + 2047) / 2048);
}

cv::Size OverlaySize(cv::Size map) {
  const int s = OverlayStep(map);
  return {(map.width + s - 1) / s, (map.height + s - 1) / s};
}

// The textures of a loaded photo (the colour and importance images and a
// clear overlay), made in the context current on this thread, one that
// shares the window's objects; 0 when they cannot be. The texels are let go
// once they are in.
struct TextureNames {
  GLuint colour = 0, importance = 0, overlay = 0;
};
TextureNames MakeTextures(LoadedPhoto& photo) {
  // The colour image is the photo as drawn, the importance map the aligned
  // one: their sizes may differ by a few pixels.
  const cv::Size colourSize = photo.host.DrawImage().size();
  const cv::Size size(photo.host.srcWidth(), photo.host.srcHeight());
  GlTexture c = AllocateImageTexture(colourSize);
  GlTexture i = AllocateImageTexture(size);
  if (!c || !i) return {};
  UploadTexelRows(c, colourSize.width, photo.colourTexels.data(), 0, colourSize.height);
  UploadTexelRows(i, size.width, photo.importanceTexels.data(), 0, size.height);
  GlTexture o = MakeOverlayTexture(OverlaySize(size));
  // Complete before another context draws with them.
  glFinish();
  photo.colourTexels = {};
  photo.importanceTexels = {};
  return {c.release(), i.release(), o.release()};
}

}  // namespace

// A loaded photo whose textures are being filled, band by band.
struct QuadrixFrame::Upload {
  std::shared_ptr<LoadedPhoto> photo;
  GlTexture colour, importance, overlay;
  int row = 0;  // rows done, colour first, then importance
};

// One handler serves the close request and File > Exit, so both entries take
// it as a plain event handler.
// clang-format off
wxBEGIN_EVENT_TABLE(QuadrixFrame, wxFrame)
  wxDECLARE_EVENT_TABLE_ENTRY(wxEVT_CLOSE_WINDOW, wxID_ANY, wxID_ANY,
                              wxEventHandler(QuadrixFrame::OnQuit), nullptr),
  wxDECLARE_EVENT_TABLE_ENTRY(wxEVT_MENU, ID_EXIT, wxID_ANY,
                              wxEventHandler(QuadrixFrame::OnQuit), nullptr),
  EVT_MENU_RANGE(ID_SHOW_GRID, ID_RESIZING, QuadrixFrame::OnMenu)
  EVT_MENU(ID_OPEN, QuadrixFrame::OnOpen)
  EVT_MENU(ID_SAVE_PICTURE, QuadrixFrame::OnSavePicture)
  EVT_MENU(ID_SET_SIZE, QuadrixFrame::OnSetSize)
  EVT_MENU_RANGE(ID_FIT, ID_ZOOM_OUT, QuadrixFrame::OnZoom)
  EVT_MENU_RANGE(ID_LOAD_IMPORTANCE, ID_SAVE_IMPORTANCE, QuadrixFrame::OnImportanceFile)
  EVT_MENU_RANGE(ID_PROTECT, ID_REDO_STROKE, QuadrixFrame::OnPaintMenu)
  EVT_MENU_RANGE(ID_PART_SHARP, ID_PART_SHAPES, QuadrixFrame::OnPartMenu)
  EVT_UPDATE_UI_RANGE(ID_SAVE_PICTURE, ID_REDO_STROKE, QuadrixFrame::OnUpdateNeedsPhoto)
  EVT_CHAR_HOOK(QuadrixFrame::OnCharHook)
wxEND_EVENT_TABLE();
// clang-format on

QuadrixFrame::QuadrixFrame(const wxString& title, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, size, wxDEFAULT_FRAME_STYLE, "frame"),
      work([this](std::function<void()> fn) { CallAfter(std::move(fn)); }),
      uploadTimer(this),
      refineTimer(this) {
  std::string why;
  if (!GlWindow::DisplaySupported(why)) {
    Fail("Cannot draw: " + wxString::FromUTF8(why) + ".");
    return;
  }
  glWindow = new GlWindow(this, "Direct UI window");
  if (!glWindow->HasContext()) {
    Fail("Cannot draw: " + wxString::FromUTF8(glWindow->ContextError()) + ".");
    return;
  }

  renderState = std::make_unique<RenderState>();
  if (!InitRenderer(*renderState)) {
    Fail("Cannot draw: the effect file '" + wxString::FromUTF8(renderState->effectPath) +
         "' is missing or cannot be used.");
    return;
  }
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSide);
  // Making a large texture takes long (the driver touches all its memory):
  // loads do it on their own thread when the display allows.
  if (std::getenv("QUADRIX_NO_SHARED_CONTEXT") == nullptr)
    sharedContext = glWindow->MakeSharedContext();

  drawConnection = glWindow->drawSignal.connect([this] { OnDraw(); });
  sizeConnection = glWindow->sizeSignal.connect([this](int w, int h) { OnViewSize(w, h); });

  auto* fileMenu = new wxMenu;
  fileMenu->Append(ID_OPEN, wxString::FromUTF8("Open…\tCtrl+O"), "");
  fileMenu->Append(ID_SAVE_PICTURE, wxString::FromUTF8("Save Picture…\tCtrl+S"), "");
  fileMenu->Append(ID_LOAD_IMPORTANCE, wxString::FromUTF8("Load Importance…\tCtrl+Shift+O"), "");
  fileMenu->Append(ID_SAVE_IMPORTANCE, wxString::FromUTF8("Save Importance…\tCtrl+Shift+S"), "");
  fileMenu->AppendSeparator();
  fileMenu->Append(ID_EXIT, "Exit\tCtrl+Q", "", wxITEM_NORMAL);
  auto* viewMenu = new wxMenu;
  gridItem = viewMenu->Append(ID_SHOW_GRID, "Show Grid\tCtrl+G", "", wxITEM_CHECK);
  colorItem = viewMenu->Append(ID_COLOR_IMAGE, "Color Image\tCtrl+1", "", wxITEM_RADIO);
  saliencyItem = viewMenu->Append(ID_SALIENCY_IMAGE, "Saliency Image\tCtrl+2", "", wxITEM_RADIO);
  viewMenu->AppendSeparator();
  viewMenu->Append(ID_SET_SIZE, wxString::FromUTF8("Set Size…\tCtrl+E"), "");
  viewMenu->Append(ID_FIT, "Fit\tCtrl+0", "");
  viewMenu->Append(ID_ACTUAL_SIZE, "Actual Size\tCtrl+Shift+0", "");
  viewMenu->Append(ID_ZOOM_IN, "Zoom In\tCtrl++", "");
  viewMenu->Append(ID_ZOOM_OUT, "Zoom Out\tCtrl+-", "");
  auto* funMenu = new wxMenu;
  funMenu->Append(ID_UNIFORM, "Uniform\tCtrl+U", "", wxITEM_RADIO);
  funMenu->Append(ID_RESIZING, "Resizing\tCtrl+R", "", wxITEM_RADIO)->Check(true);
  menuBar = new wxMenuBar;
  menuBar->Append(fileMenu, "File");
  menuBar->Append(viewMenu, "View");
  menuBar->Append(funMenu, "Fun");
  auto* paintMenu = new wxMenu;
  brushItems[0] = paintMenu->AppendCheckItem(ID_PROTECT, "Protect\tP");
  brushItems[1] = paintMenu->AppendCheckItem(ID_ABSORB, "Absorb\tA");
  brushItems[2] = paintMenu->AppendCheckItem(ID_RESTORE, "Restore\tR");
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
  menuBar->Append(resultMenu, "Result");
  SetMenuBar(menuBar);

  CreateStatusBar(3);
  const int widths[] = {160, -2, -3};  // the size and zoom always in full
  SetStatusWidths(3, widths);

  // Shown instead of the drawing area while there is no photo.
  hintPanel = new wxPanel(this);
  hintPanel->SetBackgroundColour(*wxWHITE);
  hintText = new wxStaticText(hintPanel, wxID_ANY, kOpenHint);
  auto* hintSizer = new wxBoxSizer(wxVERTICAL);
  hintSizer->AddStretchSpacer();
  hintSizer->Add(hintText, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 12);
  hintSizer->AddStretchSpacer();
  hintPanel->SetSizer(hintSizer);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(glWindow, 1, wxEXPAND);
  sizer->Add(hintPanel, 1, wxEXPAND);
  SetSizer(sizer);

  glWindow->SetDropTarget(new ImageDropTarget(this));
  hintPanel->SetDropTarget(new ImageDropTarget(this));
  glWindow->Bind(wxEVT_KEY_UP, &QuadrixFrame::OnKeyUp, this);
  for (const auto type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_MOTION})
    glWindow->Bind(type, &QuadrixFrame::OnMouse, this);
  glWindow->Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { EndStroke(); });
  glWindow->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) {
    SetCompare(false);
    e.Skip();
  });
  Bind(wxEVT_TIMER, &QuadrixFrame::OnUploadTimer, this, uploadTimer.GetId());
  Bind(
      wxEVT_TIMER,
      [this](wxTimerEvent&) {
        quickDraw = false;
        Refresh();
      },
      refineTimer.GetId());

  if (const char* path = std::getenv("QUADRIX_TICK_LOG"); path != nullptr && *path != '\0') {
    tickLog = std::fopen(path, "w");
    // Ahead of every other source that is ready at the same time, so that
    // a late tick means one step of the loop took that long, not that
    // several short ones came first.
    if (tickLog != nullptr)
      tickSource = g_timeout_add_full(
          G_PRIORITY_HIGH, 20,
          [](gpointer frame) -> gboolean {
            static_cast<QuadrixFrame*>(frame)->OnTick();
            return G_SOURCE_CONTINUE;
          },
          this, nullptr);
  }

  try {
    minScale = MinScaleFromEnvironment();
    maxPixels = MaxPixelsFromEnvironment();
  } catch (const std::invalid_argument& e) {  // QUADRIX_MIN_SCALE, QUADRIX_MAX_PIXELS
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  LoadSource();
}

QuadrixFrame::~QuadrixFrame() {
  work.Cancel();
  drawConnection.disconnect();
  sizeConnection.disconnect();
  if (tickSource != 0) g_source_remove(tickSource);
  uploadTimer.Stop();
  if (tickLog != nullptr) std::fclose(tickLog);
  if (renderState) {
    // GL objects go with the context that made them.
    if (glWindow != nullptr && glWindow->MakeCurrent()) {
      upload.reset();
      ReleaseRenderState(*renderState);
    }
    renderState.reset();
  }
}

void QuadrixFrame::LoadSource() {
  const LaunchSettings& settings = TheLaunchSettings();
  if (settings.srcPath.empty()) {
    ShowEmpty(kOpenHint);
    return;
  }
  StartLoad(settings.srcPath, settings.salPath, !settings.openWindow);
}

void QuadrixFrame::OpenImage(const std::string& path) {
  if (!renderState || failed) return;
  StartLoad(path, "", false);
}

void QuadrixFrame::StartLoad(const std::string& srcPath, const std::string& salPath,
                             bool endOnFailure) {
  work.Cancel();
  ++rebuildGeneration;
  EndStroke();
  uploadTimer.Stop();
  if (upload) {
    glWindow->MakeCurrent();
    upload.reset();
  }
  endOnLoadFailure = endOnFailure;
  const wxString loading = wxString::FromUTF8("Loading '" + FileName(srcPath) + "'…");
  ResizeSettings settings;
  settings.useScaleTerm = TheLaunchSettings().useScaleTerm;
  settings.parts = parts;
  settings.minScale = minScale;
  settings.maxPixels = maxPixels;
  std::shared_ptr<ResizeHost> fresh;
  try {
    // An outside engine has one workspace for every host: the photo shown
    // cannot be solved again once the new one is factored there.
    if (host.engine() != nullptr && hasImage) ShowEmpty(loading);
    // Made here, so that an outside engine is started by the GUI thread
    // (the engine's process ends with the thread that started it).
    fresh = std::make_shared<ResizeHost>(settings);
  } catch (const EngineError& e) {
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  if (!hasImage) ShowEmpty(loading);
  ShowActivity(loading);
  const PhotoRequest request{srcPath, salPath, maxTextureSide};
  pendingSalPath = salPath;
  work.Start([this, request, fresh, shared = sharedContext.get()](const BackgroundWork::Job& job) {
    std::string why;
    try {
      std::shared_ptr<LoadedPhoto> photo = LoadPhoto(
          request, std::move(*fresh),
          [&](LoadStep step, cv::Size aligned) {
            job.Post([this, step, aligned] { OnLoadStep(step, aligned); });
          },
          [&] { return job.Cancelled(); });
      if (!photo) return;
      TextureNames names;
      if (shared != nullptr && shared->MakeCurrent()) {
        names = MakeTextures(*photo);
        shared->Release();
      }
      // The textures are given back to the GUI thread even when the load
      // was cancelled meanwhile, to be let go in a context of theirs.
      job.Deliver([this, photo, names](bool cancelled) {
        if (!cancelled) {
          OnPhotoLoaded(photo, names.colour, names.importance, names.overlay);
        } else if (names.colour != 0 && glWindow->MakeCurrent()) {
          GlTexture(names.colour).reset();
          GlTexture(names.importance).reset();
          GlTexture(names.overlay).reset();
        }
      });
      return;
    } catch (const PhotoError& e) {
      why = e.what();
    } catch (const EngineError& e) {
      job.Post([this, message = std::string(e.what())] { Fail(wxString::FromUTF8(message)); });
      return;
    } catch (const std::bad_alloc&) {
      why = "Not enough memory to load '" + request.srcPath + "'.";
    } catch (const std::exception& e) {
      why = "Cannot load '" + request.srcPath + "': " + e.what();
    }
    job.Post([this, why] { OnLoadFailed(why); });
  });
}

void QuadrixFrame::OnLoadStep(LoadStep step, cv::Size aligned) {
  static const char* const kSteps[] = {
      "reading the photo",    "importance map", "finding lines, building the energy",
      "factoring the energy", "first solve",    "preparing the picture"};
  ShowActivity(wxString::FromUTF8("Loading: ") + kSteps[static_cast<int>(step)] +
               wxString::FromUTF8("…"));
  if (step == LoadStep::kImportance && !hasImage) {
    // The size is known: the window takes it now, while the rest loads.
    target = aligned;
    zoom = FitZoom(target, AvailableArea());
    RequestView();
    ShowStatus(wxString::Format("%d x %d  (%d %%)", target.width, target.height,
                                static_cast<int>(std::lround(zoom * 100))),
               kSizeField);
  }
}

void QuadrixFrame::OnPhotoLoaded(std::shared_ptr<LoadedPhoto> photo, GLuint colour,
                                 GLuint importance, GLuint overlay) {
  glWindow->MakeCurrent();
  upload = std::make_unique<Upload>();
  const cv::Size size(photo->host.srcWidth(), photo->host.srcHeight());
  if (colour != 0 && importance != 0) {
    upload->colour.reset(colour);
    upload->importance.reset(importance);
    upload->overlay.reset(overlay);
    upload->photo = std::move(photo);
    InstallPhoto();
    return;
  }
  upload->colour = AllocateImageTexture(photo->host.DrawImage().size());
  upload->importance = AllocateImageTexture(size);
  upload->photo = std::move(photo);
  if (!upload->colour || !upload->importance) {
    upload.reset();
    OnLoadFailed("The photo is larger than the display can draw.");
    return;
  }
  uploadTimer.Start(1, wxTIMER_ONE_SHOT);
}

void QuadrixFrame::OnUploadTimer(wxTimerEvent&) {
  if (!upload) return;
  glWindow->MakeCurrent();
  const LoadedPhoto& photo = *upload->photo;
  // Rows of the colour texture first, then those of the importance map.
  const cv::Size colourSize = photo.host.DrawImage().size();
  const int h = colourSize.height;
  const int total = h + photo.host.srcHeight();
  const auto start = Clock::now();
  while (upload->row < total && Clock::now() - start < kUploadSlice) {
    const bool colour = upload->row < h;
    const int w = colour ? colourSize.width : photo.host.srcWidth();
    const int band = std::max(1, (1 << 20) / std::max(1, w));  // 16 MB of texels
    const int first = colour ? upload->row : upload->row - h;
    const int count = std::min(band, (colour ? h : photo.host.srcHeight()) - first);
    UploadTexelRows(colour ? upload->colour : upload->importance, w,
                    colour ? photo.colourTexels.data() : photo.importanceTexels.data(), first,
                    count);
    upload->row += count;
  }
  if (upload->row < total) {
    uploadTimer.Start(1, wxTIMER_ONE_SHOT);
    return;
  }
  glFinish();
  InstallPhoto();
}

void QuadrixFrame::InstallPhoto() {
  std::unique_ptr<Upload> done = std::move(upload);
  photoPath = done->photo->srcPath;
  salPath = pendingSalPath;
  // The old host and the texels are freed on the worker's thread: freeing
  // a large photo takes a while.
  auto old = std::make_shared<ResizeHost>(std::move(host));
  auto oldPainter = std::make_shared<ImportancePainter>(std::move(painter));
  host = std::move(done->photo->host);
  painter = std::move(done->photo->painter);
  work.Start([old, oldPainter, photo = std::move(done->photo)](const BackgroundWork::Job&) {});

  glWindow->MakeCurrent();
  renderState->ready = false;
  renderState->srcWidth = host.srcWidth();
  renderState->srcHeight = host.srcHeight();
  renderState->textureViews[0] = std::move(done->colour);
  renderState->textureViews[1] = std::move(done->importance);
  renderState->filtered = host.settings().parts.sharp;
  vxCount = host.quadCountX() + 1;
  vyCount = host.quadCountY() + 1;
  CreateMeshBuffers(*renderState, vxCount, vyCount);
  hasImage = true;
  ShowEnergyNotice();

  // Painting starts from the map as loaded or computed (made while
  // loading, as is the overlay when the load made the textures).
  ++rebuildGeneration;
  overlayStep = OverlayStep({host.srcWidth(), host.srcHeight()});
  renderState->overlayTexture.reset();
  if (renderState->overlayPass != nullptr) {
    if (done->overlay)
      renderState->overlayTexture = std::move(done->overlay);
    else
      CreateOverlayTexture(*renderState, OverlaySize({host.srcWidth(), host.srcHeight()}));
  }
  renderState->showOverlay = brush.has_value();

  // The solve at the source size was made while loading.
  target = host.RestSize();
  zoom = FitZoom(target, AvailableArea());
  renderState->newWidth = target.width;
  renderState->newHeight = target.height;
  // The view is asked for first, so that the size the drawing area has
  // when it appears is not taken for a drag of the border.
  RequestView();
  hintPanel->Hide();
  glWindow->Show();
  Layout();
  if (uniformMode || comparing)
    FillUniformGrid();
  else
    FillSolvedGrid();
  ShowSizeAndTime(-1.0);
  ShowActivity(wxString::FromUTF8("Opened '" + FileName(photoPath) + "'"));
  glWindow->SetFocus();
  Refresh();
}

void QuadrixFrame::OnLoadFailed(const std::string& why) {
  ShowActivity("");
  if (endOnLoadFailure && !hasImage) {
    // The classic command line: the program ends with its box.
    failed = true;
    SetExitStatus(kExitFailure);
    ShowLoadError(nullptr, why);
    Destroy();
    return;
  }
  if (!hasImage) ShowEmpty(kOpenHint);
  ShowLoadError(this, why);  // what is shown stays
}

void QuadrixFrame::ShowEmpty(const wxString& hint) {
  hasImage = false;
  comparing = false;
  if (renderState) renderState->ready = false;
  hintText->SetLabel(hint);
  glWindow->Hide();
  hintPanel->Show();
  Layout();
  hintPanel->Layout();
  ShowStatus("", kSizeField);
  ShowStatus("", kNoticeField);
}

void QuadrixFrame::OnDraw() {
  const wxSize area = glWindow->GetClientSize();
  const cv::Rect picture =
      pictureFills ? cv::Rect(0, 0, area.x, area.y) : PictureRect({area.x, area.y}, target, zoom);
  const bool whole = picture.width == area.x && picture.height == area.y;
  // The toolkit gave the window another size than the view asked for: the
  // picture keeps its size, centred.
  if (!whole)
    glViewport(picture.x, area.y - picture.y - picture.height, picture.width, picture.height);
  // A software renderer takes seconds for the filtered draw of a photo of
  // many megapixels (and for its 8-bit copy with mip levels): the view of
  // such a photo stays bilinear; what is saved is filtered all the same.
  constexpr double kFilteredViewPixels = 4e6;
  // While a brush is out the view is for painting: bilinear keeps every
  // dab's redraw quick, and the filtered picture returns with the brush
  // put down.
  renderState->filtered = host.settings().parts.sharp && !quickDraw && !brush &&
                          static_cast<double>(host.DrawImage().total()) <= kFilteredViewPixels;
  const auto start = Clock::now();
  DrawMesh(*renderState);
  if (renderState->filtered) {
    glFinish();
    filteredDrawMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  if (!whole) glViewport(0, 0, area.x, area.y);
}

void QuadrixFrame::DrawQuicklyForAWhile() {
  // Slow enough to hold a drag back (a software renderer, a big photo).
  constexpr double kSlowDrawMs = 40.0;
  if (!host.settings().parts.sharp || filteredDrawMs < kSlowDrawMs) return;
  quickDraw = true;
  refineTimer.StartOnce(250);
}

void QuadrixFrame::OnViewSize(int width, int height) {
  if (!renderState) return;
  const cv::Size area(width, height);
  if (!renderState->ready || failed || !hasImage) return;
  // The area RequestView asked for keeps the target; any other size is a
  // drag of the border.
  if (area != expectedArea) {
    target = TargetForArea(area, zoom);
    expectedArea = area;
    pictureFills = true;
  }
  SolveAndShow();
}

void QuadrixFrame::SolveAndShow() {
  if (!renderState || !renderState->ready || failed || !hasImage) return;
  renderState->newWidth = target.width;
  renderState->newHeight = target.height;
  const auto start = Clock::now();
  try {
    host.Resize(target.width, target.height);
  } catch (const std::exception& e) {
    // Not from inside the toolkit's size handling: the box runs its own loop.
    renderState->ready = false;
    CallAfter([this, message = wxString::FromUTF8(e.what())] { Fail(message); });
    return;
  }
  const std::chrono::duration<double, std::milli> solve = Clock::now() - start;
  if (uniformMode || comparing)
    FillUniformGrid();
  else
    FillSolvedGrid();
  ShowSizeAndTime(solve.count());
  DrawQuicklyForAWhile();
  Refresh();
}

void QuadrixFrame::FillUniformGrid() {
  // The target is the drawing area at zoom 1, as the classic program reads it.
  std::vector<float> xy;
  BuildUniformGrid(vxCount, vyCount, target.width, target.height, xy);
  glWindow->MakeCurrent();
  UpdateVertices(*renderState, xy.data(), xy.size() / 2);
}

void QuadrixFrame::FillSolvedGrid() {
  glWindow->MakeCurrent();
  UpdateVertices(*renderState, host.solution().data(),
                 static_cast<std::size_t>(vxCount) * static_cast<std::size_t>(vyCount));
}

cv::Size QuadrixFrame::MinimumArea() const {
  GtkRequisition least;
  gtk_widget_get_preferred_size(GetHandle(), &least, nullptr);
  const wxSize outer = GetSize();
  const wxSize client = GetClientSize();
  return {std::max(1, least.width - (outer.x - client.x)),
          std::max(1, least.height - (outer.y - client.y))};
}

cv::Size QuadrixFrame::AvailableArea() const {
  const int index = wxDisplay::GetFromWindow(this);
  const wxRect work =
      wxDisplay(index == wxNOT_FOUND ? 0u : static_cast<unsigned>(index)).GetClientArea();
  // Menu bar, status bar and any frame the window manager draws.
  const wxSize outer = GetSize();
  const wxSize client = GetClientSize();
  return {std::max(1, work.width - (outer.x - client.x)),
          std::max(1, work.height - (outer.y - client.y))};
}

void QuadrixFrame::RequestView() {
  // A window is never narrower than its menu bar: below that the picture
  // keeps its size in a wider area.
  const cv::Size view = ViewSize(target, zoom);
  const cv::Size least = MinimumArea();
  expectedArea = {std::max(view.width, least.width), std::max(view.height, least.height)};
  pictureFills = expectedArea == view;
  const wxSize client = GetClientSize();
  if (expectedArea.width != client.x || expectedArea.height != client.y)
    SetClientSize(expectedArea.width, expectedArea.height);
  // Keep the whole frame inside the work area.
  const int index = wxDisplay::GetFromWindow(this);
  const wxRect work =
      wxDisplay(index == wxNOT_FOUND ? 0u : static_cast<unsigned>(index)).GetClientArea();
  wxRect frame = GetRect();
  frame.SetSize(GetSize());
  wxPoint pos = frame.GetPosition();
  if (frame.GetRight() > work.GetRight())
    pos.x = std::max(work.x, work.GetRight() - frame.width + 1);
  if (frame.GetBottom() > work.GetBottom())
    pos.y = std::max(work.y, work.GetBottom() - frame.height + 1);
  pos.x = std::max(pos.x, work.x);
  pos.y = std::max(pos.y, work.y);
  if (pos != frame.GetPosition()) Move(pos);
}

void QuadrixFrame::SetZoom(double newZoom) {
  if (!hasImage) return;
  zoom = newZoom;
  RequestView();
  ShowSizeAndTime(-1.0);
  Refresh();
}

void QuadrixFrame::SetCompare(bool on) {
  if (comparing == on) return;
  comparing = on;
  if (!hasImage || !renderState || !renderState->ready) return;
  if (comparing || uniformMode)
    FillUniformGrid();
  else
    FillSolvedGrid();
  ShowActivity(comparing ? "Plain scaling while Space is held" : "");
  Refresh();
}

void QuadrixFrame::OnCharHook(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  if (key == WXK_SPACE && !event.HasAnyModifiers() && hasImage) {
    SetCompare(true);
    return;
  }
  if (key == WXK_ESCAPE && brush) {
    ChooseBrush(std::nullopt);
    return;
  }
  // The Paint menu's keys have no modifier, which the toolkit's menus do not
  // take as accelerators: they are handled here.
  if (!event.HasAnyModifiers() || event.GetModifiers() == wxMOD_SHIFT) {
    int id = 0;
    switch (key) {
      case 'P':
        id = ID_PROTECT;
        break;
      case 'A':
        id = ID_ABSORB;
        break;
      case 'R':
        id = ID_RESTORE;
        break;
      case ']':
        id = ID_BIGGER_BRUSH;
        break;
      case '[':
        id = ID_SMALLER_BRUSH;
        break;
      default:
        break;
    }
    if (id != 0 && hasImage) {
      wxCommandEvent command(wxEVT_MENU, id);
      OnPaintMenu(command);
      return;
    }
  }
  // The zoom keys as typed on any keyboard layout (with or without Shift,
  // on the keypad or not), which the menu's accelerators alone do not catch.
  if (event.ControlDown() && !event.AltDown()) {
    int id = 0;
    if (key == '+' || key == '=' || key == WXK_NUMPAD_ADD)
      id = ID_ZOOM_IN;
    else if (key == '-' || key == '_' || key == WXK_NUMPAD_SUBTRACT)
      id = ID_ZOOM_OUT;
    else if ((key == '0' || key == ')' || key == WXK_NUMPAD0) && event.ShiftDown())
      id = ID_ACTUAL_SIZE;
    if (id != 0) {
      if (hasImage) {
        wxCommandEvent command(wxEVT_MENU, id);
        OnZoom(command);
      }
      return;
    }
  }
  event.Skip();
}

void QuadrixFrame::OnKeyUp(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_SPACE) SetCompare(false);
  event.Skip();
}

void QuadrixFrame::OnMenu(wxCommandEvent& event) {
  switch (event.GetId()) {
    case ID_SHOW_GRID:
      renderState->showGrid = gridItem->IsChecked();
      break;
    case ID_COLOR_IMAGE:
      renderState->textureIndex = 0;
      break;
    case ID_SALIENCY_IMAGE:
      renderState->textureIndex = 1;
      break;
    case ID_UNIFORM:
      uniformMode = true;
      SolveAndShow();
      break;
    case ID_RESIZING:
      uniformMode = false;
      SolveAndShow();
      break;
    default:
      break;
  }
  Refresh();
}

void QuadrixFrame::OnQuit(wxEvent&) {
  // Gone from the screen at once; a load under way is cancelled, and the
  // destructor waits for its current step.
  work.Cancel();
  Hide();
  Destroy();
}

void QuadrixFrame::OnOpen(wxCommandEvent&) {
  wxFileDialog dialog(this, "Open Image", "", "",
                      "Images (*.jpg;*.jpeg;*.png;*.bmp;*.tif;*.tiff;*.webp)|"
                      "*.jpg;*.jpeg;*.png;*.bmp;*.tif;*.tiff;*.webp;*.JPG;*.JPEG;*.PNG|"
                      "All files|*",
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return;
  OpenImage(std::string(dialog.GetPath().fn_str()));
}

void QuadrixFrame::OnSavePicture(wxCommandEvent&) {
  if (!hasImage || !renderState || !renderState->ready) return;
  const cv::Size size = target;
  if (size.width < 1 || size.height < 1) {
    wxMessageBox("There is no picture to save: the target size has no area.", "Error",
                 wxOK | wxICON_ERROR, this);
    return;
  }
  // Every format quadrix-cli -o writes.
  static const char* const kExtensions[] = {".png", ".jpg", ".webp", ".tif", ".bmp"};
  wxFileDialog dialog(this, "Save Picture", "",
                      wxString::Format("quadrix_%dx%d.png", size.width, size.height),
                      "PNG image (*.png)|*.png|JPEG image (*.jpg;*.jpeg)|*.jpg;*.jpeg|"
                      "WebP image (*.webp)|*.webp|TIFF image (*.tif;*.tiff)|*.tif;*.tiff|"
                      "BMP image (*.bmp)|*.bmp",
                      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  SaveChoices choices;
  dialog.SetCustomizeHook(choices);
  if (dialog.ShowModal() != wxID_OK) return;
  std::string path(dialog.GetPath().fn_str());
  if (fs::path(path).extension().empty()) {
    // A name typed without extension gets the chosen type's; the dialog
    // asked about replacing the name as typed, so ask again.
    const int filter = dialog.GetFilterIndex();
    path += kExtensions[filter >= 0 && filter < 5 ? filter : 0];
    if (fs::exists(path) && wxMessageBox(wxString::FromUTF8("'" + path + "' exists. Replace it?"),
                                         "Save Picture", wxYES_NO | wxICON_QUESTION, this) != wxYES)
      return;
  }

  // The colour picture at the target size, content-aware, without the grid;
  // or, when asked, what the window shows.
  const bool asShown = choices.asShownValue;
  const bool plain = asShown && (uniformMode || comparing);
  const std::size_t count = static_cast<std::size_t>(vxCount) * static_cast<std::size_t>(vyCount);
  std::vector<float> xy;
  if (plain)
    BuildUniformGrid(vxCount, vyCount, size.width, size.height, xy);
  else
    xy.assign(host.solution().begin(), host.solution().begin() + 2 * count);
  std::string problem;
  {
    wxBusyCursor busy;
    // Drawn off screen by the same picture maker as quadrix-cli -o, so the
    // file is what the command line makes of the same state.
    glWindow->ReleaseCurrent();
    try {
      PictureMaker pictures(host.DrawImage(), host.imgSal());
      pictures.SetFiltered(host.settings().parts.sharp);
      const cv::Mat picture =
          pictures.Render(vxCount, vyCount, xy, size, asShown && renderState->showGrid,
                          asShown ? renderState->textureIndex : 0);
      WriteImageAtomically(path, picture, choices.qualityValue);
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    wxMessageBox(wxString::FromUTF8(problem), "Error", wxOK | wxICON_ERROR, this);
    return;
  }
  ShowActivity(wxString::FromUTF8("Saved " + path));
}

void QuadrixFrame::OnSetSize(wxCommandEvent&) {
  if (!hasImage) return;
  SetSizeDialog dialog(this, target, host.RestSize());
  if (dialog.ShowModal() != wxID_OK) return;
  target = dialog.ChosenSize();
  zoom = FitZoom(target, AvailableArea());
  RequestView();
  SolveAndShow();
}

void QuadrixFrame::OnZoom(wxCommandEvent& event) {
  if (!hasImage) return;
  const double fit = FitZoom(target, AvailableArea());
  const double largest = FitZoom(target, AvailableArea(), kMaxZoom);
  switch (event.GetId()) {
    case ID_FIT:
      SetZoom(fit);
      break;
    case ID_ACTUAL_SIZE:
      SetZoom(fit);
      if (fit < 1.0) ShowActivity("At 100 % the picture does not fit on the screen");
      break;
    case ID_ZOOM_IN:
      SetZoom(StepZoom(zoom, true, largest));
      break;
    case ID_ZOOM_OUT:
      SetZoom(StepZoom(zoom, false, largest));
      break;
    default:
      break;
  }
}

void QuadrixFrame::OnUpdateNeedsPhoto(wxUpdateUIEvent& event) {
  switch (event.GetId()) {
    case ID_UNDO_STROKE:
      event.Enable(hasImage && painter.CanUndo());
      break;
    case ID_REDO_STROKE:
      event.Enable(hasImage && painter.CanRedo());
      break;
    default:
      event.Enable(hasImage);
  }
}

void QuadrixFrame::ShowEnergyNotice() {
  wxString notice;
  if (!host.notice().empty()) notice = wxString::FromUTF8("Flat importance map: " + host.notice());
  // Said once per process by the host; a missing cascade is an install matter.
  if (!host.faceNotice().empty()) std::fprintf(stderr, "quadrix: %s\n", host.faceNotice().c_str());
  // The one case left where the picture cannot be content-aware; said on
  // standard error too.
  if (!host.contentAware()) {
    notice = "The energy could not be factored: plain scaling";
    const std::string line = host.UniformFallbackNotice();
    if (!line.empty()) std::fprintf(stderr, "quadrix: '%s': %s\n", photoPath.c_str(), line.c_str());
  }
  ShowStatus(notice, kNoticeField);
}

void QuadrixFrame::ShowBrush() {
  static const char* const kNames[] = {"Protect", "Absorb", "Restore"};
  if (brush)
    ShowActivity(wxString::Format("%s brush, %d px (Esc: none)", kNames[static_cast<int>(*brush)],
                                  static_cast<int>(std::lround(2 * brushRadius))));
  else
    ShowActivity("");
}

void QuadrixFrame::ChooseBrush(std::optional<Brush> chosen) {
  EndStroke();
  brush = chosen;
  for (size_t i = 0; i < brushItems.size(); ++i)
    brushItems[i]->Check(brush && static_cast<size_t>(*brush) == i);
  if (renderState) renderState->showOverlay = brush.has_value();
  glWindow->SetCursor(brush ? wxCursor(wxCURSOR_CROSS) : wxNullCursor);
  ShowBrush();
  Refresh();
}

void QuadrixFrame::OnPaintMenu(wxCommandEvent& event) {
  if (!hasImage) return;
  switch (event.GetId()) {
    case ID_PROTECT:
    case ID_ABSORB:
    case ID_RESTORE: {
      // Picking the brush in hand puts it down.
      const auto picked = static_cast<Brush>(event.GetId() - ID_PROTECT);
      ChooseBrush(brush == picked ? std::nullopt : std::optional<Brush>(picked));
      break;
    }
    case ID_BIGGER_BRUSH:
      brushRadius = std::min(400.0, brushRadius * 1.25);
      ShowBrush();
      break;
    case ID_SMALLER_BRUSH:
      brushRadius = std::max(2.0, brushRadius / 1.25);
      ShowBrush();
      break;
    case ID_UNDO_STROKE:
    case ID_REDO_STROKE: {
      EndStroke();
      const cv::Rect rect = event.GetId() == ID_UNDO_STROKE ? painter.Undo() : painter.Redo();
      if (!rect.empty()) MapChanged(rect);
      break;
    }
    default:
      break;
  }
}

void QuadrixFrame::OnMouse(wxMouseEvent& event) {
  if (!brush || !hasImage || !renderState || !renderState->ready) {
    event.Skip();
    return;
  }
  if (event.LeftDown()) {
    painter.BeginStroke(*brush);
    stroking = true;
    strokeRect = {};
    if (!glWindow->HasCapture()) glWindow->CaptureMouse();
    lastDab = event.GetPosition();
    DabAt(lastDab);
  } else if (event.Dragging() && stroking) {
    // Discs close enough together to make a line.
    const wxPoint to = event.GetPosition();
    const double length = std::hypot(to.x - lastDab.x, to.y - lastDab.y);
    const int steps = std::max(1, static_cast<int>(std::ceil(length / (brushRadius / 3))));
    for (int k = 1; k <= steps; ++k)
      DabAt(wxPoint(lastDab.x + (to.x - lastDab.x) * k / steps,
                    lastDab.y + (to.y - lastDab.y) * k / steps));
    lastDab = to;
  } else if (event.LeftUp()) {
    EndStroke();
  }
  event.Skip();
}

void QuadrixFrame::DabAt(wxPoint viewPoint) {
  // Drawing area -> target -> source, through the mesh as shown.
  const wxSize area = glWindow->GetClientSize();
  const cv::Rect picture =
      pictureFills ? cv::Rect(0, 0, area.x, area.y) : PictureRect({area.x, area.y}, target, zoom);
  if (picture.empty() || target.area() <= 0) return;
  const double perView = static_cast<double>(target.width) / picture.width;
  const cv::Point2d p((viewPoint.x - picture.x) * perView, (viewPoint.y - picture.y) * perView);
  std::vector<float> uniform;
  std::span<const float> xy(host.solution());
  if (uniformMode || comparing) {
    BuildUniformGrid(vxCount, vyCount, target.width, target.height, uniform);
    xy = uniform;
  }
  cv::Point2d at;
  double scale = 1.0;
  if (!MeshPointToSource(vxCount, vyCount, xy, {host.srcWidth(), host.srcHeight()}, p, at, scale))
    return;
  const cv::Rect rect = painter.Dab(at, brushRadius * perView * scale);
  if (rect.empty()) return;
  strokeRect |= rect;
  UpdateOverlayRect(rect);
  Refresh();
}

void QuadrixFrame::EndStroke() {
  if (!stroking) return;
  stroking = false;
  if (glWindow->HasCapture()) glWindow->ReleaseMouse();
  if (painter.EndStroke()) MapChanged(strokeRect);
}

void QuadrixFrame::UpdateOverlayRect(cv::Rect rect) {
  if (!renderState->overlayTexture) return;
  // The overlay's texels over `rect`, each the stroke at its centre.
  const int s = overlayStep;
  const cv::Mat& strokes = painter.Strokes();
  const cv::Rect texels(rect.x / s, rect.y / s, (rect.x + rect.width + s - 1) / s - rect.x / s,
                        (rect.y + rect.height + s - 1) / s - rect.y / s);
  cv::Mat rgba(texels.size(), CV_8UC4);
  for (int y = 0; y < texels.height; ++y)
    for (int x = 0; x < texels.width; ++x) {
      const int sx = std::min(strokes.cols - 1, (texels.x + x) * s + s / 2);
      const int sy = std::min(strokes.rows - 1, (texels.y + y) * s + s / 2);
      const uchar label = strokes.at<uchar>(sy, sx);
      // Protect green, Absorb magenta, nothing clear.
      rgba.at<cv::Vec4b>(y, x) = label == 1   ? cv::Vec4b(40, 210, 70, 110)
                                 : label == 2 ? cv::Vec4b(230, 40, 170, 110)
                                              : cv::Vec4b(0, 0, 0, 0);
    }
  glWindow->MakeCurrent();
  UpdateOverlay(*renderState, texels, rgba);
}

void QuadrixFrame::MapChanged(cv::Rect rect) {
  glWindow->MakeCurrent();
  UpdateImageTextureRows(*renderState, 1, painter.Map(), rect.y, rect.height);
  UpdateOverlayRect(rect);
  DrawQuicklyForAWhile();
  Refresh();
  StartRebuild();
}

void QuadrixFrame::StartRebuild() {
  const int generation = ++rebuildGeneration;
  const cv::Size solveFor = target;
  const auto start = Clock::now();
  // With the parts that only change the energy (the others need a new load).
  auto fresh = std::make_shared<ResizeHost>(host.CopyForImportance(painter.Map().clone(), parts));
  ShowActivity(wxString::FromUTF8("Rebuilding the energy…"));
  if (host.engine() != nullptr) {
    // An outside engine has one workspace, which the host shown solves in:
    // it cannot build another energy meanwhile.
    try {
      wxBusyCursor busy;
      fresh->BuildEquationA();
      fresh->Resize(solveFor.width, solveFor.height);
    } catch (const EngineError& e) {
      Fail(wxString::FromUTF8(e.what()));
      return;
    }
    OnRebuilt(fresh, generation, solveFor,
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    return;
  }
  work.Start([this, fresh, generation, solveFor, start](const BackgroundWork::Job& job) {
    std::string failure;
    try {
      fresh->BuildEquationA();
      if (job.Cancelled()) return;
      fresh->Resize(solveFor.width, solveFor.height);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    job.Post([this, fresh, generation, solveFor, ms, failure] {
      if (failure.empty())
        OnRebuilt(fresh, generation, solveFor, ms);
      else
        Fail(wxString::FromUTF8(failure));
    });
  });
}

void QuadrixFrame::OnPartMenu(wxCommandEvent& event) {
  const bool on = event.IsChecked();
  switch (event.GetId()) {
    case ID_PART_SHARP:
      parts.sharp = on;
      break;
    case ID_PART_STRAIGHT:
      parts.straight = on;
      break;
    case ID_PART_EVEN:
      parts.even = on;
      break;
    case ID_PART_FACES:
      parts.faces = on;
      break;
    default:
      parts.shapes = on;
  }
  if (!hasImage) return;
  // The rest grid, the picture's pixels and a computed map depend on the
  // first two: the photo loads again. The others rebuild the energy only,
  // painted strokes and all.
  if (parts.sharp != host.settings().parts.sharp || parts.faces != host.settings().parts.faces)
    StartLoad(photoPath, salPath, false);
  else
    StartRebuild();
}

void QuadrixFrame::OnRebuilt(std::shared_ptr<ResizeHost> rebuilt, int generation,
                             cv::Size solvedFor, double ms) {
  if (generation != rebuildGeneration || !hasImage || failed) return;
  // The energy shown until now is freed on the worker's thread; no newer
  // job is under way (the generation would differ).
  auto old = std::make_shared<ResizeHost>(std::move(host));
  host = std::move(*rebuilt);
  work.Start([old](const BackgroundWork::Job&) {});
  ShowEnergyNotice();
  if (target != solvedFor) {
    SolveAndShow();
  } else {
    if (uniformMode || comparing)
      FillUniformGrid();
    else
      FillSolvedGrid();
    Refresh();
  }
  ShowActivity(wxString::Format("Energy rebuilt in %.0f ms", ms));
}

void QuadrixFrame::OnImportanceFile(wxCommandEvent& event) {
  if (!hasImage) return;
  const wxString formats =
      "PNG image (*.png)|*.png|TIFF image (*.tif;*.tiff)|*.tif;*.tiff|BMP image (*.bmp)|*.bmp";
  if (event.GetId() == ID_SAVE_IMPORTANCE) {
    wxFileDialog dialog(this, "Save Importance", "", "importance.png", formats,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK) return;
    std::string path(dialog.GetPath().fn_str());
    if (fs::path(path).extension().empty()) path += ".png";
    try {
      // The 8-bit format of an importance file, as quadrix-cli writes it.
      WriteImportance(path, painter.Map());
    } catch (const std::exception& e) {
      wxMessageBox(wxString::FromUTF8(e.what()), "Error", wxOK | wxICON_ERROR, this);
      return;
    }
    ShowActivity(wxString::FromUTF8("Saved " + path));
    return;
  }
  wxFileDialog dialog(this, "Load Importance", "", "",
                      "Images (*.png;*.tif;*.tiff;*.bmp;*.jpg;*.jpeg;*.webp)|"
                      "*.png;*.tif;*.tiff;*.bmp;*.jpg;*.jpeg;*.webp|All files|*",
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return;
  const std::string path(dialog.GetPath().fn_str());
  cv::Mat grey;
  std::string why;
  try {
    grey = ReadImageFile(path, ImageMode::kGrey, maxPixels);
  } catch (const ImageFileError& e) {
    why = "Cannot read the importance image '" + path + "': " + e.what() + ".";
  }
  const cv::Size aligned(host.srcWidth(), host.srcHeight());
  if (why.empty() && AlignedSize(grey.size(), host.settings().quadSize) != aligned)
    why = "The importance image '" + path + "' of " + std::to_string(grey.cols) + " x " +
          std::to_string(grey.rows) + " pixels does not fit the photo (" +
          std::to_string(aligned.width) + " x " + std::to_string(aligned.height) +
          " pixels in whole quads).";
  if (!why.empty()) {
    wxMessageBox(wxString::FromUTF8(why), "Error", wxOK | wxICON_ERROR, this);
    return;
  }
  // Aligned as the host aligns a file given on the command line.
  if (grey.size() != aligned) cv::resize(grey, grey, aligned, 0, 0, cv::INTER_LINEAR);
  EndStroke();
  painter.Reset(ImportanceFromGrey(grey));
  if (renderState->overlayTexture)
    CreateOverlayTexture(*renderState, OverlaySize({host.srcWidth(), host.srcHeight()}));
  glWindow->MakeCurrent();
  UpdateImageTextureRows(*renderState, 1, painter.Map(), 0, host.srcHeight());
  Refresh();
  StartRebuild();
}

void QuadrixFrame::OnTick() {
  if (tickLog == nullptr) return;
  // The wall clock, and the time this thread has run: on a busy machine the
  // two tell a stall of the window's own from a wait for the processor.
  const auto now = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch());
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  std::fprintf(tickLog, "%.3f %.3f\n", now.count(), cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6);
  std::fflush(tickLog);
}

void QuadrixFrame::Fail(const wxString& message) {
  if (failed) return;
  failed = true;
  work.Cancel();
  if (renderState) renderState->ready = false;
  SetExitStatus(kExitFailure);
  wxMessageBox(message, "Error", wxOK | wxICON_ERROR);
  Destroy();
}

void QuadrixFrame::ShowSizeAndTime(double solveMs) {
  ShowStatus(wxString::Format("%d x %d  (%d %%)", target.width, target.height,
                              static_cast<int>(std::lround(zoom * 100))),
             kSizeField);
  if (solveMs >= 0) ShowStatus(wxString::Format("solved in %.1f ms", solveMs), kActivityField);
}

void QuadrixFrame::ShowActivity(const wxString& text) { ShowStatus(text, kActivityField); }

void QuadrixFrame::ShowStatus(const wxString& text, int field) {
  // The toolkit's status bar repaints the whole window at once on every new
  // text, the drawing area with it: new texts wait for the next turn of the
  // event loop, and only the last one of each field is shown.
  const bool scheduled = statusPending.any();
  statusTexts[static_cast<size_t>(field)] = text;
  statusPending.set(static_cast<size_t>(field));
  if (!scheduled)
    CallAfter([this] {
      for (size_t i = 0; i < statusTexts.size(); ++i)
        if (statusPending.test(i) &&
            GetStatusBar()->GetStatusText(static_cast<int>(i)) != statusTexts[i])
          SetStatusText(statusTexts[i], static_cast<int>(i));
      statusPending.reset();
    });
}

}  // namespace quadrix
