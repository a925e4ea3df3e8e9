#pragma once

namespace quadrix {

// What the program adds to the plain mesh energy, each on by default and
// each with its own switch; all off gives the classic result.
struct ResultParts {
  bool sharp = true;     // rest grid on the photo's exact size, one filtered resampling
  bool straight = true;  // straight segments stay straight in the picture
  bool even = true;      // no zoom along the side that keeps its length; even where flat
  bool faces = true;     // detected faces count as important in a computed map
  bool shapes = true;    // compact objects keep their shape
  static ResultParts Classic() { return {false, false, false, false, false}; }
  bool operator==(const ResultParts&) const = default;
};

// Which side of the target changed: there is one energy for each, since
// the side that keeps its length is the target's business. kWidthChanges
// holds every row of quads to the height's scale, kHeightChanges every
// column to the width's.
enum class EvenAxis { kWidthChanges, kHeightChanges };

}  // namespace quadrix
