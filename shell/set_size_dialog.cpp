#include "shell/set_size_dialog.hpp"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "shell/view_math.hpp"

namespace quadrix {

namespace {

// The command line takes the same range.
constexpr int kLargestSide = 32768;

struct Preset {
  const char* label;
  int ratioW, ratioH;  // 0: the photo's own size
};
// Portrait ratios first, then landscape; 1.91:1 is the widest a link
// preview or feed shows.
constexpr Preset kPresets[] = {{"Custom", -1, -1}, {"Source", 0, 0},    {"1:1", 1, 1},
                               {"4:5", 4, 5},      {"3:4", 3, 4},       {"2:3", 2, 3},
                               {"9:16", 9, 16},    {"4:3", 4, 3},       {"3:2", 3, 2},
                               {"16:9", 16, 9},    {"1.91:1", 191, 100}};

}  // namespace

SetSizeDialog::SetSizeDialog(wxWindow* parent, cv::Size current, cv::Size source)
    : wxDialog(parent, wxID_ANY, "Set Size"), source_(source) {
  auto spin = [this](int value) {
    auto* s = new wxSpinCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                             wxSP_ARROW_KEYS | wxTE_PROCESS_ENTER, 1, kLargestSide, value);
    s->Bind(wxEVT_SPINCTRL, &SetSizeDialog::OnSide, this);
    s->Bind(wxEVT_TEXT_ENTER, &SetSizeDialog::OnEnter, this);
    return s;
  };
  width_ = spin(std::max(1, current.width));
  height_ = spin(std::max(1, current.height));
  preset_ = new wxChoice(this, wxID_ANY);
  for (const Preset& p : kPresets) preset_->Append(p.label);
  preset_->SetSelection(0);
  preset_->Bind(wxEVT_CHOICE, &SetSizeDialog::OnPreset, this);
  keepWidth_ =
      new wxRadioButton(this, wxID_ANY, "Keep width", wxDefaultPosition, wxDefaultSize, wxRB_GROUP);
  keepHeight_ = new wxRadioButton(this, wxID_ANY, "Keep height");
  keepWidth_->SetValue(true);
  for (wxRadioButton* b : {keepWidth_, keepHeight_})
    b->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { ApplyPreset(); });

  auto* grid = new wxFlexGridSizer(2, wxSize(12, 8));
  grid->Add(new wxStaticText(this, wxID_ANY, "Width"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(width_, 0, wxEXPAND);
  grid->Add(new wxStaticText(this, wxID_ANY, "Height"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(height_, 0, wxEXPAND);
  grid->Add(new wxStaticText(this, wxID_ANY, "Preset"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(preset_, 0, wxEXPAND);
  auto* keep = new wxBoxSizer(wxHORIZONTAL);
  keep->Add(keepWidth_, 0, wxRIGHT, 12);
  keep->Add(keepHeight_);
  grid->AddSpacer(0);
  grid->Add(keep);
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(grid, 0, wxALL, 12);
  top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM,
           12);
  SetSizerAndFit(top);
  width_->SetFocus();
  width_->SetSelection(-1, -1);
}

cv::Size SetSizeDialog::ChosenSize() const { return {width_->GetValue(), height_->GetValue()}; }

void SetSizeDialog::ApplyPreset() {
  const Preset& p = kPresets[std::max(0, preset_->GetSelection())];
  if (p.ratioW < 0) return;
  cv::Size size = source_;
  if (p.ratioW > 0) size = AspectSize(p.ratioW, p.ratioH, ChosenSize(), keepWidth_->GetValue());
  width_->SetValue(std::clamp(size.width, 1, kLargestSide));
  height_->SetValue(std::clamp(size.height, 1, kLargestSide));
}

void SetSizeDialog::OnPreset(wxCommandEvent&) { ApplyPreset(); }

void SetSizeDialog::OnSide(wxSpinEvent& event) {
  // The kept side moves the other one along with a ratio; typing the other
  // side leaves the preset.
  const bool keptSide = (event.GetEventObject() == width_) == keepWidth_->GetValue();
  if (keptSide && kPresets[std::max(0, preset_->GetSelection())].ratioW > 0)
    ApplyPreset();
  else
    preset_->SetSelection(0);
}

void SetSizeDialog::OnEnter(wxCommandEvent&) {
  if (Validate() && TransferDataFromWindow()) EndModal(wxID_OK);
}

}  // namespace quadrix
