#include "interop_gl/glutil.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "base/check.hpp"

#ifndef QUADRIX_DATADIR
#define QUADRIX_DATADIR "/usr/local/share/quadrix"
#endif

namespace quadrix {

namespace gl_detail {

enum class VarType { kInt, kFloat, kTexture, kOther };

struct EffectVar {
  std::string name;
  GLenum glType = 0;
  GLint arraySize = 1;
  VarType type = VarType::kOther;
  bool isSet = false;
  int intValue = 0;
  float floatValue = 0.0f;
  GLuint texture = 0;
  int unit = -1;  // texture unit of a sampler
};

}  // namespace gl_detail

using gl_detail::EffectVar;
using gl_detail::VarType;

// The reports below name one fixed line per setter type, so a failed
// setting reads the same whatever moves in this file.
namespace {

bool SetVar(Effect* pEffect, const char* name, int v) {
  return pEffect != nullptr && pEffect->GetVariableByName(name).AsScalar().SetInt(v);
}

bool SetVar(Effect* pEffect, const char* name, float v) {
  return pEffect != nullptr && pEffect->GetVariableByName(name).AsScalar().SetFloat(v);
}

bool SetVar(Effect* pEffect, const char* name, const GlTexture& v) {
  return pEffect != nullptr &&
         pEffect->GetVariableByName(name).AsShaderResource().SetResource(v.get());
}

}  // namespace

void MustSetVar(Effect* pEffect, const char* name, int v) { QX_CHECK(SetVar(pEffect, name, v)); }

void MustSetVar(Effect* pEffect, const char* name, float v) { QX_CHECK(SetVar(pEffect, name, v)); }

void MustSetVar(Effect* pEffect, const char* name, const GlTexture& texture) {
  QX_CHECK(SetVar(pEffect, name, texture));
}

// --- Object makers ----------------------------------------------------------

GlBuffer MakeGlBuffer() {
  GLuint id = 0;
  glGenBuffers(1, &id);
  return GlBuffer(id);
}

GlTexture MakeGlTexture() {
  GLuint id = 0;
  glGenTextures(1, &id);
  return GlTexture(id);
}

GlVertexArray MakeGlVertexArray() {
  GLuint id = 0;
  glGenVertexArrays(1, &id);
  return GlVertexArray(id);
}

GlFramebuffer MakeGlFramebuffer() {
  GLuint id = 0;
  glGenFramebuffers(1, &id);
  return GlFramebuffer(id);
}

GlRenderbuffer MakeGlRenderbuffer() {
  GLuint id = 0;
  glGenRenderbuffers(1, &id);
  return GlRenderbuffer(id);
}

// --- Target state -----------------------------------------------------------

void ResetTargetState() {
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glDepthMask(GL_TRUE);
  // Triangles running clockwise on screen face the viewer, as the mesh's do.
  glEnable(GL_CULL_FACE);
  glFrontFace(GL_CW);
  glCullFace(GL_BACK);
  glDisable(GL_BLEND);
  glDisable(GL_SCISSOR_TEST);
}

void SetTargetViewport(int width, int height) {
  glViewport(0, 0, width, height);
  glDepthRange(0.0, 0.0);
}

void ClearTarget(float red, float green, float blue) {
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glDepthMask(GL_TRUE);
  glClearColor(red, green, blue, 1.0f);
  glClearDepth(1.0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

// --- Data files -------------------------------------------------------------

namespace {

std::mutex addedDirsMutex;
std::vector<std::filesystem::path>& AddedDirs() {
  static std::vector<std::filesystem::path> dirs;
  return dirs;
}

}  // namespace

void AddDataSearchDir(const std::filesystem::path& dir) {
  const std::lock_guard<std::mutex> lock(addedDirsMutex);
  AddedDirs().push_back(dir);
}

std::vector<std::filesystem::path> DataSearchDirs() {
  namespace fs = std::filesystem;
  std::vector<fs::path> dirs;
  std::error_code ec;
  const fs::path cwd = fs::current_path(ec);
  if (!ec) dirs.push_back(cwd);
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path()) dirs.push_back(exe.parent_path());
  {
    const std::lock_guard<std::mutex> lock(addedDirsMutex);
    dirs.insert(dirs.end(), AddedDirs().begin(), AddedDirs().end());
  }
  dirs.emplace_back(QUADRIX_DATADIR);
  return dirs;
}

std::filesystem::path LocateDataFile(const std::string& name) {
  for (const auto& dir : DataSearchDirs()) {
    std::error_code ec;
    const auto candidate = dir / name;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return {};
}

// --- Effect parsing ---------------------------------------------------------

namespace {

struct StageSource {
  std::string name;
  std::string text;
  int firstLine = 1;
};

struct PassSource {
  std::string vertex;
  std::string fragment;
  std::vector<std::string> states;
  int line = 0;
};

struct TechniqueSource {
  std::string name;
  std::vector<PassSource> passes;
};

struct EffectSource {
  std::string common;
  int commonLine = 1;
  std::map<std::string, StageSource> vertex;
  std::map<std::string, StageSource> fragment;
  std::vector<TechniqueSource> techniques;
};

class Messages {
 public:
  explicit Messages(const std::string& path) : path_(path) {}
  void Error(int line, const std::string& text) {
    std::printf("%s(%d): error: %s\n", path_.c_str(), line, text.c_str());
    failed_ = true;
  }
  // A compiler or linker log, printed as it came.
  void Log(const std::string& what, const std::string& log) {
    std::string text = log;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
      text.pop_back();
    if (text.empty()) return;
    std::printf("%s: %s:\n%s\n", path_.c_str(), what.c_str(), text.c_str());
  }
  void Fail(const std::string& text) {
    std::printf("%s: error: %s\n", path_.c_str(), text.c_str());
    failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  std::string path_;
  bool failed_ = false;
};

std::vector<std::string> SplitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool IsBlankOrComment(const std::string& line) {
  const auto first = line.find_first_not_of(" \t");
  return first == std::string::npos || line.compare(first, 2, "//") == 0;
}

EffectSource ParseEffect(const std::string& source, Messages& msg) {
  EffectSource fx;
  enum class Section { kOutside, kCommon, kStage };
  Section section = Section::kOutside;
  StageSource* stage = nullptr;
  bool haveCommon = false;

  std::istringstream in(source);
  int lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("//@", 0) != 0) {
      if (section == Section::kCommon) {
        fx.common += line + '\n';
      } else if (section == Section::kStage) {
        stage->text += line + '\n';
      } else if (!IsBlankOrComment(line)) {
        msg.Error(lineNo, "text outside a section");
      }
      continue;
    }
    const std::vector<std::string> words = SplitWords(line.substr(3));
    const std::string directive = words.empty() ? std::string() : words[0];
    if (directive == "common" && words.size() == 1) {
      if (haveCommon) msg.Error(lineNo, "a second common section");
      haveCommon = true;
      section = Section::kCommon;
      fx.commonLine = lineNo + 1;
    } else if ((directive == "vertex" || directive == "fragment") && words.size() == 2) {
      auto& stages = directive == "vertex" ? fx.vertex : fx.fragment;
      if (stages.count(words[1]) != 0)
        msg.Error(lineNo, "a second " + directive + " stage \"" + words[1] + "\"");
      stage = &stages[words[1]];
      *stage = StageSource{words[1], std::string(), lineNo + 1};
      section = Section::kStage;
    } else if (directive == "technique" && words.size() == 2) {
      for (const auto& t : fx.techniques)
        if (t.name == words[1]) msg.Error(lineNo, "a second technique \"" + words[1] + "\"");
      fx.techniques.push_back(TechniqueSource{words[1], {}});
      section = Section::kOutside;
    } else if (directive == "pass" && words.size() >= 3) {
      if (fx.techniques.empty() || section != Section::kOutside) {
        msg.Error(lineNo, "a pass outside a technique");
      } else {
        fx.techniques.back().passes.push_back(
            PassSource{words[1], words[2], {words.begin() + 3, words.end()}, lineNo});
      }
    } else {
      msg.Error(lineNo, "unknown or malformed directive \"" + line + "\"");
    }
  }
  for (const auto& t : fx.techniques)
    for (const auto& p : t.passes) {
      if (fx.vertex.count(p.vertex) == 0) msg.Error(p.line, "no vertex stage \"" + p.vertex + "\"");
      if (fx.fragment.count(p.fragment) == 0)
        msg.Error(p.line, "no fragment stage \"" + p.fragment + "\"");
    }
  return fx;
}

std::string ShaderLog(GLuint shader) {
  GLint length = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
  std::string log(static_cast<size_t>(std::max(length, 1)), '\0');
  GLsizei written = 0;
  glGetShaderInfoLog(shader, static_cast<GLsizei>(log.size()), &written, log.data());
  log.resize(static_cast<size_t>(written));
  return log;
}

std::string ProgramLog(GLuint program) {
  GLint length = 0;
  glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
  std::string log(static_cast<size_t>(std::max(length, 1)), '\0');
  GLsizei written = 0;
  glGetProgramInfoLog(program, static_cast<GLsizei>(log.size()), &written, log.data());
  log.resize(static_cast<size_t>(written));
  return log;
}

GlShader CompileStage(GLenum kind, const EffectSource& fx, const StageSource& stage,
                      Messages& msg) {
  const std::string text = "#version 330 core\n#line " + std::to_string(fx.commonLine) + "\n" +
                           fx.common + "#line " + std::to_string(stage.firstLine) + "\n" +
                           stage.text;
  GlShader shader(glCreateShader(kind));
  const char* ptr = text.c_str();
  const GLint length = static_cast<GLint>(text.size());
  glShaderSource(shader.get(), 1, &ptr, &length);
  glCompileShader(shader.get());
  GLint ok = GL_FALSE;
  glGetShaderiv(shader.get(), GL_COMPILE_STATUS, &ok);
  const std::string kindName = kind == GL_VERTEX_SHADER ? "vertex" : "fragment";
  msg.Log(kindName + " stage \"" + stage.name + "\"", ShaderLog(shader.get()));
  if (ok != GL_TRUE) {
    msg.Fail(kindName + " stage \"" + stage.name + "\" does not compile");
    return {};
  }
  return shader;
}

// Links the two stages into a program; empty (after saying why) when it
// does not link.
GlProgram LinkProgram(GLuint vs, GLuint fs, const std::string& passName, Messages& msg) {
  GlProgram program(glCreateProgram());
  const GLuint prog = program.get();
  glAttachShader(prog, vs);
  glAttachShader(prog, fs);
  glLinkProgram(prog);
  glDetachShader(prog, vs);
  glDetachShader(prog, fs);
  GLint linked = GL_FALSE;
  glGetProgramiv(prog, GL_LINK_STATUS, &linked);
  msg.Log(passName, ProgramLog(prog));
  if (linked != GL_TRUE) {
    msg.Fail(passName + " does not link");
    return {};
  }
  return program;
}

struct Uniform {
  std::string name;  // without the "[0]" of an array
  GLenum glType;
  GLint size;
  GLint location;
};

// The program's active uniforms outside uniform blocks.
std::vector<Uniform> ActiveUniforms(GLuint prog) {
  GLint count = 0;
  GLint maxLength = 0;
  glGetProgramiv(prog, GL_ACTIVE_UNIFORMS, &count);
  glGetProgramiv(prog, GL_ACTIVE_UNIFORM_MAX_LENGTH, &maxLength);
  std::string buffer(static_cast<size_t>(std::max(maxLength, 1)), '\0');
  std::vector<Uniform> uniforms;
  for (GLint i = 0; i < count; ++i) {
    GLsizei length = 0;
    GLint size = 0;
    GLenum glType = 0;
    glGetActiveUniform(prog, static_cast<GLuint>(i), static_cast<GLsizei>(buffer.size()), &length,
                       &size, &glType, buffer.data());
    std::string name(buffer.data(), static_cast<size_t>(length));
    if (name.size() > 3 && name.compare(name.size() - 3, 3, "[0]") == 0)
      name.resize(name.size() - 3);
    const GLint location = glGetUniformLocation(prog, name.c_str());
    if (location < 0) continue;  // in a uniform block: not an effect variable
    uniforms.push_back(Uniform{std::move(name), glType, size, location});
  }
  return uniforms;
}

VarType TypeOf(GLenum glType, GLint arraySize) {
  if (arraySize != 1) return VarType::kOther;
  switch (glType) {
    case GL_INT:
      return VarType::kInt;
    case GL_FLOAT:
      return VarType::kFloat;
    case GL_SAMPLER_2D:
      return VarType::kTexture;
    default:
      return VarType::kOther;
  }
}

}  // namespace

// --- Effect variables -------------------------------------------------------

bool EffectScalarVariable::SetInt(int value) {
  if (var_ == nullptr || var_->type != VarType::kInt) return false;
  var_->intValue = value;
  var_->isSet = true;
  return true;
}

bool EffectScalarVariable::SetFloat(float value) {
  if (var_ == nullptr || var_->type != VarType::kFloat) return false;
  var_->floatValue = value;
  var_->isSet = true;
  return true;
}

bool EffectShaderResourceVariable::SetResource(GLuint texture) {
  if (var_ == nullptr || var_->type != VarType::kTexture) return false;
  var_->texture = texture;
  var_->isSet = true;
  return true;
}

EffectScalarVariable EffectVariable::AsScalar() const {
  const bool scalar =
      var_ != nullptr && (var_->type == VarType::kInt || var_->type == VarType::kFloat);
  return EffectScalarVariable(scalar ? var_ : nullptr);
}

EffectShaderResourceVariable EffectVariable::AsShaderResource() const {
  const bool resource = var_ != nullptr && var_->type == VarType::kTexture;
  return EffectShaderResourceVariable(resource ? var_ : nullptr);
}

// --- Passes and techniques --------------------------------------------------

void EffectPass::Apply() {
  glUseProgram(program_.get());
  for (const Binding& b : bindings_) {
    const EffectVar& v = *b.var;
    switch (v.type) {
      case VarType::kInt:
        if (v.isSet) glUniform1i(b.location, v.intValue);
        break;
      case VarType::kFloat:
        if (v.isSet) glUniform1f(b.location, v.floatValue);
        break;
      case VarType::kTexture:
        glUniform1i(b.location, v.unit);
        glActiveTexture(static_cast<GLenum>(GL_TEXTURE0 + v.unit));
        glBindTexture(GL_TEXTURE_2D, v.texture);
        break;
      case VarType::kOther:
        break;
    }
  }
  switch (cull_) {
    case Cull::kKeep:
      break;
    case Cull::kNone:
      glDisable(GL_CULL_FACE);
      break;
    case Cull::kBack:
    case Cull::kFront:
      glEnable(GL_CULL_FACE);
      glCullFace(cull_ == Cull::kBack ? GL_BACK : GL_FRONT);
      break;
  }
  switch (blend_) {
    case Blend::kKeep:
      break;
    case Blend::kOff:
      glDisable(GL_BLEND);
      break;
    case Blend::kAlpha:
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      break;
  }
  switch (depth_) {
    case Depth::kKeep:
      break;
    case Depth::kOff:
      glDisable(GL_DEPTH_TEST);
      break;
    case Depth::kLess:
    case Depth::kLequal:
    case Depth::kAlways:
      glEnable(GL_DEPTH_TEST);
      glDepthFunc(depth_ == Depth::kLess     ? GL_LESS
                  : depth_ == Depth::kLequal ? GL_LEQUAL
                                             : GL_ALWAYS);
      break;
  }
}

bool EffectPass::SetState(const std::string& state) {
  static const std::pair<const char*, Cull> kCulls[] = {
      {"cull=none", Cull::kNone}, {"cull=back", Cull::kBack}, {"cull=front", Cull::kFront}};
  static const std::pair<const char*, Depth> kDepths[] = {{"depth=off", Depth::kOff},
                                                          {"depth=less", Depth::kLess},
                                                          {"depth=lequal", Depth::kLequal},
                                                          {"depth=always", Depth::kAlways}};
  static const std::pair<const char*, Blend> kBlends[] = {{"blend=off", Blend::kOff},
                                                          {"blend=alpha", Blend::kAlpha}};
  for (const auto& [word, cull] : kCulls)
    if (state == word) {
      cull_ = cull;
      return true;
    }
  for (const auto& [word, depth] : kDepths)
    if (state == word) {
      depth_ = depth;
      return true;
    }
  for (const auto& [word, blend] : kBlends)
    if (state == word) {
      blend_ = blend;
      return true;
    }
  return false;
}

EffectPass* EffectTechnique::GetPassByIndex(int index) {
  if (index < 0 || index >= PassCount()) return nullptr;
  return passes_[static_cast<size_t>(index)].get();
}

// --- Effect -----------------------------------------------------------------

Effect::Effect(Key) {}
Effect::~Effect() = default;

EffectTechnique* Effect::GetTechniqueByName(std::string_view name) {
  for (auto& t : techniques_)
    if (t->name_ == name) return t.get();
  return nullptr;
}

EffectVariable Effect::GetVariableByName(std::string_view name) {
  for (auto& v : vars_)
    if (v->name == name) return EffectVariable(v.get());
  return EffectVariable(nullptr);
}

std::unique_ptr<Effect> Effect::Create(const std::string& source, const std::string& path) {
  Messages msg(path);
  const EffectSource fx = ParseEffect(source, msg);
  if (msg.failed()) {
    std::fflush(stdout);
    return nullptr;
  }

  auto effect = std::make_unique<Effect>(Key{});
  std::map<std::string, GlShader> vertexShaders;
  std::map<std::string, GlShader> fragmentShaders;
  int nextUnit = 0;

  for (const TechniqueSource& ts : fx.techniques) {
    auto technique = std::make_unique<EffectTechnique>();
    technique->name_ = ts.name;
    for (size_t p = 0; p < ts.passes.size(); ++p) {
      const PassSource& ps = ts.passes[p];
      const std::string passName =
          "pass " + std::to_string(p) + " of technique \"" + ts.name + "\"";
      auto pass = std::make_unique<EffectPass>();
      for (const std::string& state : ps.states)
        if (!pass->SetState(state)) msg.Error(ps.line, "unknown pass state \"" + state + "\"");

      // Stages are compiled once, however many passes use them.
      auto stageShader = [&](GLenum kind, const std::string& name) -> GLuint {
        auto& cache = kind == GL_VERTEX_SHADER ? vertexShaders : fragmentShaders;
        const auto& stages = kind == GL_VERTEX_SHADER ? fx.vertex : fx.fragment;
        auto it = cache.find(name);
        if (it == cache.end())
          it = cache.emplace(name, CompileStage(kind, fx, stages.at(name), msg)).first;
        return it->second.get();
      };
      const GLuint vs = stageShader(GL_VERTEX_SHADER, ps.vertex);
      const GLuint fs = stageShader(GL_FRAGMENT_SHADER, ps.fragment);
      if (vs == 0 || fs == 0 || msg.failed()) continue;

      pass->program_ = LinkProgram(vs, fs, passName, msg);
      if (!pass->program_) continue;

      for (const Uniform& u : ActiveUniforms(pass->program_.get())) {
        EffectVar* var = nullptr;
        for (auto& v : effect->vars_)
          if (v->name == u.name) var = v.get();
        if (var == nullptr) {
          effect->vars_.push_back(std::make_unique<EffectVar>());
          var = effect->vars_.back().get();
          var->name = u.name;
          var->glType = u.glType;
          var->arraySize = u.size;
          var->type = TypeOf(u.glType, u.size);
          if (var->type == VarType::kTexture) var->unit = nextUnit++;
        } else if (var->glType != u.glType || var->arraySize != u.size) {
          msg.Fail("variable \"" + u.name + "\" has different types in different passes");
          continue;
        }
        pass->bindings_.push_back(EffectPass::Binding{var, u.location});
      }
      technique->passes_.push_back(std::move(pass));
    }
    effect->techniques_.push_back(std::move(technique));
  }
  std::fflush(stdout);
  if (msg.failed()) return nullptr;
  return effect;
}

}  // namespace quadrix
