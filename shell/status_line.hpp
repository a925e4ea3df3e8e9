#pragma once
// The frame's status bar: the size and zoom of the picture, what the
// program is doing, and a notice about the energy.

#include <wx/frame.h>
#include <wx/string.h>

#include <array>
#include <bitset>
#include <opencv2/core.hpp>

namespace quadrix {

class StatusLine {
 public:
  enum Field { kSize = 0, kActivity = 1, kNotice = 2 };

  // Makes the frame's status bar of three fields.
  explicit StatusLine(wxFrame& frame);

  // "W x H  (Z %)"; with `solveMs` >= 0 also the solve time as the activity.
  void ShowSizeAndTime(cv::Size target, double zoom, double solveMs);
  void ShowActivity(const wxString& text) { Show(text, kActivity); }
  void Show(const wxString& text, Field field);

 private:
  wxFrame& frame_;
  // Texts not shown yet, by field.
  std::array<wxString, 3> texts_;
  std::bitset<3> pending_;
};

}  // namespace quadrix
