#include "shell/quadrix_frame.hpp"

#include <wx/config.h>
#include <wx/dnd.h>
#include <wx/filehistory.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/environment.hpp"
#include "shell/file_dialogs.hpp"
#include "shell/gtk_screen.hpp"
#include "shell/help_dialogs.hpp"
#include "shell/importance_brush.hpp"
#include "shell/launch.hpp"
#include "shell/photo_session.hpp"
#include "shell/photo_view.hpp"
#include "shell/save_names.hpp"
#include "shell/set_size_dialog.hpp"
#include "shell/status_line.hpp"

namespace quadrix {

namespace {

// Where File > Open Recent is kept in the user's configuration.
constexpr char kRecentGroup[] = "/RecentFiles";

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// The "Error" box of a failed load: what went wrong with the file, and
// nothing else.
void ShowLoadError(wxWindow* parent, const std::string& why) {
  wxMessageDialog box(parent, wxString::FromUTF8(why), "Error", wxOK | wxICON_ERROR);
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

}  // namespace

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
  EVT_MENU(ID_FULL_SIZE_SOLVE, QuadrixFrame::OnFullSizeSolve)
  EVT_MENU_RANGE(wxID_FILE1, wxID_FILE9, QuadrixFrame::OnRecent)
  EVT_MENU(ID_SHORTCUTS, QuadrixFrame::OnShortcuts)
  EVT_MENU(ID_ABOUT, QuadrixFrame::OnAbout)
  EVT_UPDATE_UI_RANGE(ID_SAVE_PICTURE, ID_REDO_STROKE, QuadrixFrame::OnUpdateNeedsPhoto)
  EVT_CHAR_HOOK(QuadrixFrame::OnCharHook)
wxEND_EVENT_TABLE();
// clang-format on

QuadrixFrame::QuadrixFrame(const wxString& title, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, size, wxDEFAULT_FRAME_STYLE, "frame"),
      work([this](std::function<void()> fn) { CallAfter(std::move(fn)); }) {
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
  if (std::getenv(kEnvNoSharedContext) == nullptr) sharedContext = glWindow->MakeSharedContext();

  SetIcons(AppIcons());
  SetMenuBar(MakeMenuBar(parts, menuItems));
  MakeRecentMenu();
  status = std::make_unique<StatusLine>(*this);
  MakeHint();
  MakeParts();
  tickLog = std::make_unique<TickLog>();

  try {
    resizeSettings = SettingsFromEnvironment();
    resizeSettings.useScaleTerm = TheLaunchSettings().useScaleTerm;
    // Standard output stays quiet unless asked, as with quadrix-cli.
    resizeSettings.printDiagnostics = TheLaunchSettings().verbose;
    workSide = resizeSettings.workSide > 0 ? resizeSettings.workSide : kDefaultWorkSide;
    menuItems.fullSize->Check(resizeSettings.workSide == 0);
  } catch (const std::invalid_argument& e) {  // QUADRIX_MIN_SCALE, _MAX_PIXELS, _WORK_SIZE
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  LoadSource();
}

void QuadrixFrame::MakeHint() {
  hintPanel = new wxPanel(this);
  // The theme's view colours, light or dark, as the drawing area has them.
  hintPanel->SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));
  hintText = new wxStaticText(hintPanel, wxID_ANY, kOpenHint);
  hintText->SetForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
  Bind(wxEVT_SYS_COLOUR_CHANGED, [this](wxSysColourChangedEvent& e) {
    hintPanel->SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));
    hintText->SetForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
    Refresh();
    e.Skip();
  });
  auto* hintSizer = new wxBoxSizer(wxVERTICAL);
  hintSizer->AddStretchSpacer();
  hintSizer->Add(hintText, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 12);
  hintSizer->AddStretchSpacer();
  hintPanel->SetSizer(hintSizer);
  previewPanel = new PreviewPanel(this);
  previewPanel->Hide();
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(glWindow, 1, wxEXPAND);
  sizer->Add(hintPanel, 1, wxEXPAND);
  sizer->Add(previewPanel, 1, wxEXPAND);
  SetSizer(sizer);
  glWindow->SetDropTarget(new ImageDropTarget(this));
  hintPanel->SetDropTarget(new ImageDropTarget(this));
  previewPanel->SetDropTarget(new ImageDropTarget(this));
}

void QuadrixFrame::MakeRecentMenu() {
  recent = std::make_unique<wxFileHistory>(9);
  recent->UseMenu(menuItems.recent);
  wxConfigBase* config = wxConfigBase::Get();
  config->SetPath(kRecentGroup);
  recent->Load(*config);
  config->SetPath("/");
}

