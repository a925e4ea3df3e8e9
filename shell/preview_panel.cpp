#include "shell/preview_panel.hpp"

#include <wx/dcbuffer.h>
#include <wx/image.h>
#include <wx/settings.h>

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
  fitted_ = wxBitmap();
  Refresh(false);
}

void PreviewPanel::Clear() {
  picture_.release();
  fitted_ = wxBitmap();
}

void PreviewPanel::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
  dc.Clear();
  // In device pixels: on a HiDPI screen the bitmap carries its scale.
  const double device = GetContentScaleFactor();
  const wxSize logical = GetClientSize();
  const wxSize area(static_cast<int>(logical.x * device), static_cast<int>(logical.y * device));
  if (picture_.empty() || area.x <= 0 || area.y <= 0) return;
  const double scale = std::min(static_cast<double>(area.x) / picture_.cols,
                                static_cast<double>(area.y) / picture_.rows);
  const cv::Size fit(std::max(1, static_cast<int>(picture_.cols * scale)),
                     std::max(1, static_cast<int>(picture_.rows * scale)));
  // Scaled and converted once per size: paints come often while the
  // window settles, and each one holds the event loop.
  if (!fitted_.IsOk() || fitted_.GetWidth() != fit.width || fitted_.GetHeight() != fit.height) {
    // The preview comes near the screen's size: bilinear is enough unless
    // it is reduced by half or more.
    cv::Mat scaled;
    cv::resize(picture_, scaled, fit, 0, 0, scale < 0.5 ? cv::INTER_AREA : cv::INTER_LINEAR);
    // wxImage wants its own RGB buffer: it is given a copy it may free.
    wxImage image(fit.width, fit.height, false);
    unsigned char* out = image.GetData();
    for (int y = 0; y < fit.height; ++y) {
      const unsigned char* in = scaled.ptr<unsigned char>(y);
      for (int x = 0; x < fit.width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
    }
    fitted_ = wxBitmap(image, -1, device);
  }
  dc.DrawBitmap(fitted_, static_cast<int>((area.x - fit.width) / 2 / device),
                static_cast<int>((area.y - fit.height) / 2 / device));
}

}  // namespace quadrix
