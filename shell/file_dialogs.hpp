#pragma once
// The File menu's dialogs: the photo to open, the picture to save (with its
// own choices), and importance files saved and loaded. Each shows its own
// error box; nothing here changes what the window shows.

#include <wx/window.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "core/resize_host.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/gl_window.hpp"
#include "shell/photo_view.hpp"
#include "shell/status_line.hpp"

namespace quadrix {

// File > Open: the photo chosen, or empty.
std::string AskPhotoToOpen(wxWindow* parent);

// File > Save Picture: the picture `view` shows at its target size, drawn
// off screen as quadrix-cli -o draws it (or, when asked, with the grid and
// image that `render` shows), with the metadata of the photo at `photoPath`;
// `gl` gives up its context meanwhile. Suggests NAME_WxH in the photo's
// folder and format, and warns before the photo itself is replaced.
void SavePicture(wxWindow* parent, GlWindow& gl, const PhotoView& view, const RenderState& render,
                 StatusLine& status, const std::string& photoPath);

// File > Save Importance: `map` (CV_32F, as painted) in the 8-bit format of
// an importance file. True once it is written; false when the user cancelled
// or the write failed (said in a box).
bool SaveImportance(wxWindow* parent, const cv::Mat& map, StatusLine& status);

// File > Load Importance: an 8-bit importance image read (at most
// `maxPixels`) and aligned to `host`'s photo; empty when none was chosen or
// the file cannot be used (after its box).
cv::Mat AskImportance(wxWindow* parent, const ResizeHost& host, std::int64_t maxPixels);

}  // namespace quadrix
