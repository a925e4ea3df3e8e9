#include "shell/file_dialogs.hpp"

#include <wx/config.h>
#include <wx/filedlg.h>
#include <wx/filedlgcustomize.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "core/outputs.hpp"
#include "imageio/image_file.hpp"
#include "imageio/metadata.hpp"
#include "interop_gl/photo_warp.hpp"
#include "interop_gl/pictures.hpp"
#include "shell/save_names.hpp"

namespace quadrix {

namespace {

namespace fs = std::filesystem;

// Save Picture's own choices, below the file dialog's.
class SaveChoices : public wxFileDialogCustomizeHook {
 public:
  static constexpr int kQualities[] = {100, 95, 90, 85, 80, 75, 70, 60, 50};

  // The quality chosen last time, kept in the user's settings.
  SaveChoices() {
    long saved = kDefaultJpegQuality;
    wxConfigBase::Get()->Read(kQualityKey, &saved, kDefaultJpegQuality);
    for (const int q : kQualities)
      if (q == saved) qualityValue = q;
  }

  void AddCustomControls(wxFileDialogCustomize& customizer) override {
    asShown_ = customizer.AddCheckBox("Save the view as shown (grid, importance, plain scaling)");
    customizer.AddStaticText("JPEG quality:");
    wxString labels[std::size(kQualities)];
    for (size_t i = 0; i < std::size(kQualities); ++i)
      labels[i] = wxString::Format("%d", kQualities[i]);
    quality_ = customizer.AddChoice(std::size(kQualities), labels);
    for (size_t i = 0; i < std::size(kQualities); ++i)
      if (kQualities[i] == qualityValue) quality_->SetSelection(static_cast<int>(i));
  }
  void TransferDataFromCustomControls() override {
    asShownValue = asShown_->GetValue();
    const int i = quality_->GetSelection();
    if (i >= 0 && i < static_cast<int>(std::size(kQualities))) qualityValue = kQualities[i];
    wxConfigBase::Get()->Write(kQualityKey, static_cast<long>(qualityValue));
  }

  static constexpr const char* kQualityKey = "/SavePicture/JpegQuality";
  bool asShownValue = false;
  int qualityValue = kDefaultJpegQuality;

