#pragma once
// Painting on an importance map with a brush: strokes of discs that protect
// a region (importance 1.0), let it absorb the stretch (the smallest level
// an importance file holds) or restore the map as it was loaded or
// computed. Undo and redo go stroke by stroke.

#include <opencv2/core.hpp>
#include <vector>

namespace quadrix {

// The smallest importance an 8-bit importance file can express: grey 1.
inline constexpr float kLeastImportance = 0.004f;
// What Protect paints: grey 250.
inline constexpr float kProtectImportance = 1.0f;

enum class Brush { kProtect, kAbsorb, kRestore };

class ImportancePainter {
 public:
  // Where nothing is painted, and what Restore paints back.
  explicit ImportancePainter(cv::Mat base32F = {});

  // A new base (another map loaded); forgets every stroke.
  void Reset(cv::Mat base32F);

  // A stroke is a run of discs between BeginStroke and EndStroke.
  void BeginStroke(Brush brush);
  // A disc of `radius` pixels of the map around `centre`; returns the
  // rectangle of the map it changed (empty when none).
  cv::Rect Dab(cv::Point2d centre, double radius);
  // Ends the stroke; false when it changed nothing (it is then not kept).
  bool EndStroke();
  bool InStroke() const { return stroking_; }

  // Undo or redo the last stroke; the rectangle of the map that changed.
  bool CanUndo() const { return !undo_.empty(); }
  bool CanRedo() const { return !redo_.empty(); }
  cv::Rect Undo();
  cv::Rect Redo();

  // The map as painted (CV_32FC1, the base's size).
  const cv::Mat& Map() const { return map_; }
  // What is painted where (CV_8UC1): 0 nothing, 1 Protect, 2 Absorb.
  const cv::Mat& Strokes() const { return labels_; }
  bool Painted() const { return cv::countNonZero(labels_) > 0; }

 private:
  struct Stroke {
    cv::Rect rect;
    cv::Mat before, after;  // labels in rect
  };
  void Refresh(cv::Rect rect);
  cv::Rect Swap(std::vector<Stroke>& from, std::vector<Stroke>& to, bool undo);

  cv::Mat base_, map_, labels_;
  Brush brush_ = Brush::kProtect;
  bool stroking_ = false;
  cv::Mat strokeStart_;  // labels when the stroke began
  cv::Rect strokeRect_;
  std::vector<Stroke> undo_, redo_;
};

}  // namespace quadrix
