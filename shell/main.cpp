// quadrix: the desktop program.

#include <wx/app.h>
#include <wx/glcanvas.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/malloc_pages.hpp"
#include "engine/cholmod_factor.hpp"
#include "engine/engine.hpp"
#include "shell/launch.hpp"
// Xlib last: its macros clash with the toolkit's names.
#include <X11/Xlib.h>

// The engine connection is left open at exit on purpose; this keeps it
// reachable so that leak checkers do not count it.
quadrix::NumericEngine* volatile quadrixEngineKeptOpen = nullptr;

namespace {

// Before the libraries start (the toolkit's among them): the first run then
// costs only their loading.
[[maybe_unused]] void RestartEarly(int, char** argv, char** envp) {
  quadrix::RestartWithHugePageMalloc(argv, envp, quadrix::OneBlasThreadOnRestart(envp));
}
QUADRIX_BEFORE_LIBRARY_CONSTRUCTORS(RestartEarly);

}  // namespace

int main(int argc, char** argv) {
  // Answered without a display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("quadrix %s\n", QUADRIX_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(quadrix::kHelpText, stdout);
    return 0;
  }
  quadrix::KeepFreedBlocksForReuse();
  quadrix::UseOneBlasThread();
#if !wxUSE_GLCANVAS_EGL
  // The toolkit's OpenGL window speaks GLX only: under Wayland, go through
  // the X server.
  setenv("GDK_BACKEND", "x11", 0);
  // Photos are made into textures on a thread of their own, through GLX.
  XInitThreads();
#endif
  // No toolkit assertion dialogs in a release build.
  wxDISABLE_ASSERTS_IN_RELEASE_BUILD();
  const int status = wxEntry(argc, argv);
  quadrixEngineKeptOpen = quadrix::TheEngineConnection().handle.get();
  if (quadrix::ExitStatus() != 0) return quadrix::ExitStatus();
  return status == 0 ? 0 : quadrix::kExitFailure;
}