 private:
  wxFileDialogCheckBox* asShown_ = nullptr;
  wxFileDialogChoice* quality_ = nullptr;
};

// The photo at its own depth and with its transparency, when it has
// either: the window holds it as 8-bit colour on white. Empty otherwise, or
// when its file no longer holds the photo that is open.
cv::Mat FullDepthPhoto(const std::string& photoPath, const ResizeHost& host) {
  if (photoPath.empty()) return {};
  try {
    const ImageInfo info = ReadImageInfo(photoPath);
    if (!info.alpha && info.depth != 16) return {};
    cv::Mat full = ReadImageFile(photoPath, ImageMode::kDeep, host.settings().maxPixels);
    return full.size() == host.RestSize() ? full : cv::Mat();
  } catch (const ImageFileError&) {
    return {};
  }
}

// Saving over the photo itself throws its pixels away for good: say so,
// and make No the answer that Enter gives.
bool ConfirmReplacingPhoto(wxWindow* parent, const std::string& photoPath, cv::Size rest,
                           cv::Size size) {
  const wxString text = wxString::Format(
      "'%s' is the photo that is open.\n\nReplacing it loses its original %d x %d pixels "
      "for good: the file will hold this picture of %d x %d instead.\n\nReplace the photo?",
      wxString::FromUTF8(fs::path(photoPath).filename().string()), rest.width, rest.height,
      size.width, size.height);
  wxMessageDialog ask(parent, text, "Replace the Photo", wxYES_NO | wxNO_DEFAULT | wxICON_WARNING);
  return ask.ShowModal() == wxID_YES;
}

void ShowError(wxWindow* parent, const std::string& message) {
  wxMessageBox(wxString::FromUTF8(message), "Error", wxOK | wxICON_ERROR, parent);
}

}  // namespace

std::string AskPhotoToOpen(wxWindow* parent) {
  wxFileDialog dialog(parent, "Open Image", "", "",
                      "Images (*.jpg;*.jpeg;*.png;*.bmp;*.tif;*.tiff;*.webp)|"
                      "*.jpg;*.jpeg;*.png;*.bmp;*.tif;*.tiff;*.webp;*.JPG;*.JPEG;*.PNG|"
                      "All files|*",
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return {};
  return std::string(dialog.GetPath().fn_str());
}

void SavePicture(wxWindow* parent, GlWindow& gl, const PhotoView& view, const RenderState& render,
                 StatusLine& status, const std::string& photoPath) {
  const cv::Size size = view.Target();
  if (size.width < 1 || size.height < 1) {
    wxMessageBox("There is no picture to save: the target size has no area.", "Error",
                 wxOK | wxICON_ERROR, parent);
    return;
  }
  // Every format quadrix-cli -o writes, in the order of the filters.
  static const char* const kExtensions[] = {".png", ".jpg", ".webp", ".tif", ".bmp"};
  static const ImageFormat kFormats[] = {ImageFormat::kPng, ImageFormat::kJpeg, ImageFormat::kWebp,
                                         ImageFormat::kTiff, ImageFormat::kBmp};
  const SuggestedPicture suggested = SuggestPicture(photoPath, size);
  wxFileDialog dialog(parent, "Save Picture", wxString::FromUTF8(suggested.folder),
                      wxString::FromUTF8(suggested.name),
                      "PNG image (*.png)|*.png|JPEG image (*.jpg;*.jpeg)|*.jpg;*.jpeg|"
                      "WebP image (*.webp)|*.webp|TIFF image (*.tif;*.tiff)|*.tif;*.tiff|"
                      "BMP image (*.bmp)|*.bmp",
                      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  for (size_t i = 0; i < std::size(kFormats); ++i)
    if (kFormats[i] == suggested.format) dialog.SetFilterIndex(static_cast<int>(i));
  SaveChoices choices;
  dialog.SetCustomizeHook(choices);
  if (dialog.ShowModal() != wxID_OK) return;
  std::string path(dialog.GetPath().fn_str());
  if (fs::path(path).extension().empty()) {
    // A name typed without extension gets the chosen type's; the dialog
    // asked about replacing the name as typed, so ask again.
    const int filter = dialog.GetFilterIndex();
    path += kExtensions[filter >= 0 && filter < 5 ? filter : 0];
    if (fs::exists(path) &&
        wxMessageBox(wxString::FromUTF8("'" + path + "' exists. Replace it?"), "Save Picture",
                     wxYES_NO | wxICON_QUESTION, parent) != wxYES)
      return;
  }

  if (IsSameFile(path, photoPath) &&
      !ConfirmReplacingPhoto(parent, photoPath, view.Host().RestSize(), size))
    return;

  // The colour picture at the target size, content-aware, without the grid;
  // or, when asked, what the window shows.
  const ResizeHost& host = view.Host();
  const int vx = view.VerticesX();
  const int vy = view.VerticesY();
  const bool asShown = choices.asShownValue;
  const bool plain = asShown && view.ShowsPlainGrid();
  const std::size_t count = static_cast<std::size_t>(vx) * static_cast<std::size_t>(vy);
  std::vector<float> xy;
  if (plain)
    BuildUniformGrid(vx, vy, size.width, size.height, xy);
  else
    xy.assign(host.solution().begin(), host.solution().begin() + 2 * count);
  std::string problem;
  std::vector<std::string> notices;
  {
    wxBusyCursor busy;
    // Drawn off screen by the same picture maker as quadrix-cli -o, so the
    // file is what the command line makes of the same state.
    gl.ReleaseCurrent();
    try {
      const cv::Mat& photo = host.DrawImage();
      const bool grid = asShown && render.showGrid;
      const int texture = asShown ? render.textureIndex : 0;
      cv::Mat picture;
      if (host.settings().parts.sharp && !grid && texture == 0) {
        const cv::Mat full = FullDepthPhoto(photoPath, host);
        picture = PhotoWarper(full.empty() ? photo : full).Render(vx, vy, xy, size);
        const ImageFormat format = FormatForName(path);
        const FormatFit fit = FitFor(format, picture.channels() == 4, picture.depth() == CV_16U);
        notices = fit.Notices(format, "white");
        picture = fit.Apply(picture, cv::Scalar::all(255));
      } else {
        PictureMaker pictures(photo, host.imgSal());
        pictures.SetFiltered(host.settings().parts.sharp);
        picture = pictures.Render(vx, vy, xy, size, grid, texture);
      }
      // The photo's metadata goes with a picture of it (not with one of its
      // importance map); the quality chosen is a JPEG's (a WebP stays
      // lossless).
      const PhotoMetadata meta =
          texture == 0 && !photoPath.empty() ? ReadPhotoMetadata(photoPath) : PhotoMetadata();
      const int quality = FormatForName(path) == ImageFormat::kJpeg ? choices.qualityValue : 0;
      WriteImageAtomically(path, picture, quality, &meta);
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    ShowError(parent, problem);
    return;
  }
  std::string said = "Saved " + path;
  for (const std::string& notice : notices) said += " (" + notice + ")";
  status.ShowActivity(wxString::FromUTF8(said));
}

bool SaveImportance(wxWindow* parent, const cv::Mat& map, StatusLine& status) {
  wxFileDialog dialog(
      parent, "Save Importance", "", "importance.png",
      "PNG image (*.png)|*.png|TIFF image (*.tif;*.tiff)|*.tif;*.tiff|BMP image (*.bmp)|*.bmp",
      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() != wxID_OK) return false;
  std::string path(dialog.GetPath().fn_str());
  if (fs::path(path).extension().empty()) path += ".png";
  try {
    // The 8-bit format of an importance file, as quadrix-cli writes it.
    WriteImportance(path, map);
  } catch (const std::exception& e) {
    ShowError(parent, e.what());
    return false;
  }
  status.ShowActivity(wxString::FromUTF8("Saved " + path));
  return true;
}

cv::Mat AskImportance(wxWindow* parent, const ResizeHost& host, std::int64_t maxPixels) {
  wxFileDialog dialog(parent, "Load Importance", "", "",
                      "Images (*.png;*.tif;*.tiff;*.bmp;*.jpg;*.jpeg;*.webp)|"
                      "*.png;*.tif;*.tiff;*.bmp;*.jpg;*.jpeg;*.webp|All files|*",
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return {};
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
    ShowError(parent, why);
    return {};
  }
  // Aligned as the host aligns a file given on the command line.
  if (grey.size() != aligned) cv::resize(grey, grey, aligned, 0, 0, cv::INTER_LINEAR);
  return grey;
}

}  // namespace quadrix