void QuadrixFrame::RememberRecent(const std::string& path, bool keep) {
  std::error_code ec;
  const wxString full = wxString::FromUTF8(std::filesystem::absolute(path, ec).string());
  if (keep)
    recent->AddFileToHistory(full);
  else
    for (size_t i = 0; i < recent->GetCount(); ++i)
      if (recent->GetHistoryFile(i) == full) {
        recent->RemoveFileFromHistory(i);
        break;
      }
  wxConfigBase* config = wxConfigBase::Get();
  config->SetPath(kRecentGroup);
  recent->Save(*config);
  config->SetPath("/");
  config->Flush();
}

void QuadrixFrame::OnRecent(wxCommandEvent& event) {
  const size_t index = static_cast<size_t>(event.GetId() - wxID_FILE1);
  if (index >= recent->GetCount()) return;
  const std::string path(recent->GetHistoryFile(index).utf8_str());
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    RememberRecent(path, false);
    ShowLoadError(this, "'" + path + "' is no longer there.");
    return;
  }
  OpenImage(path);
}

void QuadrixFrame::OnShortcuts(wxCommandEvent&) { ShowShortcuts(this, *GetMenuBar()); }

void QuadrixFrame::OnAbout(wxCommandEvent&) { ShowAbout(this); }

void QuadrixFrame::MakeParts() {
  view = std::make_unique<PhotoView>(*this, *glWindow, *renderState, *status);
  brush = std::make_unique<ImportanceBrush>(*this, *glWindow, *renderState, *view, *status, work,
                                            menuItems.brushes);
  session = std::make_unique<PhotoSession>(*this, *glWindow, work);
  auto fail = [this](const wxString& message) { Fail(message); };
  connections.emplace_back(glWindow->drawSignal.connect([this] { view->Draw(brush->InHand()); }));
  connections.emplace_back(
      glWindow->sizeSignal.connect([this](int w, int h) { view->OnAreaSize(w, h); }));
  connections.emplace_back(view->failed.connect(fail));
  connections.emplace_back(brush->failed.connect(fail));
  connections.emplace_back(brush->energyChanged.connect([this] { ShowEnergyNotice(); }));
  connections.emplace_back(session->engineFailed.connect(fail));
  connections.emplace_back(session->stepped.connect(
      [this](LoadStep step, cv::Size aligned) { OnLoadStep(step, aligned); }));
  connections.emplace_back(
      session->loadFailed.connect([this](const std::string& why) { OnLoadFailed(why); }));
  connections.emplace_back(
      session->previewed.connect([this](const cv::Mat& picture) { ShowPreview(picture); }));
  connections.emplace_back(
      session->loaded.connect([this](PhotoUpload& done) { InstallPhoto(done); }));

  glWindow->Bind(wxEVT_KEY_UP, &QuadrixFrame::OnKeyUp, this);
  for (const auto type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_MOTION})
    glWindow->Bind(type, &ImportanceBrush::OnMouse, brush.get());
  glWindow->Bind(wxEVT_MOUSE_CAPTURE_LOST,
                 [this](wxMouseCaptureLostEvent&) { brush->EndStroke(); });
  glWindow->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) {
    view->SetCompare(false);
    e.Skip();
  });
}

