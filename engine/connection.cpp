#include <cstdlib>
#include <cstring>

#include "engine/engine.hpp"

namespace quadrix {

EngineConnection::~EngineConnection() {
  // Left open when asked: the process ends without closing it.
  if (!closeAtExit) (void)handle.release();
}

EngineConnection& TheEngineConnection() {
  static EngineConnection connection;
  return connection;
}

NumericEngine* OpenEngineConnection() {
  EngineConnection& c = TheEngineConnection();
  if (!c.handle) c.handle = MakeBuiltinEngine();
  return c.handle.get();
}

}  // namespace quadrix
