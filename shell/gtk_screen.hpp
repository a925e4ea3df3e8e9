#pragma once
// What the frame asks of GTK and the screen directly: the room the work
// area leaves, the least size the toolkit allows, keeping the frame on the
// screen, and a tick of the GLib loop for QUADRIX_TICK_LOG.

#include <wx/frame.h>

#include <cstdio>
#include <opencv2/core.hpp>

namespace quadrix {

// The largest client area the work area of the frame's screen leaves room
// for (menu bar, status bar and window frame subtracted).
cv::Size AvailableArea(const wxFrame& frame);

// The smallest client area the toolkit allows the frame (a window is never
// narrower than its menu bar).
cv::Size MinimumArea(const wxFrame& frame);

// Moves the frame so that all of it lies inside its screen's work area.
void KeepOnScreen(wxFrame& frame);

// QUADRIX_TICK_LOG: a timer tick every 20 ms, each logged (wall clock and
// the GUI thread's processor time, in ms), to show that the event loop never
// stalls. Does nothing when the variable is unset or empty.
class TickLog {
 public:
  TickLog();
  ~TickLog();
  TickLog(const TickLog&) = delete;
  TickLog& operator=(const TickLog&) = delete;

 private:
  void OnTick();

  unsigned source_ = 0;
  std::FILE* log_ = nullptr;
};

}  // namespace quadrix
