#pragma once
// Painting the importance map: the brush in hand and its strokes, the
// overlay that shows them, undo and redo, a map loaded from a file, and the
// energy built anew (off the GUI thread) after each change.

#include <wx/event.h>
#include <wx/frame.h>
#include <wx/menu.h>

#include <array>
#include <boost/signals2/signal.hpp>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

#include "core/importance_paint.hpp"
#include "core/result_parts.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/gl_window.hpp"
#include "shell/photo_view.hpp"
#include "shell/status_line.hpp"
#include "shell/worker.hpp"

namespace quadrix {

// Map pixels per overlay texel: the overlay is at most 2048 texels a side.
int OverlayStep(cv::Size map);
// The overlay's size in texels for a map of `map` pixels.
cv::Size OverlaySize(cv::Size map);

class ImportanceBrush {
 public:
  // `items`: the Paint menu's Protect, Absorb and Restore; `work` runs the
  // rebuilds (and is shared with the loads: one cancels the other). All
  // must outlive the brush.
  ImportanceBrush(wxFrame& frame, GlWindow& gl, RenderState& render, PhotoView& view,
                  StatusLine& status, BackgroundWork& work, std::array<wxMenuItem*, 3> items);

  // Told when an energy could not be built: the message.
  boost::signals2::signal<void(const wxString&)> failed;
  // Told when the host shown was replaced by a rebuilt one.
  boost::signals2::signal<void()> energyChanged;

  // Puts `next` in place of the map painted and gives back the old one, to
  // be freed elsewhere.
  std::shared_ptr<ImportancePainter> SwapPainter(ImportancePainter&& next);
  // A new photo: rebuilds under way are dropped, painting starts from its
  // map; `overlay` is its clear overlay texture when the load made one.
  void Install(GlTexture overlay);
  // Ends the stroke under way and drops the rebuilds under way.
  void Interrupt();
  // The Result menu's parts that only change the energy, for the rebuilds.
  void SetParts(const ResultParts& parts) { parts_ = parts; }

  const cv::Mat& Map() const { return painter_.Map(); }
  bool CanUndo() const { return painter_.CanUndo(); }
  bool CanRedo() const { return painter_.CanRedo(); }
  bool InHand() const { return brush_.has_value(); }
  // The map differs from the one the photo came with, loaded or last saved.
  bool HasUnsavedStrokes() const;
  // The map as it is now was saved to a file.
  void MarkSaved();

  // None: the mouse does not paint.
  void Choose(std::optional<Brush> chosen);
  // The Paint menu's commands (menu ids).
  void OnCommand(int id);
  // The drawing area's mouse events.
  void OnMouse(wxMouseEvent& event);
  void EndStroke();
  // A map loaded from a file (aligned to the photo) replaces the painted
  // one; the energy is built anew.
  void Load(const cv::Mat& importance);
  // The energy built anew from the map as painted.
  void StartRebuild();

 private:
  // Discs from the last one to `to` (drawing-area pixels).
  void StrokeTo(wxPoint to);
  // A disc of the brush at `viewPoint` (drawing-area pixels).
  void DabAt(wxPoint viewPoint);
  // After the map changed in `rect` (pixels of the map): the importance
  // texture, the overlay, and the energy built anew off the GUI thread.
  void MapChanged(cv::Rect rect);
  void UpdateOverlayRect(cv::Rect rect);
  void OnRebuilt(std::shared_ptr<ResizeHost> rebuilt, int generation, cv::Size solvedFor,
                 double ms);
  void ShowBrush();

  wxFrame& frame_;
  GlWindow& gl_;
  RenderState& render_;
  PhotoView& view_;
  StatusLine& status_;
  BackgroundWork& work_;
  std::array<wxMenuItem*, 3> items_;
  ResultParts parts_;
  // The importance map as painted; the brush and its radius in logical
  // pixels of the drawing area (the dab where the pointer was, in device
  // pixels).
  ImportancePainter painter_;
  cv::Mat savedMap_;  // the map as loaded or last saved (a copy)
  std::optional<Brush> brush_;
  double radius_ = 24;
  bool stroking_ = false;
  wxPoint lastDab_;
  cv::Rect strokeRect_;
  int overlayStep_ = 1;  // map pixels per overlay texel
  // Counts the maps and photos: a rebuild made for an older one is dropped.
  int generation_ = 0;
};

}  // namespace quadrix
