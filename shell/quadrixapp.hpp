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
};

}  // namespace quadrix

wxDECLARE_APP(quadrix::QuadrixApp);