QuadrixFrame::~QuadrixFrame() {
  work.Cancel();
  connections.clear();
  tickLog.reset();
  if (renderState) {
    // GL objects go with the context that made them.
    if (glWindow != nullptr && glWindow->MakeCurrent()) {
      if (session) session->StopUpload();
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
  if (!renderState || failed || !MayDropStrokes()) return;
  StartLoad(path, "", false);
}

bool QuadrixFrame::MayDropStrokes() {
  if (!view || !view->HasPhoto() || !brush) return true;
  brush->EndStroke();
  if (!brush->HasUnsavedStrokes()) return true;
  wxMessageDialog ask(
      this, wxString::FromUTF8("Save the importance painted on '" + FileName(photoPath) + "'?"),
      "Unsaved Importance", wxYES_NO | wxCANCEL | wxICON_WARNING);
  ask.SetExtendedMessage("The strokes are lost unless they are saved.");
  ask.SetYesNoCancelLabels(wxString::FromUTF8("Save Importance…"), "Discard", "Cancel");
  switch (ask.ShowModal()) {
    case wxID_YES:
      if (!SaveImportance(this, brush->Map(), *status)) return false;
      brush->MarkSaved();
      return true;
    case wxID_NO:
      return true;
    default:
      return false;
  }
}

void QuadrixFrame::StartLoad(const std::string& srcPath, const std::string& salPath,
                             bool endOnFailure) {
  work.Cancel();
  brush->Interrupt();
  session->StopUpload();
  endOnLoadFailure = endOnFailure;
  const wxString loading = wxString::FromUTF8("Loading '" + FileName(srcPath) + "'…");
  ResizeSettings settings = resizeSettings;
  settings.parts = parts;
  std::shared_ptr<ResizeHost> fresh;
  try {
    // An outside engine has one workspace for every host: the photo shown
    // cannot be solved again once the new one is factored there.
    if (view->Host().engine() != nullptr && view->HasPhoto()) ShowEmpty(loading);
    // Made here, so that an outside engine is started by the GUI thread
    // (the engine's process ends with the thread that started it).
    fresh = std::make_shared<ResizeHost>(settings);
  } catch (const EngineError& e) {
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  if (!view->HasPhoto()) ShowEmpty(loading);
  status->ShowActivity(loading);
  pendingSalPath = salPath;
  session->Start({srcPath, salPath, maxTextureSide}, fresh, sharedContext.get());
}

void QuadrixFrame::OnLoadStep(LoadStep step, cv::Size aligned) {
  static const char* const kSteps[] = {
      "reading the photo",    "importance map", "finding lines, building the energy",
      "factoring the energy", "first solve",    "preparing the picture"};
  status->ShowActivity(wxString::FromUTF8("Loading: ") + kSteps[static_cast<int>(step)] +
                       wxString::FromUTF8("…"));
  if (step == LoadStep::kImportance && !view->HasPhoto()) view->Announce(aligned);
}

void QuadrixFrame::InstallPhoto(PhotoUpload& done) {
  photoPath = done.photo->srcPath;
  salPath = pendingSalPath;
  // The old host and the texels are freed on the worker's thread: freeing
  // a large photo takes a while.
  const cv::Size colourSize = done.photo->colourSize;
  auto old = view->SwapHost(std::move(done.photo->host));
  auto oldPainter = brush->SwapPainter(std::move(done.photo->painter));
  work.Start([old, oldPainter, photo = std::move(done.photo)](const BackgroundWork::Job&) {});

  previewPanel->Hide();
  previewPanel->Clear();
  view->Install(std::move(done.colour), std::move(done.importance), colourSize);
  ShowEnergyNotice();
  brush->Install(std::move(done.overlay));
  view->ShowRest();
  hintPanel->Hide();
  glWindow->Show();
  Layout();
  view->FillGrid();
  view->ShowSizeAndTime(-1.0);
  SetTitle(wxString::FromUTF8(WindowTitle(photoPath, view->Host().PhotoSize())));
  status->ShowActivity(wxString::FromUTF8("Opened '" + FileName(photoPath) + "'"));
  RememberRecent(photoPath, true);
  glWindow->SetFocus();
  Refresh();
}

void QuadrixFrame::OnLoadFailed(const std::string& why) {
  status->ShowActivity("");
  HidePreview();
  if (endOnLoadFailure && !view->HasPhoto()) {
    // The classic command line: the program ends with its box.
    failed = true;
    SetExitStatus(kExitFailure);
    ShowLoadError(nullptr, why);
    Destroy();
    return;
  }
  if (!view->HasPhoto()) ShowEmpty(kOpenHint);
  ShowLoadError(this, why);  // what is shown stays
}

void QuadrixFrame::ShowPreview(const cv::Mat& picture) {
  previewPanel->SetPicture(picture);
  if (previewPanel->IsShown()) return;
  hintPanel->Hide();
  glWindow->Hide();
  previewPanel->Show();
  Layout();
}

void QuadrixFrame::HidePreview() {
  if (!previewPanel->IsShown()) return;
  previewPanel->Hide();
  previewPanel->Clear();
  if (view->HasPhoto()) {
    glWindow->Show();
    Layout();
  }
}

void QuadrixFrame::ShowEmpty(const wxString& hint) {
  previewPanel->Hide();
  previewPanel->Clear();
  view->Clear();
  SetTitle(WindowTitle("", {}));
  hintText->SetLabel(hint);
  glWindow->Hide();
  hintPanel->Show();
  Layout();
  hintPanel->Layout();
  status->Show("", StatusLine::kSize);
  status->Show("", StatusLine::kNotice);
  status->Show("", StatusLine::kTime);
}

void QuadrixFrame::OnCharHook(wxKeyEvent& event) {
  if (!view) {
    event.Skip();
    return;
  }
  const int key = event.GetKeyCode();
  if (key == WXK_SPACE && !event.HasAnyModifiers() && view->HasPhoto()) {
    view->SetCompare(true);
    return;
  }
  if (key == WXK_ESCAPE && brush->InHand()) {
    brush->Choose(std::nullopt);
    return;
  }
  bool zoom = false;
  const int id = KeyCommand(event, zoom);
  if (id != 0 && !zoom && view->HasPhoto()) {
    brush->OnCommand(id);
    return;
  }
  if (id != 0 && zoom) {
    view->Zoom(id);
    return;
  }
  event.Skip();
}

void QuadrixFrame::OnKeyUp(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_SPACE) view->SetCompare(false);
  event.Skip();
}

void QuadrixFrame::OnMenu(wxCommandEvent& event) {
  switch (event.GetId()) {
    case ID_SHOW_GRID:
      renderState->showGrid = menuItems.grid->IsChecked();
      break;
    case ID_COLOR_IMAGE:
      renderState->textureIndex = 0;
      break;
    case ID_SALIENCY_IMAGE:
      renderState->textureIndex = 1;
      break;
    case ID_UNIFORM:
      view->SetUniform(true);
      break;
    case ID_RESIZING:
      view->SetUniform(false);
      break;
    default:
      break;
  }
  Refresh();
}

void QuadrixFrame::OnQuit(wxEvent& event) {
  auto* close = dynamic_cast<wxCloseEvent*>(&event);
  const bool mayStay = close == nullptr || close->CanVeto();
  if (mayStay && !failed && !MayDropStrokes()) {
    if (close != nullptr) close->Veto();
    return;
  }
  // Gone from the screen at once; a load under way is cancelled, and the
  // destructor waits for its current step.
  work.Cancel();
  Hide();
  Destroy();
}

void QuadrixFrame::OnOpen(wxCommandEvent&) {
  const std::string path = AskPhotoToOpen(this);
  if (!path.empty()) OpenImage(path);
}

void QuadrixFrame::OnSavePicture(wxCommandEvent&) {
  if (!view->Ready()) return;
  SavePicture(this, *glWindow, *view, *renderState, *status, photoPath);
}

void QuadrixFrame::OnSetSize(wxCommandEvent&) {
  if (!view->HasPhoto()) return;
  SetSizeDialog dialog(this, view->Target(), view->Host().RestSize());
  if (dialog.ShowModal() != wxID_OK) return;
  view->SetTarget(dialog.ChosenSize());
}

void QuadrixFrame::OnZoom(wxCommandEvent& event) { view->Zoom(event.GetId()); }

void QuadrixFrame::OnPaintMenu(wxCommandEvent& event) { brush->OnCommand(event.GetId()); }

void QuadrixFrame::OnImportanceFile(wxCommandEvent& event) {
  if (!view->HasPhoto()) return;
  if (event.GetId() == ID_SAVE_IMPORTANCE) {
    if (SaveImportance(this, brush->Map(), *status)) brush->MarkSaved();
    return;
  }
  const cv::Mat grey = AskImportance(this, view->Host(), resizeSettings.maxPixels);
  if (!grey.empty()) brush->Load(grey);
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
  brush->SetParts(parts);
  if (!view->HasPhoto()) return;
  // The rest grid, the picture's pixels and a computed map depend on the
  // first two: the photo loads again. The others rebuild the energy only,
  // painted strokes and all.
  const ResultParts& shown = view->Host().settings().parts;
  if (parts.sharp == shown.sharp && parts.faces == shown.faces) {
    brush->StartRebuild();
  } else if (MayDropStrokes()) {
    StartLoad(photoPath, salPath, false);
  } else {
    // Kept as shown: the item and the part go back.
    GetMenuBar()->Check(event.GetId(), !on);
    parts.sharp = shown.sharp;
    parts.faces = shown.faces;
    brush->SetParts(parts);
  }
}

void QuadrixFrame::OnFullSizeSolve(wxCommandEvent& event) {
  if (view->HasPhoto() && !MayDropStrokes()) {
    menuItems.fullSize->Check(!event.IsChecked());
    return;
  }
  resizeSettings.workSide = event.IsChecked() ? 0 : workSide;
  if (view->HasPhoto()) StartLoad(photoPath, salPath, false);
}

void QuadrixFrame::OnUpdateNeedsPhoto(wxUpdateUIEvent& event) {
  const bool hasImage = view && view->HasPhoto();
  switch (event.GetId()) {
    case ID_UNDO_STROKE:
      event.Enable(hasImage && brush->CanUndo());
      break;
    case ID_REDO_STROKE:
      event.Enable(hasImage && brush->CanRedo());
      break;
    default:
      event.Enable(hasImage);
  }
}

void QuadrixFrame::ShowEnergyNotice() {
  const ResizeHost& host = view->Host();
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
  status->Show(notice, StatusLine::kNotice);
}

void QuadrixFrame::Fail(const wxString& message) {
  if (failed) return;
  failed = true;
  work.Cancel();
  if (view) view->Halt();
  SetExitStatus(kExitFailure);
  wxMessageBox(message, "Error", wxOK | wxICON_ERROR);
  Destroy();
}

}  // namespace quadrix
