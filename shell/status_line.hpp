#pragma once
// The frame's status bar, in fields: the size and zoom of the picture, what
// the program is doing, a notice about the energy, and how long the last
// solve took. A text cut short by a narrow window is shown whole in the
// bar's tooltip.

#include <wx/frame.h>
#include <wx/string.h>

#include <array>
#include <bitset>
#include <opencv2/core.hpp>

namespace quadrix {

class StatusLine {
 public:
  enum Field { kSize = 0, kActivity = 1, kNotice = 2, kTime = 3 };
  static constexpr int kFields = 4;

  // Makes the frame's status bar.
  explicit StatusLine(wxFrame& frame);

  // "W × H  (Z %)"; with `solveMs` >= 0 also the solve time.
  void ShowSizeAndTime(cv::Size target, double zoom, double solveMs);
  void ShowActivity(const wxString& text) { Show(text, kActivity); }
  void Show(const wxString& text, Field field);

 private:
  void Flush();
  // The texts that do not fit their fields, whole, as the bar's tooltip.
  void UpdateTooltip();

  wxFrame& frame_;
  // Texts not shown yet, by field, and those shown.
  std::array<wxString, kFields> texts_;
  std::array<wxString, kFields> shown_;
  std::bitset<kFields> pending_;
};

}  // namespace quadrix
