#pragma once
// Loading a photo for the window: the load runs on the background worker,
// which also makes the textures when the display gives it a context of its
// own; otherwise the finished load's texels are handed to the textures here,
// in bands, between turns of the event loop.

#include <wx/frame.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <boost/signals2/signal.hpp>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "core/resize_host.hpp"
#include "interop_gl/glutil.hpp"
#include "shell/gl_window.hpp"
#include "shell/photo_load.hpp"
#include "shell/worker.hpp"

namespace quadrix {

// A loaded photo with its textures: the colour image, the importance map
// and the clear overlay (empty when the load did not make one).
struct PhotoUpload {
  std::shared_ptr<LoadedPhoto> photo;
  GlTexture colour, importance, overlay;
  int row = 0;  // rows handed over, colour first, then importance
};

class PhotoSession {
 public:
  // Results reach the GUI thread through `work`, shared with other jobs
  // (starting one cancels the other). All must outlive the session.
  PhotoSession(wxFrame& frame, GlWindow& gl, BackgroundWork& work);

  // Each step of the load as it begins, with the aligned size once known.
  boost::signals2::signal<void(LoadStep, cv::Size)> stepped;
  // The photo read, plainly scaled (at most kViewSide a side), to show
  // until it is loaded.
  boost::signals2::signal<void(const cv::Mat&)> previewed;
  // The photo and its complete textures, with the window's context
  // current; slots move out what they keep.
  boost::signals2::signal<void(PhotoUpload&)> loaded;
  // The file cannot be used (or not drawn here): why.
  boost::signals2::signal<void(const std::string&)> loadFailed;
  // The numeric engine failed: the program cannot go on.
  boost::signals2::signal<void(const wxString&)> engineFailed;

  // Loads `request` into `fresh` on the worker, cancelling the job under
  // way; `shared` (may be null) is a context that shares the window's
  // objects, for making the textures on the worker's thread.
  void Start(const PhotoRequest& request, std::shared_ptr<ResizeHost> fresh,
             GlSharedContext* shared);
  // Drops the textures being filled, if any.
  void StopUpload();

 private:
  // colour, importance, overlay: the textures made on the worker, or 0 when
  // they are to be made here.
  void OnPhotoLoaded(std::shared_ptr<LoadedPhoto> photo, GLuint colour, GLuint importance,
                     GLuint overlay);
  void OnUploadTimer(wxTimerEvent& event);
  void Finish();

  GlWindow& gl_;
  BackgroundWork& work_;
  std::unique_ptr<PhotoUpload> upload_;
  wxTimer uploadTimer_;
};

}  // namespace quadrix
