#pragma once
// View > Set Size: an exact target size, typed or from a preset, with a lock
// that keeps one side while a preset sets the other.

#include <wx/dialog.h>

#include <opencv2/core.hpp>

class wxChoice;
class wxRadioButton;
class wxSpinCtrl;
class wxSpinEvent;

namespace quadrix {

class SetSizeDialog : public wxDialog {
 public:
  // current: the target now; source: the photo's aligned size.
  SetSizeDialog(wxWindow* parent, cv::Size current, cv::Size source);

  cv::Size ChosenSize() const;

 private:
  void ApplyPreset();
  void OnPreset(wxCommandEvent& event);
  void OnSide(wxSpinEvent& event);
  void OnEnter(wxCommandEvent& event);

  cv::Size source_;
  wxSpinCtrl* width_ = nullptr;
  wxSpinCtrl* height_ = nullptr;
  wxChoice* preset_ = nullptr;
  wxRadioButton* keepWidth_ = nullptr;
  wxRadioButton* keepHeight_ = nullptr;
};

}  // namespace quadrix
