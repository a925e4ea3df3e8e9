#pragma once
// The application object: checks the command line and opens the main frame.

#include <wx/app.h>

namespace quadrix {

class QuadrixApp : public wxApp {
 public:
  // Leaves the numeric engine open when the process ends.
  QuadrixApp();
  ~QuadrixApp() override;
  bool OnInit() override;
  // A failure that reaches the toolkit (a failed internal check, an
  // exhausted allocation) is reported on standard error and ends the
  // program with status 1.
  bool OnExceptionInMainLoop() override;
  void OnUnhandledException() override;
};

}  // namespace quadrix

wxDECLARE_APP(quadrix::QuadrixApp);
