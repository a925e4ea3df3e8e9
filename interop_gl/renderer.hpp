#pragma once
// The mesh renderer: a grid of vxCount x vyCount vertices whose positions
// change with every solve, textured with the colour or the importance image,
// with the grid lines on top when asked. Every routine needs the target's GL
// context to be current.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "interop_gl/glutil.hpp"

namespace quadrix {

inline constexpr char kEffectFileName[] = "interop_gl.glsl";
inline constexpr char kTechniqueName[] = "Draw2DInterop";

struct RenderState {
  bool ready = false;  // buffers exist; drawing is allowed
  bool showGrid = false;
  GlBuffer triangleIndexBuffer;
  GlBuffer lineIndexBuffer;
  GlBuffer vertexBuffer;
  GlVertexArray inputLayout;  // the one-element POSITION format
  // Slot 0 the colour image, slot 1 the importance image. A GL texture is
  // its own shader view.
  std::array<GlTexture, 2> textureViews;
  std::unique_ptr<Effect> effect;
  EffectTechnique* technique = nullptr;  // these three belong to the effect
  EffectPass* meshPass = nullptr;
  EffectPass* gridPass = nullptr;
  int triangleIndexCount = 0;
  int lineIndexCount = 0;
  int vxCount = 0;
  int vyCount = 0;
  int srcWidth = 0;
  int srcHeight = 0;
  int newWidth = 0;
  int newHeight = 0;
  int textureIndex = 0;
  // The colour image drawn with the resampling filter (sharp, mip levels
  // made on first use); false draws it bilinear as before. The importance
  // image is always bilinear.
  bool filtered = true;
  // The largest footprint of a target pixel in texels of the colour image
  // along either texture axis, over the triangles of the last vertices:
  // below 1 the filter only magnifies and skips its minifying part.
  double largestFootprint = 0.0;
  // What the filter reads: an 8-bit copy of the colour texture with its
  // mip levels (the colour image is 8-bit: nothing is lost, and fetches are
  // cheaper), made on the first filtered draw from `sharpSource`.
  GlTexture sharpTexture;
  unsigned sharpSource = 0;
  int sharpLevels = 0;        // its highest level
  int positionLocation = -1;  // attribute location of POSITION in both passes
  // An effect's optional third pass: a tint over the mesh (RGBA, blended),
  // sampled like the image textures from "g_Overlay". Null without one.
  EffectPass* overlayPass = nullptr;
  // An optional fourth pass: the mesh drawn bilinear without the filter's
  // code. Null without one; pass 0 with `filtered` at 0 draws the same.
  EffectPass* plainPass = nullptr;
  GlTexture overlayTexture;
  bool showOverlay = false;
  // The effect file InitRenderer used, or the name it looked for when it
  // found none: what to name when the effect cannot be used.
  std::string effectPath;
};

// Both index lists of a vx x vy grid, quad by quad in row-major quad order:
// 6 triangle indices (top-left, top-right, bottom-right; top-left,
// bottom-right, bottom-left) and 8 line indices (the quad's outline).
struct MeshIndices {
  std::vector<std::uint32_t> triangles;
  std::vector<std::uint32_t> lines;
};
MeshIndices BuildMeshIndices(int vx, int vy);

// Texels of an image as RGBA 32-bit floats, 4 per pixel, bottom row first.
// 8-bit: 3 channels are B, G, R scaled by 1/255; other channel counts give a
// grey from channel 0. 32-bit float: 3 channels reversed, others grey from
// channel 0, unscaled. Alpha is 1. Any other depth gives all zeros.
std::vector<float> BuildImageTexels(const cv::Mat& image);

// Finds the effect file (`effectFile` when given, else "interop_gl.glsl" in
// the data search path), compiles it and prints every message on standard
// output. `path` receives the file used or, when none was found, the name
// looked for. Null when the effect cannot be used.
std::unique_ptr<Effect> CompileEffect(const std::string& effectFile, std::string& path);

// Effect, technique, both passes and input layout. False when the effect
// cannot be used; the caller must then not draw.
bool InitRenderer(RenderState& rs, const std::string& effectFile = {});

// The vertex array of the POSITION format as the mesh pass reads it. False
// when the passes take no such input.
bool CreateInputLayout(RenderState& rs);

// Replaces rs.textureViews[slot] (0 or 1) by a texture of `image`. False,
// with a message on standard error, when the image exceeds the largest
// texture the context supports.
bool CreateImageTexture(const cv::Mat& image, RenderState& rs, int slot);

// The same in two parts, so that a large image can be handed over a band at
// a time: a texture of `size` in the image textures' format with undefined
// contents (empty, with a message on standard error, when the context cannot
// hold it), then rows [firstRow, firstRow + rowCount) of it from texels laid
// out as BuildImageTexels lays them out for an image `width` wide.
GlTexture AllocateImageTexture(cv::Size size);
void UploadTexelRows(const GlTexture& texture, int width, const float* texels, int firstRow,
                     int rowCount);

// Rows [firstRow, firstRow + rowCount) of `image` (top row first) into the
// texture of `slot`, which must have the image's size. Its mip levels are
// remade on the next filtered draw.
void UpdateImageTextureRows(RenderState& rs, int slot, const cv::Mat& image, int firstRow,
                            int rowCount);

// The overlay: an RGBA8 texture of `size` texels (any size: it is stretched
// over the source image), all clear. False without an overlay pass.
bool CreateOverlayTexture(RenderState& rs, cv::Size size);
// Such a texture alone, in the context current on this thread (which may
// share its objects with the one that draws).
GlTexture MakeOverlayTexture(cv::Size size);
// Replaces the texels of `rect` (texel rows counted from the top) by `rgba`
// (CV_8UC4, R, G, B, A, top row first, rect's size).
void UpdateOverlay(RenderState& rs, cv::Rect rect, const cv::Mat& rgba);

// Index and vertex buffers for a vx x vy grid; sets the counts and `ready`.
void CreateMeshBuffers(RenderState& rs, int vx, int vy);

// Rewrites the whole vertex buffer, discarding the old contents: `xy` holds
// vxCount * vyCount (x, y) pairs in vertex order, in target pixels.
void UpdateVertices(RenderState& rs, const float* xy, std::size_t vertexCount);

// rs.sharpTexture made from rs.textureViews[0] unless it already is, with
// every mip level; false when there is no colour texture.
bool EnsureSharpTexture(RenderState& rs);

// Sets the effect variables and draws the mesh, then the grid if asked, then
// the overlay when it is shown and the effect has its pass. Draws nothing
// before CreateMeshBuffers. Ends the program when a variable cannot be set.
void DrawMesh(RenderState& rs);

// Lets every GL object go and empties the record.
void ReleaseRenderState(RenderState& rs);

}  // namespace quadrix
