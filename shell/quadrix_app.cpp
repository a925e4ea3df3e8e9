#include "shell/quadrix_app.hpp"

#include <wx/log.h>
#include <wx/msgdlg.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/check.hpp"
#include "engine/engine.hpp"
#include "lines/gauss_deriv.hpp"
#include "shell/launch.hpp"
#include "shell/quadrix_frame.hpp"
// GTK last: its headers must not precede the toolkit's.
#include <gtk/gtk.h>

// The program supplies its own main (see main.cpp).
wxIMPLEMENT_APP_NO_MAIN(quadrix::QuadrixApp);

namespace quadrix {

namespace {

// The usage box: the toolkit's message box (OK, information icon, centred)
// with its caption. The toolkit leaves the title of a GTK message box empty
// when the caption is its default, "Message", so the box is made here.
void ShowUsageBox() {
  GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                          GTK_BUTTONS_OK, "%s", kUsageText);
  gtk_window_set_title(GTK_WINDOW(box), "Message");
  gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
}

// Reports the exception being handled the way the programs report failures.
void ReportCurrentException() {
  try {
    throw;
  } catch (const AssertionError& e) {
    ReportAssertion(e);
  } catch (const FilterOutOfMemory& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quadrix: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quadrix: unknown failure\n");
  }
  SetExitStatus(kExitFailure);
}

}  // namespace

QuadrixApp::QuadrixApp() { TheEngineConnection().closeAtExit = false; }

QuadrixApp::~QuadrixApp() = default;

bool QuadrixApp::OnInit() {
  // The program reports its failures in its own boxes; the toolkit's log
  // messages (say, about a context it could not make) go to standard error
  // instead of boxes of their own. The toolkit owns the log target.
  delete wxLog::SetActiveTarget(new wxLogStderr);
  // The toolkit's own option parsing is not wanted: no call to the base.
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i].fn_str());
  if (!ReadLaunchSettings(words, TheLaunchSettings())) {
    ShowUsageBox();
    SetExitStatus(kExitUsage);
    return false;
  }

  QuadrixFrame* frame = nullptr;
  try {
    // The toolkit owns top-level windows: the frame deletes itself.
    frame = new QuadrixFrame("Quadrix", wxSize(668, 510));
  } catch (const EngineError& e) {
    wxMessageBox(wxString::FromUTF8(e.what()), "Error", wxOK | wxICON_ERROR);
    SetExitStatus(kExitFailure);
    return false;
  }
  frame->Show(true);
  return true;
}

bool QuadrixApp::OnExceptionInMainLoop() {
  ReportCurrentException();
  return false;  // leave the event loop: the program ends
}

void QuadrixApp::OnUnhandledException() { ReportCurrentException(); }

}  // namespace quadrix
