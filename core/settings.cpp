#include "core/settings.hpp"

#include "core/inputs.hpp"

namespace quadrix {

ResizeSettings SettingsFromEnvironment() {
  ResizeSettings settings;
  settings.minScale = MinScaleFromEnvironment();
  settings.maxPixels = MaxPixelsFromEnvironment();
  settings.workSide = WorkSideFromEnvironment();
  return settings;
}

}  // namespace quadrix
