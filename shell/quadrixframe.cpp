#include "shell/quadrixframe.hpp"

#include <unistd.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/statusbr.h>
#include <wx/utils.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/outputs.hpp"
#include "cli/pictures.hpp"
#include "core/inputs.hpp"
#include "shell/launch.hpp"

namespace quadrix {

namespace {

namespace fs = std::filesystem;

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

// A message of the core as a sentence of the box.
std::string Sentence(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text + ".";
}

// Loads the source into `host` and lets it load or compute the importance
// image. The core's input checks come first (so that nothing ends the
// program without a box), then what the display cannot take. `why` names
// the file.
bool LoadImages(ResizeHost& host, const std::string& srcPath, const std::string& salPath,
                std::string& why) {
  InputImages inputs;
  try {
    inputs = ReadInputs(srcPath, salPath, host.quadSize, host.maxPixels);
  } catch (const InputError& e) {
    why = Sentence(e.what());
    if (e.kind() == InputError::Kind::kTooLarge)
      why += " The limit is set by the environment variable QUADRIX_MAX_PIXELS.";
    return false;
  }
  const cv::Size aligned = AlignedSize(inputs.source.size(), host.quadSize);
  GLint maxTexture = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
  if (aligned.width > maxTexture || aligned.height > maxTexture) {
    why = "The source image '" + srcPath + "' of " + SizeText(inputs.source.size()) +
          " pixels is larger than the display can draw (" + std::to_string(maxTexture) +
          " pixels a side).";
    return false;
  }
  try {
    LoadInputs(host, std::move(inputs));
  } catch (const InputError& e) {
    why = Sentence(e.what());
    return false;
  }
  return true;
}

// A photo that will be scaled uniformly is worth a line on standard error.
void TellUniformFallback(const ResizeHost& host, const std::string& path) {
  const std::string notice = host.UniformFallbackNotice();
  if (!notice.empty()) std::fprintf(stderr, "quadrix: '%s': %s\n", path.c_str(), notice.c_str());
}

// The "Error" box of a failed load: the fixed usage text, and below it what
// exactly went wrong.
void ShowLoadError(wxWindow* parent, const std::string& why) {
  wxMessageDialog box(parent, kLoadUsageText, "Error", wxOK | wxICON_ERROR);
  box.SetExtendedMessage(wxString::FromUTF8(why));
  box.ShowModal();
}

class ImageDropTarget : public wxFileDropTarget {
 public:
  explicit ImageDropTarget(QuadrixFrame* frame) : frame_(frame) {}
  bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
    if (files.empty()) return false;
    // Load after the drop has finished: the load blocks and may show a box.
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
wxEND_EVENT_TABLE();
// clang-format on

QuadrixFrame::QuadrixFrame(const wxString& title, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, size, wxDEFAULT_FRAME_STYLE, "frame") {
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

  drawConnection = glWindow->drawSignal.connect([this] { OnDraw(); });
  sizeConnection = glWindow->sizeSignal.connect([this](int w, int h) { OnViewSize(w, h); });

  auto* fileMenu = new wxMenu;
  fileMenu->Append(ID_OPEN, wxString::FromUTF8("Open…\tCtrl+O"), "");
  fileMenu->Append(ID_SAVE_PICTURE, wxString::FromUTF8("Save Picture…\tCtrl+S"), "");
  fileMenu->AppendSeparator();
  fileMenu->Append(ID_EXIT, "Exit\tCtrl+Q", "", wxITEM_NORMAL);
  auto* viewMenu = new wxMenu;
  gridItem = viewMenu->Append(ID_SHOW_GRID, "Show Grid\tCtrl+G", "", wxITEM_CHECK);
  colorItem = viewMenu->Append(ID_COLOR_IMAGE, "Color Image\tCtrl+1", "", wxITEM_RADIO);
  saliencyItem = viewMenu->Append(ID_SALIENCY_IMAGE, "Saliency Image\tCtrl+2", "", wxITEM_RADIO);
  auto* funMenu = new wxMenu;
  funMenu->Append(ID_UNIFORM, "Uniform\tCtrl+U", "", wxITEM_RADIO);
  funMenu->Append(ID_RESIZING, "Resizing\tCtrl+R", "", wxITEM_RADIO)->Check(true);
  menuBar = new wxMenuBar;
  menuBar->Append(fileMenu, "File");
  menuBar->Append(viewMenu, "View");
  menuBar->Append(funMenu, "Fun");
  SetMenuBar(menuBar);

  CreateStatusBar(2);
  glWindow->SetDropTarget(new ImageDropTarget(this));

  LoadSource();
}

QuadrixFrame::~QuadrixFrame() {
  drawConnection.disconnect();
  sizeConnection.disconnect();
  if (renderState) {
    // GL objects go with the context that made them.
    if (glWindow != nullptr && glWindow->MakeCurrent()) ReleaseRenderState(*renderState);
    renderState.reset();
  }
}

void QuadrixFrame::LoadSource() {
  const LaunchSettings& settings = TheLaunchSettings();
  host.useScaleTerm = settings.useScaleTerm;
  try {
    host.maxPixels = MaxPixelsFromEnvironment();
  } catch (const std::invalid_argument& e) {
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  std::string why;
  glWindow->MakeCurrent();
  if (!LoadImages(host, settings.srcPath, settings.salPath, why)) {
    ShowLoadError(nullptr, why);
    failed = true;
    SetExitStatus(kExitFailure);
    Destroy();
    return;
  }
  try {
    host.minScale = MinScaleFromEnvironment();
    host.BuildEquationA();
    TellUniformFallback(host, settings.srcPath);
  } catch (const EngineError& e) {
    Fail(wxString::FromUTF8(e.what()));
    return;
  } catch (const std::invalid_argument& e) {  // QUADRIX_MIN_SCALE
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  ShowLoaded();
}

void QuadrixFrame::ShowLoaded() {
  // Size notifications only record the size until the buffers fit the image.
  renderState->ready = false;
  SetClientSize(host.srcWidth, host.srcHeight);
  renderState->srcWidth = host.srcWidth;
  renderState->srcHeight = host.srcHeight;
  glWindow->MakeCurrent();
  CreateImageTexture(host.imgSrc, *renderState, 0);
  CreateImageTexture(host.imgSal, *renderState, 1);
  vxCount = host.quadCountX + 1;
  vyCount = host.quadCountY + 1;
  CreateMeshBuffers(*renderState, vxCount, vyCount);
  OnViewSize(host.srcWidth, host.srcHeight);
  Refresh();
}

void QuadrixFrame::OpenImage(const std::string& path) {
  if (!renderState || failed) return;
  std::string why;
  try {
    wxBusyCursor busy;
    ResizeHost fresh;
    fresh.useScaleTerm = TheLaunchSettings().useScaleTerm;
    fresh.maxPixels = host.maxPixels;
    glWindow->MakeCurrent();
    if (LoadImages(fresh, path, "", why)) {
      fresh.minScale = host.minScale;
      fresh.BuildEquationA();
      TellUniformFallback(fresh, path);
      host = std::move(fresh);
    }
  } catch (const EngineError& e) {
    Fail(wxString::FromUTF8(e.what()));
    return;
  }
  if (!why.empty()) {
    ShowLoadError(this, why);  // the current image stays
    return;
  }
  ShowLoaded();
}

void QuadrixFrame::OnDraw() { DrawMesh(*renderState); }

void QuadrixFrame::OnViewSize(int width, int height) {
  renderState->newWidth = width;
  renderState->newHeight = height;
  if (!renderState->ready || failed) return;
  const auto start = std::chrono::steady_clock::now();
  try {
    host.Resize(width, height);
  } catch (const std::exception& e) {
    // Not from inside the toolkit's size handling: the box runs its own loop.
    renderState->ready = false;
    CallAfter([this, message = wxString::FromUTF8(e.what())] { Fail(message); });
    return;
  }
  const std::chrono::duration<double, std::milli> solve = std::chrono::steady_clock::now() - start;
  if (uniformMode)
    FillUniformGrid();
  else
    FillSolvedGrid();
  ShowSizeAndTime(width, height, solve.count());
  Refresh();
}

void QuadrixFrame::FillUniformGrid() {
  const wxSize size = glWindow->GetSize();
  std::vector<float> xy;
  BuildUniformGrid(vxCount, vyCount, size.x, size.y, xy);
  glWindow->MakeCurrent();
  UpdateVertices(*renderState, xy.data(), xy.size() / 2);
}

void QuadrixFrame::FillSolvedGrid() {
  glWindow->MakeCurrent();
  UpdateVertices(*renderState, host.solution.data(),
                 static_cast<std::size_t>(vxCount) * static_cast<std::size_t>(vyCount));
}

void QuadrixFrame::OnMenu(wxCommandEvent& event) {
  const wxSize size = GetClientSize();
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
      OnViewSize(size.x, size.y);
      break;
    case ID_RESIZING:
      uniformMode = false;
      OnViewSize(size.x, size.y);
      break;
    default:
      break;
  }
  Refresh();
}

void QuadrixFrame::OnQuit(wxEvent&) { Destroy(); }

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
  if (!renderState || !renderState->ready) return;
  const cv::Size size(renderState->newWidth, renderState->newHeight);
  if (size.width < 1 || size.height < 1) {
    wxMessageBox("There is no picture to save: the window has no area.", "Error",
                 wxOK | wxICON_ERROR, this);
    return;
  }
  wxFileDialog dialog(this, "Save Picture", "",
                      wxString::Format("quadrix_%dx%d.png", size.width, size.height),
                      "PNG image (*.png)|*.png|JPEG image (*.jpg;*.jpeg)|*.jpg;*.jpeg|"
                      "BMP image (*.bmp)|*.bmp|TIFF image (*.tif;*.tiff)|*.tif;*.tiff",
                      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() != wxID_OK) return;
  std::string path(dialog.GetPath().fn_str());
  if (fs::path(path).extension().empty()) {
    // A name typed without extension gets the chosen type's; the dialog
    // asked about replacing the name as typed, so ask again.
    static const char* const kExtensions[] = {".png", ".jpg", ".bmp", ".tif"};
    const int filter = dialog.GetFilterIndex();
    path += kExtensions[filter >= 0 && filter < 4 ? filter : 0];
    if (fs::exists(path) && wxMessageBox(wxString::FromUTF8("'" + path + "' exists. Replace it?"),
                                         "Save Picture", wxYES_NO | wxICON_QUESTION, this) != wxYES)
      return;
  }

  const std::size_t count = static_cast<std::size_t>(vxCount) * static_cast<std::size_t>(vyCount);
  std::vector<float> xy;
  if (uniformMode)
    BuildUniformGrid(vxCount, vyCount, size.width, size.height, xy);
  else
    xy.assign(host.solution.begin(), host.solution.begin() + 2 * count);
  std::string problem;
  {
    wxBusyCursor busy;
    // Drawn off screen by the command line's own picture maker, so the file
    // is what `quadrix-cli -o` makes of the same state.
    glWindow->ReleaseCurrent();
    try {
      PictureMaker pictures(host.imgSrc, host.imgSal);
      WriteImageAtomically(path, pictures.Render(vxCount, vyCount, xy, size, renderState->showGrid,
                                                 renderState->textureIndex));
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    wxMessageBox(wxString::FromUTF8(problem), "Error", wxOK | wxICON_ERROR, this);
    return;
  }
  SetStatusText(wxString::FromUTF8("Saved " + path), 1);
}

void QuadrixFrame::Fail(const wxString& message) {
  if (failed) return;
  failed = true;
  if (renderState) renderState->ready = false;
  SetExitStatus(kExitFailure);
  wxMessageBox(message, "Error", wxOK | wxICON_ERROR);
  Destroy();
}

void QuadrixFrame::ShowSizeAndTime(int width, int height, double solveMs) {
  SetStatusText(wxString::Format("%d x %d", width, height), 0);
  SetStatusText(wxString::Format("solved in %.1f ms", solveMs), 1);
}

}  // namespace quadrix
