#include "shell/status_line.hpp"

#include <wx/statusbr.h>

#include <cmath>

namespace quadrix {

StatusLine::StatusLine(wxFrame& frame) : frame_(frame) {
  frame_.CreateStatusBar(3);
  const int widths[] = {160, -2, -3};  // the size and zoom always in full
  frame_.SetStatusWidths(3, widths);
}

void StatusLine::ShowSizeAndTime(cv::Size target, double zoom, double solveMs) {
  Show(wxString::Format("%d x %d  (%d %%)", target.width, target.height,
                        static_cast<int>(std::lround(zoom * 100))),
       kSize);
  if (solveMs >= 0) Show(wxString::Format("solved in %.1f ms", solveMs), kActivity);
}

void StatusLine::Show(const wxString& text, Field field) {
  // The toolkit's status bar repaints the whole window at once on every new
  // text, the drawing area with it: new texts wait for the next turn of the
  // event loop, and only the last one of each field is shown.
  const bool scheduled = pending_.any();
  texts_[static_cast<size_t>(field)] = text;
  pending_.set(static_cast<size_t>(field));
  if (!scheduled)
    frame_.CallAfter([this] {
      for (size_t i = 0; i < texts_.size(); ++i)
        if (pending_.test(i) &&
            frame_.GetStatusBar()->GetStatusText(static_cast<int>(i)) != texts_[i])
          frame_.SetStatusText(texts_[i], static_cast<int>(i));
      pending_.reset();
    });
}

}  // namespace quadrix
