#include "shell/status_line.hpp"

#include <wx/statusbr.h>

#include <cmath>
#include <string>

#include "shell/view_math.hpp"

namespace quadrix {

namespace {

// The width a field needs for `widest` and the bar's own margins.
int FieldWidth(wxStatusBar& bar, const wxString& widest) {
  return bar.GetTextExtent(widest).x + bar.FromDIP(16);
}

}  // namespace

StatusLine::StatusLine(wxFrame& frame) : frame_(frame) {
  wxStatusBar* bar = frame_.CreateStatusBar(kFields);
  // Size and time always whole (the last field also holds the size grip);
  // what is left goes to the activity first.
  const int widths[kFields] = {FieldWidth(*bar, wxString::FromUTF8("32768 × 32768  (800 %)")), -3,
                               -2, FieldWidth(*bar, "solve 999.9 ms") + bar->FromDIP(24)};
  frame_.SetStatusWidths(kFields, widths);
  bar->Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    UpdateTooltip();
    e.Skip();
  });
}

void StatusLine::ShowSizeAndTime(cv::Size target, double zoom, double solveMs) {
  // Whole percents, but a tenth below 10 %: a huge target fits at 2.5 %.
  const wxString percent = zoom < 0.0995 ? wxString::Format("%.1f", zoom * 100)
                                         : wxString::Format("%ld", std::lround(zoom * 100));
  Show(wxString::FromUTF8(std::to_string(target.width) + " × " + std::to_string(target.height) +
                          "  (") +
           percent + " %)",
       kSize);
  if (solveMs >= 0) Show(wxString::FromUTF8("solve " + FormatDuration(solveMs)), kTime);
}

void StatusLine::Show(const wxString& text, Field field) {
  // The toolkit's status bar repaints the whole window at once on every new
  // text, the drawing area with it: new texts wait for the next turn of the
  // event loop, and only the last one of each field is shown.
  const bool scheduled = pending_.any();
  texts_[static_cast<size_t>(field)] = text;
  pending_.set(static_cast<size_t>(field));
  if (!scheduled) frame_.CallAfter([this] { Flush(); });
}

void StatusLine::Flush() {
  for (size_t i = 0; i < texts_.size(); ++i)
    if (pending_.test(i) && shown_[i] != texts_[i]) {
      shown_[i] = texts_[i];
      frame_.SetStatusText(texts_[i], static_cast<int>(i));
    }
  pending_.reset();
  UpdateTooltip();
}

void StatusLine::UpdateTooltip() {
  wxStatusBar* bar = frame_.GetStatusBar();
  if (bar == nullptr) return;
  wxString tip;
  for (int i = 0; i < kFields; ++i) {
    if (shown_[i].empty()) continue;
    wxRect rect;
    if (!bar->GetFieldRect(i, rect)) continue;
    if (bar->GetTextExtent(shown_[i]).x + bar->FromDIP(8) > rect.width)
      tip += (tip.empty() ? "" : "\n") + shown_[i];
  }
  if (tip != bar->GetToolTipText()) bar->SetToolTip(tip);
}

}  // namespace quadrix
