#include "core/settings.hpp"

#include "core/inputs.hpp"
#include "core/memory_budget.hpp"

namespace quadrix {

ResizeSettings SettingsFromEnvironment() {
  ResizeSettings settings;
  settings.minScale = MinScaleFromEnvironment();
  settings.maxPixels = MaxPixelsFromEnvironment();
  settings.workSide = WorkSideFromEnvironment();
  settings.maxMemory = MaxMemoryFromEnvironment();
  return settings;
}

}  // namespace quadrix
