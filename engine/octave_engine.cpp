// The Octave engine: the bridge's command lines run as they stand in a GNU
// Octave child process.

#include "engine/octave_client.hpp"

namespace quadrix {

namespace {

class OctaveEngine final : public NumericEngine {
 public:
  explicit OctaveEngine(const OctaveOptions& options) : client_(options) {}

  const char* Name() const override { return "octave"; }
  const std::string& LastError() const override { return client_.LastError(); }
  bool PutVariable(const std::string& name, EngineArray value) override {
    return client_.Put(name, value);
  }
  bool EvalString(const std::string& text) override { return client_.Eval(text); }
  bool GetVariable(const std::string& name, EngineArray& out) override {
    return client_.Get(name, out);
  }

 private:
  OctaveClient client_;
};

}  // namespace

std::unique_ptr<NumericEngine> MakeOctaveEngine(const OctaveOptions& options) {
  return std::make_unique<OctaveEngine>(options);
}

std::unique_ptr<NumericEngine> MakeOctaveEngine() { return MakeOctaveEngine(OctaveOptions{}); }

}  // namespace quadrix
