#include "core/settings.hpp"

namespace quadrix {

ResizeSettings SettingsFromEnvironment() {
  ResizeSettings settings;
  settings.minScale = MinScaleFromEnvironment();
  settings.maxPixels = MaxPixelsFromEnvironment();
  return settings;
}

}  // namespace quadrix
