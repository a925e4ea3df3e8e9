#include "shell/gtk_screen.hpp"

#include <wx/display.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "base/environment.hpp"
// GTK last: its headers must not precede the toolkit's.
#include <gtk/gtk.h>

namespace quadrix {

namespace {

wxRect WorkArea(const wxFrame& frame) {
  const int index = wxDisplay::GetFromWindow(&frame);
  return wxDisplay(index == wxNOT_FOUND ? 0u : static_cast<unsigned>(index)).GetClientArea();
}

}  // namespace

cv::Size MinimumArea(const wxFrame& frame) {
  GtkRequisition least;
  gtk_widget_get_preferred_size(frame.GetHandle(), &least, nullptr);
  const wxSize outer = frame.GetSize();
  const wxSize client = frame.GetClientSize();
  return {std::max(1, least.width - (outer.x - client.x)),
          std::max(1, least.height - (outer.y - client.y))};
}

cv::Size AvailableArea(const wxFrame& frame) {
  const wxRect work = WorkArea(frame);
  // Menu bar, status bar and any frame the window manager draws.
  const wxSize outer = frame.GetSize();
  const wxSize client = frame.GetClientSize();
  return {std::max(1, work.width - (outer.x - client.x)),
          std::max(1, work.height - (outer.y - client.y))};
}

void KeepOnScreen(wxFrame& frame) {
  const wxRect work = WorkArea(frame);
  wxRect rect = frame.GetRect();
  rect.SetSize(frame.GetSize());
  wxPoint pos = rect.GetPosition();
  if (rect.GetRight() > work.GetRight()) pos.x = std::max(work.x, work.GetRight() - rect.width + 1);
  if (rect.GetBottom() > work.GetBottom())
    pos.y = std::max(work.y, work.GetBottom() - rect.height + 1);
  pos.x = std::max(pos.x, work.x);
  pos.y = std::max(pos.y, work.y);
  if (pos != rect.GetPosition()) frame.Move(pos);
}

TickLog::TickLog() {
  const char* path = std::getenv(kEnvTickLog);
  if (path == nullptr || *path == '\0') return;
  log_ = std::fopen(path, "w");
  // Ahead of every other source that is ready at the same time, so that a
  // late tick means one step of the loop took that long, not that several
  // short ones came first.
  if (log_ != nullptr)
    source_ = g_timeout_add_full(
        G_PRIORITY_HIGH, 20,
        [](gpointer self) -> gboolean {
          static_cast<TickLog*>(self)->OnTick();
          return G_SOURCE_CONTINUE;
        },
        this, nullptr);
}

TickLog::~TickLog() {
  if (source_ != 0) g_source_remove(source_);
  if (log_ != nullptr) std::fclose(log_);
}

void TickLog::OnTick() {
  if (log_ == nullptr) return;
  // The wall clock, and the time this thread has run: on a busy machine the
  // two tell a stall of the window's own from a wait for the processor.
  using Clock = std::chrono::steady_clock;
  const auto now = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch());
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  std::fprintf(log_, "%.3f %.3f\n", now.count(), cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6);
  std::fflush(log_);
}

}  // namespace quadrix
