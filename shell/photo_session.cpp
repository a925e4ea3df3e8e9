#include "shell/photo_session.hpp"

#include <algorithm>
#include <chrono>

#include "base/cancel.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/importance_brush.hpp"

namespace quadrix {

namespace {

using Clock = std::chrono::steady_clock;

// Texture bands are handed over for at most this long per timer tick, so
// that the event loop runs in between.
constexpr auto kUploadSlice = std::chrono::milliseconds(15);

// The textures of a loaded photo (the colour and importance images and a
// clear overlay), made in the context current on this thread, one that
// shares the window's objects; 0 when they cannot be. The texels are let go
// once they are in.
struct TextureNames {
  GLuint colour = 0, importance = 0, overlay = 0;
};
TextureNames MakeTextures(LoadedPhoto& photo) {
  // The colour image is the photo as drawn, the importance map the aligned
  // one: their sizes may differ by a few pixels.
  const cv::Size colourSize = photo.colourSize;
  const cv::Size size(photo.host.srcWidth(), photo.host.srcHeight());
  GlTexture c = AllocateImageTexture(colourSize);
  GlTexture i = AllocateImageTexture(size);
  if (!c || !i) return {};
  UploadTexelRows(c, colourSize.width, photo.colourTexels.data(), 0, colourSize.height);
  UploadTexelRows(i, size.width, photo.importanceTexels.data(), 0, size.height);
  GlTexture o = MakeOverlayTexture(OverlaySize(size));
  // Complete before another context draws with them.
  glFinish();
  photo.colourTexels = {};
  photo.importanceTexels = {};
  return {c.release(), i.release(), o.release()};
}

}  // namespace

PhotoSession::PhotoSession(wxFrame& frame, GlWindow& gl, BackgroundWork& work)
    : gl_(gl), work_(work), uploadTimer_(&frame) {
  frame.Bind(wxEVT_TIMER, &PhotoSession::OnUploadTimer, this, uploadTimer_.GetId());
}

void PhotoSession::StopUpload() {
  uploadTimer_.Stop();
  if (upload_) {
    gl_.MakeCurrent();
    upload_.reset();
  }
}

void PhotoSession::Start(const PhotoRequest& request, std::shared_ptr<ResizeHost> fresh,
                         GlSharedContext* shared) {
  work_.Start([this, request, fresh, shared](const BackgroundWork::Job& job) {
    std::string why;
    try {
      std::shared_ptr<LoadedPhoto> photo = LoadPhoto(
          request, std::move(*fresh),
          [&](LoadStep step, cv::Size aligned) {
            job.Post([this, step, aligned] { stepped(step, aligned); });
          },
          [&] { return job.Cancelled(); },
          [&](const cv::Mat& picture) { job.Post([this, picture] { previewed(picture); }); });
      if (!photo) return;
      TextureNames names;
      if (shared != nullptr && shared->MakeCurrent()) {
        names = MakeTextures(*photo);
        shared->Release();
      }
      // The textures are given back to the GUI thread even when the load
      // was cancelled meanwhile, to be let go in a context of theirs.
      job.Deliver([this, photo, names](bool cancelled) {
        if (!cancelled) {
          OnPhotoLoaded(photo, names.colour, names.importance, names.overlay);
        } else if (names.colour != 0 && gl_.MakeCurrent()) {
          GlTexture(names.colour).reset();
          GlTexture(names.importance).reset();
          GlTexture(names.overlay).reset();
        }
      });
      return;
    } catch (const Cancelled&) {
      return;
    } catch (const PhotoError& e) {
      why = e.what();
    } catch (const EngineError& e) {
      job.Post(
          [this, message = std::string(e.what())] { engineFailed(wxString::FromUTF8(message)); });
      return;
    } catch (const std::bad_alloc&) {
      why = "Not enough memory to load '" + request.srcPath + "'.";
    } catch (const std::exception& e) {
      why = "Cannot load '" + request.srcPath + "': " + e.what();
    }
    job.Post([this, why] { loadFailed(why); });
  });
}

void PhotoSession::OnPhotoLoaded(std::shared_ptr<LoadedPhoto> photo, GLuint colour,
                                 GLuint importance, GLuint overlay) {
  gl_.MakeCurrent();
  upload_ = std::make_unique<PhotoUpload>();
  const cv::Size size(photo->host.srcWidth(), photo->host.srcHeight());
  if (colour != 0 && importance != 0) {
    upload_->colour.reset(colour);
    upload_->importance.reset(importance);
    upload_->overlay.reset(overlay);
    upload_->photo = std::move(photo);
    Finish();
    return;
  }
  upload_->colour = AllocateImageTexture(photo->colourSize);
  upload_->importance = AllocateImageTexture(size);
  upload_->photo = std::move(photo);
  if (!upload_->colour || !upload_->importance) {
    upload_.reset();
    loadFailed("The photo is larger than the display can draw.");
    return;
  }
  uploadTimer_.Start(1, wxTIMER_ONE_SHOT);
}

void PhotoSession::OnUploadTimer(wxTimerEvent&) {
  if (!upload_) return;
  gl_.MakeCurrent();
  const LoadedPhoto& photo = *upload_->photo;
  // Rows of the colour texture first, then those of the importance map.
  const cv::Size colourSize = photo.colourSize;
  const int h = colourSize.height;
  const int total = h + photo.host.srcHeight();
  const auto start = Clock::now();
  while (upload_->row < total && Clock::now() - start < kUploadSlice) {
    const bool colour = upload_->row < h;
    const int w = colour ? colourSize.width : photo.host.srcWidth();
    const int band = std::max(1, (1 << 20) / std::max(1, w));  // 16 MB of texels
    const int first = colour ? upload_->row : upload_->row - h;
    const int count = std::min(band, (colour ? h : photo.host.srcHeight()) - first);
    UploadTexelRows(colour ? upload_->colour : upload_->importance, w,
                    colour ? photo.colourTexels.data() : photo.importanceTexels.data(), first,
                    count);
    upload_->row += count;
  }
  if (upload_->row < total) {
    uploadTimer_.Start(1, wxTIMER_ONE_SHOT);
    return;
  }
  glFinish();
  Finish();
}

void PhotoSession::Finish() {
  const std::unique_ptr<PhotoUpload> done = std::move(upload_);
  loaded(*done);
}

}  // namespace quadrix
