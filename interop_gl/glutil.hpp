#pragma once
// OpenGL helpers for the display: owning wrappers of GL object names, the
// target state shared by the window and the off-screen target, a locator for
// data files, and a small effect layer. An effect is one GLSL file holding
// shared declarations, named vertex and fragment stages and techniques made
// of passes; each pass is linked into one program. Variables live in the
// effect and reach every pass that uses them when the pass is applied.
//
// Effect file format (lines starting with "//@" are directives):
//   //@common                  text put in front of every stage
//   //@vertex NAME             a vertex stage
//   //@fragment NAME           a fragment stage
//   //@technique NAME          starts a technique
//   //@pass VERTEX FRAGMENT [cull=none|back|front] [depth=off|less|lequal|always]
// Passes are numbered from 0 in file order within their technique. A stage
// gets "#version 330 core" and "#line" directives, so the compiler's line
// numbers are the file's.

#include <epoxy/gl.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quadrix {

// Owns one GL object name. The context that made it must be current when the
// wrapper lets it go.
template <class Deleter>
class GlObject {
 public:
  GlObject() = default;
  explicit GlObject(GLuint id) : id_(id) {}
  GlObject(GlObject&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  GlObject& operator=(GlObject&& other) noexcept {
    if (this != &other) reset(std::exchange(other.id_, 0));
    return *this;
  }
  GlObject(const GlObject&) = delete;
  GlObject& operator=(const GlObject&) = delete;
  ~GlObject() { reset(); }

  GLuint get() const { return id_; }
  explicit operator bool() const { return id_ != 0; }
  void reset(GLuint id = 0) {
    if (id_ != 0) Deleter{}(id_);
    id_ = id;
  }
  // Gives the name up without deleting it (to hand it to another context
  // of the same share group).
  GLuint release() { return std::exchange(id_, 0); }

 private:
  GLuint id_ = 0;
};

namespace gl_detail {
struct BufferDeleter {
  void operator()(GLuint id) const { glDeleteBuffers(1, &id); }
};
struct TextureDeleter {
  void operator()(GLuint id) const { glDeleteTextures(1, &id); }
};
struct VertexArrayDeleter {
  void operator()(GLuint id) const { glDeleteVertexArrays(1, &id); }
};
struct FramebufferDeleter {
  void operator()(GLuint id) const { glDeleteFramebuffers(1, &id); }
};
struct RenderbufferDeleter {
  void operator()(GLuint id) const { glDeleteRenderbuffers(1, &id); }
};
struct ShaderDeleter {
  void operator()(GLuint id) const { glDeleteShader(id); }
};
struct ProgramDeleter {
  void operator()(GLuint id) const { glDeleteProgram(id); }
};
}  // namespace gl_detail

using GlBuffer = GlObject<gl_detail::BufferDeleter>;
using GlTexture = GlObject<gl_detail::TextureDeleter>;
using GlVertexArray = GlObject<gl_detail::VertexArrayDeleter>;
using GlFramebuffer = GlObject<gl_detail::FramebufferDeleter>;
using GlRenderbuffer = GlObject<gl_detail::RenderbufferDeleter>;
using GlShader = GlObject<gl_detail::ShaderDeleter>;
using GlProgram = GlObject<gl_detail::ProgramDeleter>;

GlBuffer MakeGlBuffer();
GlTexture MakeGlTexture();
GlVertexArray MakeGlVertexArray();
GlFramebuffer MakeGlFramebuffer();
GlRenderbuffer MakeGlRenderbuffer();

// --- Target state -----------------------------------------------------------

// State every target starts from: depth test on with "less", triangles
// running counter-clockwise on screen culled. Passes that need something
// else must say so.
void ResetTargetState();

// Viewport of the whole target with the depth range 0 to 0, so everything
// drawn lies at depth 0.
void SetTargetViewport(int width, int height);

// Opaque colour (components 0 to 1; white unless given) and depth 1.0,
// whatever the write masks were left at.
void ClearTarget(float red = 1.0f, float green = 1.0f, float blue = 1.0f);

// --- Data files -------------------------------------------------------------

// Where data files are looked for, in order: the working directory, the
// directory of the running executable, the folders added below, the
// installed data directory.
std::vector<std::filesystem::path> DataSearchDirs();
// Adds a folder to look in after the executable's: a library loaded into
// another program (the Python module) looks beside itself.
void AddDataSearchDir(const std::filesystem::path& dir);

// The first regular file called `name` in DataSearchDirs(); empty if none.
std::filesystem::path LocateDataFile(const std::string& name);

// --- Effects ----------------------------------------------------------------

namespace gl_detail {
struct EffectVar;
}

class EffectScalarVariable {
 public:
  bool IsValid() const { return var_ != nullptr; }
  // False unless the variable is a scalar of that type.
  bool SetInt(int value);
  bool SetFloat(float value);

