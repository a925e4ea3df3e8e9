#include "shell/preview_panel.hpp"

#include <wx/dcbuffer.h>
#include <wx/image.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace quadrix {

PreviewPanel::PreviewPanel(wxWindow* parent) : wxPanel(parent) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &PreviewPanel::OnPaint, this);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    Refresh(false);
    e.Skip();
  });
}

void PreviewPanel::SetPicture(const cv::Mat& picture) {
  picture_ = picture;
  fitted_.release();
  Refresh(false);
}

void PreviewPanel::Clear() {
  picture_.release();
  fitted_.release();
}

void PreviewPanel::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  const wxSize area = GetClientSize();
  if (picture_.empty() || area.x <= 0 || area.y <= 0) return;
  const double scale = std::min(static_cast<double>(area.x) / picture_.cols,
                                static_cast<double>(area.y) / picture_.rows);
  const cv::Size fit(std::max(1, static_cast<int>(picture_.cols * scale)),
                     std::max(1, static_cast<int>(picture_.rows * scale)));
  if (fitted_.size() != fit) {
    cv::Mat scaled;
    cv::resize(picture_, scaled, fit, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::cvtColor(scaled, fitted_, cv::COLOR_BGR2RGB);
  }
  // wxImage wants its own buffer: it is given a copy it may free.
  wxImage image(fit.width, fit.height, false);
  for (int y = 0; y < fit.height; ++y)
    std::copy_n(fitted_.ptr<unsigned char>(y), 3 * fit.width,
                image.GetData() + static_cast<size_t>(3) * fit.width * y);
  dc.DrawBitmap(wxBitmap(image), (area.x - fit.width) / 2, (area.y - fit.height) / 2);
}

}  // namespace quadrix
