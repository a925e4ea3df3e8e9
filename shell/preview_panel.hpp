#pragma once
// The photo plainly scaled to fit, shown while its content-aware picture is
// still being prepared: drawn by the toolkit from a small copy, so it needs
// neither the analysis nor the OpenGL textures.

#include <wx/bitmap.h>
#include <wx/panel.h>

#include <opencv2/core.hpp>

namespace quadrix {

class PreviewPanel : public wxPanel {
 public:
  explicit PreviewPanel(wxWindow* parent);

  // picture: CV_8UC3 BGR, shared. Shown whole, centred, at the largest
  // scale that fits the panel.
  void SetPicture(const cv::Mat& picture);
  void Clear();

 private:
  void OnPaint(wxPaintEvent& event);

  cv::Mat picture_;
  wxBitmap fitted_;  // picture_ at the size last drawn
};

}  // namespace quadrix