 private:
  friend class EffectVariable;
  explicit EffectScalarVariable(gl_detail::EffectVar* var) : var_(var) {}
  gl_detail::EffectVar* var_ = nullptr;
};

class EffectShaderResourceVariable {
 public:
  bool IsValid() const { return var_ != nullptr; }
  // `texture` is a 2D texture name; 0 unbinds. False unless a sampler.
  bool SetResource(GLuint texture);

 private:
  friend class EffectVariable;
  explicit EffectShaderResourceVariable(gl_detail::EffectVar* var) : var_(var) {}
  gl_detail::EffectVar* var_ = nullptr;
};

// A handle that may be invalid (unknown name); its typed views are then
// invalid too and every setter fails.
class EffectVariable {
 public:
  bool IsValid() const { return var_ != nullptr; }
  EffectScalarVariable AsScalar() const;
  EffectShaderResourceVariable AsShaderResource() const;

 private:
  friend class Effect;
  explicit EffectVariable(gl_detail::EffectVar* var) : var_(var) {}
  gl_detail::EffectVar* var_ = nullptr;
};

class Effect;

class EffectPass {
 public:
  // Uses the pass's program, uploads the effect's variables that it uses,
  // binds its textures and sets its render states.
  void Apply();
  GLuint Program() const { return program_.get(); }

 private:
  friend class Effect;
  struct Binding {
    gl_detail::EffectVar* var;
    GLint location;
  };
  enum class Cull { kKeep, kNone, kBack, kFront };
  enum class Depth { kKeep, kOff, kLess, kLequal, kAlways };
  enum class Blend { kKeep, kOff, kAlpha };
  // Takes a state word such as "cull=none"; false when it is unknown.
  bool SetState(const std::string& state);
  GlProgram program_;
  std::vector<Binding> bindings_;
  Cull cull_ = Cull::kKeep;
  Depth depth_ = Depth::kKeep;
  Blend blend_ = Blend::kKeep;
};

class EffectTechnique {
 public:
  // Null when there is no such pass.
  EffectPass* GetPassByIndex(int index);
  int PassCount() const { return static_cast<int>(passes_.size()); }

 private:
  friend class Effect;
  std::string name_;
  std::vector<std::unique_ptr<EffectPass>> passes_;
};

class Effect {
 public:
  // Parses `source` and compiles and links every pass with the current
  // context. Every message of the parser, the compiler and the linker is
  // printed on standard output under `path`. Null when anything failed.
  static std::unique_ptr<Effect> Create(const std::string& source, const std::string& path);

  ~Effect();
  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;

  // Null when there is no such technique.
  EffectTechnique* GetTechniqueByName(std::string_view name);
  // Variables are the uniforms that at least one pass uses.
  EffectVariable GetVariableByName(std::string_view name);

 private:
  struct Key {};

 public:
  explicit Effect(Key);

 private:
  std::vector<std::unique_ptr<gl_detail::EffectVar>> vars_;
  std::vector<std::unique_ptr<EffectTechnique>> techniques_;
};

// Setters of one variable by name; a missing variable or one of another type
// is a failed internal check.
void MustSetVar(Effect* pEffect, const char* name, int v);
void MustSetVar(Effect* pEffect, const char* name, float v);
void MustSetVar(Effect* pEffect, const char* name, const GlTexture& texture);

}  // namespace quadrix
