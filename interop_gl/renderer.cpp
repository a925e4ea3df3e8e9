#include "interop_gl/renderer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <opencv2/core.hpp>
#include <sstream>

#include "base/check.hpp"

namespace quadrix {

namespace {

// One level, bilinear, edges clamped: for the bound 2D texture.
void SampleLinearClamped() {
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

}  // namespace

MeshIndices BuildMeshIndices(int vx, int vy) {
  MeshIndices m;
  if (vx < 2 || vy < 2) return m;
  const size_t quads = static_cast<size_t>(vx - 1) * static_cast<size_t>(vy - 1);
  m.triangles.reserve(6 * quads);
  m.lines.reserve(8 * quads);
  const auto w = static_cast<std::uint32_t>(vx);
  for (int j = 0; j < vy - 1; ++j) {
    for (int i = 0; i < vx - 1; ++i) {
      const auto v = static_cast<std::uint32_t>(j) * w + static_cast<std::uint32_t>(i);
      m.triangles.insert(m.triangles.end(), {v, v + 1, v + w + 1, v, v + w + 1, v + w});
      m.lines.insert(m.lines.end(), {v, v + 1, v + 1, v + w + 1, v + w + 1, v + w, v + w, v});
    }
  }
  return m;
}

std::vector<float> BuildImageTexels(const cv::Mat& image) {
  const int w = image.cols;
  const int h = image.rows;
  std::vector<float> texels(static_cast<size_t>(w) * static_cast<size_t>(h) * 4, 0.0f);
  const int depth = image.depth();
  const int channels = image.channels();
  if (depth != CV_8U && depth != CV_32F) return texels;

  float* out = texels.data();
  for (int r = 0; r < h; ++r) {
    const int y = h - 1 - r;
    if (depth == CV_8U) {
      const uchar* row = image.ptr<uchar>(y);
      for (int x = 0; x < w; ++x, out += 4) {
        const uchar* px = row + static_cast<size_t>(x) * channels;
        if (channels == 3) {
          out[0] = static_cast<float>(px[2] / 255.0);
          out[1] = static_cast<float>(px[1] / 255.0);
          out[2] = static_cast<float>(px[0] / 255.0);
        } else {
          out[0] = out[1] = out[2] = static_cast<float>(px[0] / 255.0);
        }
        out[3] = 1.0f;
      }
    } else {
      const float* row = image.ptr<float>(y);
      for (int x = 0; x < w; ++x, out += 4) {
        const float* px = row + static_cast<size_t>(x) * channels;
        if (channels == 3) {
          out[0] = px[2];
          out[1] = px[1];
          out[2] = px[0];
        } else {
          out[0] = out[1] = out[2] = px[0];
        }
        out[3] = 1.0f;
      }
    }
  }
  return texels;
}

std::unique_ptr<Effect> CompileEffect(const std::string& effectFile, std::string& path) {
  if (effectFile.empty()) {
    const auto found = LocateDataFile(kEffectFileName);
    if (found.empty()) {
      std::string dirs;
      for (const auto& d : DataSearchDirs()) dirs += (dirs.empty() ? "" : ", ") + d.string();
      path = kEffectFileName;
      std::printf("%s: error: not found in %s\n", kEffectFileName, dirs.c_str());
      std::fflush(stdout);
      return nullptr;
    }
    path = found.string();
  } else {
    path = effectFile;
  }

  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    std::printf("%s: error: cannot be opened\n", path.c_str());
    std::fflush(stdout);
    return nullptr;
  }
  return Effect::Create(text.str(), path);
}

bool InitRenderer(RenderState& rs, const std::string& effectFile) {
  auto fail = [&rs](const char* why) {
    if (why != nullptr) {
      std::printf("%s: error: %s\n", rs.effectPath.c_str(), why);
      std::fflush(stdout);
    }
    rs.inputLayout.reset();
    rs.technique = nullptr;
    rs.meshPass = rs.gridPass = nullptr;
    rs.overlayPass = rs.plainPass = nullptr;
    rs.effect.reset();
    return false;
  };
  // The passes of an effect loaded before go with it.
  rs.overlayPass = rs.plainPass = nullptr;
  rs.effect = CompileEffect(effectFile, rs.effectPath);
  if (!rs.effect) return fail(nullptr);
  rs.technique = rs.effect->GetTechniqueByName(kTechniqueName);
  if (rs.technique == nullptr) return fail("no technique \"Draw2DInterop\"");
  rs.meshPass = rs.technique->GetPassByIndex(0);
  rs.gridPass = rs.technique->GetPassByIndex(1);
  if (rs.meshPass == nullptr || rs.gridPass == nullptr)
    return fail("technique \"Draw2DInterop\" needs two passes");
  if (!CreateInputLayout(rs)) return fail("both passes must take the input \"POSITION\"");
  // The overlay needs a third pass reading POSITION alike and the texture.
  EffectPass* overlay = rs.technique->GetPassByIndex(2);
  if (overlay != nullptr &&
      glGetAttribLocation(overlay->Program(), "POSITION") == rs.positionLocation &&
      rs.effect->GetVariableByName("g_Overlay").AsShaderResource().IsValid())
    rs.overlayPass = overlay;
  EffectPass* plain = rs.technique->GetPassByIndex(3);
  if (plain != nullptr && glGetAttribLocation(plain->Program(), "POSITION") == rs.positionLocation)
    rs.plainPass = plain;
  return true;
}

bool CreateInputLayout(RenderState& rs) {
  rs.inputLayout.reset();
  rs.positionLocation = -1;
  if (rs.meshPass == nullptr || rs.gridPass == nullptr) return false;
  // One layout serves both passes, so they must read POSITION alike.
  const GLint mesh = glGetAttribLocation(rs.meshPass->Program(), "POSITION");
  const GLint grid = glGetAttribLocation(rs.gridPass->Program(), "POSITION");
  if (mesh < 0 || mesh != grid) return false;
  rs.positionLocation = mesh;
  rs.inputLayout = MakeGlVertexArray();
  glBindVertexArray(rs.inputLayout.get());
  glEnableVertexAttribArray(static_cast<GLuint>(mesh));
  glBindVertexArray(0);
  return true;
}

bool CreateImageTexture(const cv::Mat& image, RenderState& rs, int slot) {
  QX_CHECK(slot == 0 || slot == 1);
  GlTexture texture = AllocateImageTexture(image.size());
  if (!texture) return false;
  const std::vector<float> texels = BuildImageTexels(image);
  UploadTexelRows(texture, image.cols, texels.data(), 0, image.rows);
  rs.textureViews[static_cast<size_t>(slot)] = std::move(texture);
  return true;
}

GlTexture AllocateImageTexture(cv::Size size) {
  GLint maxSize = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  if (size.width > maxSize || size.height > maxSize) {
    std::fprintf(stderr, "image of %dx%d pixels exceeds the largest texture (%d) of this context\n",
                 size.width, size.height, maxSize);
    return {};
  }
  GlTexture texture = MakeGlTexture();
  glBindTexture(GL_TEXTURE_2D, texture.get());
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, size.width, size.height, 0, GL_RGBA, GL_FLOAT,
               nullptr);
  SampleLinearClamped();
  glBindTexture(GL_TEXTURE_2D, 0);
  return texture;
}

void UploadTexelRows(const GlTexture& texture, int width, const float* texels, int firstRow,
                     int rowCount) {
  if (!texture || width <= 0 || rowCount <= 0) return;
  glBindTexture(GL_TEXTURE_2D, texture.get());
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, firstRow, width, rowCount, GL_RGBA, GL_FLOAT,
                  texels + static_cast<size_t>(firstRow) * static_cast<size_t>(width) * 4);
  glBindTexture(GL_TEXTURE_2D, 0);
}

void UpdateImageTextureRows(RenderState& rs, int slot, const cv::Mat& image, int firstRow,
                            int rowCount) {
  QX_CHECK(slot == 0 || slot == 1);
  firstRow = std::max(0, firstRow);
  rowCount = std::min(rowCount, image.rows - firstRow);
  if (rowCount <= 0) return;
  // Texture rows run bottom up: the band's last image row is its first.
  const std::vector<float> texels = BuildImageTexels(image.rowRange(firstRow, firstRow + rowCount));
  glBindTexture(GL_TEXTURE_2D, rs.textureViews[static_cast<size_t>(slot)].get());
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, image.rows - firstRow - rowCount, image.cols, rowCount,
                  GL_RGBA, GL_FLOAT, texels.data());
  // The levels below now show the old image.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
  glBindTexture(GL_TEXTURE_2D, 0);
}

bool CreateOverlayTexture(RenderState& rs, cv::Size size) {
  rs.overlayTexture.reset();
  if (rs.overlayPass == nullptr || size.area() <= 0) return false;
  rs.overlayTexture = MakeOverlayTexture(size);
  return true;
}

GlTexture MakeOverlayTexture(cv::Size size) {
  if (size.area() <= 0) return {};
  const std::vector<std::uint8_t> clear(static_cast<size_t>(size.area()) * 4, 0);
  GlTexture texture = MakeGlTexture();
  glBindTexture(GL_TEXTURE_2D, texture.get());
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, size.width, size.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
               clear.data());
  SampleLinearClamped();
  glBindTexture(GL_TEXTURE_2D, 0);
  return texture;
}

void UpdateOverlay(RenderState& rs, cv::Rect rect, const cv::Mat& rgba) {
  if (!rs.overlayTexture || rect.empty()) return;
  QX_CHECK(rgba.type() == CV_8UC4 && rgba.size() == rect.size() && rgba.isContinuous());
  GLint height = 0;
  glBindTexture(GL_TEXTURE_2D, rs.overlayTexture.get());
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
  // Bottom row first, as the image textures: upload the rows turned over.
  cv::Mat flipped;
  cv::flip(rgba, flipped, 0);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexSubImage2D(GL_TEXTURE_2D, 0, rect.x, height - rect.y - rect.height, rect.width, rect.height,
                  GL_RGBA, GL_UNSIGNED_BYTE, flipped.data);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glBindTexture(GL_TEXTURE_2D, 0);
}

void CreateMeshBuffers(RenderState& rs, int vx, int vy) {
  QX_CHECK(vx >= 2 && vy >= 2);
  rs.vxCount = vx;
  rs.vyCount = vy;
  const MeshIndices indices = BuildMeshIndices(vx, vy);
  rs.triangleIndexCount = static_cast<int>(indices.triangles.size());
  rs.lineIndexCount = static_cast<int>(indices.lines.size());

  // Element buffers are bound through a vertex array; a temporary one keeps
  // the input layout's binding untouched.
  GlVertexArray scratch = MakeGlVertexArray();
  glBindVertexArray(scratch.get());
  auto upload = [](const std::vector<std::uint32_t>& list) {
    GlBuffer buffer = MakeGlBuffer();
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffer.get());
    glBufferData(GL_ELEMENT_ARRAY_BUFFER,
                 static_cast<GLsizeiptr>(list.size() * sizeof(std::uint32_t)), list.data(),
                 GL_STATIC_DRAW);
    return buffer;
  };
  rs.triangleIndexBuffer = upload(indices.triangles);
  rs.lineIndexBuffer = upload(indices.lines);
  glBindVertexArray(0);

  rs.vertexBuffer = MakeGlBuffer();
  glBindBuffer(GL_ARRAY_BUFFER, rs.vertexBuffer.get());
  glBufferData(GL_ARRAY_BUFFER,
               static_cast<GLsizeiptr>(sizeof(float) * 2 * static_cast<size_t>(vx) *
                                       static_cast<size_t>(vy)),
               nullptr, GL_DYNAMIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  rs.ready = true;
}

void UpdateVertices(RenderState& rs, const float* xy, std::size_t vertexCount) {
  QX_CHECK(rs.vertexBuffer && vertexCount == static_cast<std::size_t>(rs.vxCount) *
                                                 static_cast<std::size_t>(rs.vyCount));
  // Each triangle maps target pixels to texels affinely: its derivatives
  // give the footprint, as the shader's dFdx and dFdy do.
  GLint width = 0;
  GLint height = 0;
  if (rs.textureViews[0]) {
    glBindTexture(GL_TEXTURE_2D, rs.textureViews[0].get());
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    glBindTexture(GL_TEXTURE_2D, 0);
  }
  const double cellW = static_cast<double>(width) / (rs.vxCount - 1);
  const double cellH = static_cast<double>(height) / (rs.vyCount - 1);
  double largest = 0.0;
  const auto w = static_cast<std::size_t>(rs.vxCount);
  for (int j = 0; j + 1 < rs.vyCount; ++j)
    for (int i = 0; i + 1 < rs.vxCount; ++i) {
      const std::size_t v = static_cast<std::size_t>(j) * w + static_cast<std::size_t>(i);
      // Both triangles of the quad: (TL, TR, BR) and (TL, BR, BL), each
      // with one edge along a grid row and one along a column.
      const std::size_t tri[2][3] = {{v, v + 1, v + w + 1}, {v + w + 1, v + w, v}};
      for (const auto& t : tri) {
        const double ax = xy[2 * t[1]] - xy[2 * t[0]], ay = xy[2 * t[1] + 1] - xy[2 * t[0] + 1];
        const double bx = xy[2 * t[2]] - xy[2 * t[1]], by = xy[2 * t[2] + 1] - xy[2 * t[1] + 1];
        // Source steps: first edge +-cellW along x, second +-cellH along y.
        const double det = ax * by - ay * bx;
        if (!(std::abs(det) > 0.0) || !std::isfinite(det)) {
          largest = std::numeric_limits<double>::infinity();
          continue;
        }
        // Inverse of [a b] (columns) times diag(cellW, cellH), row sums.
        const double footX = cellW * (std::abs(by) + std::abs(bx)) / std::abs(det);
        const double footY = cellH * (std::abs(ay) + std::abs(ax)) / std::abs(det);
        largest = std::max({largest, footX, footY});
      }
    }
  rs.largestFootprint = largest;
  glBindBuffer(GL_ARRAY_BUFFER, rs.vertexBuffer.get());
  // A fresh data store each time: the driver may still read the old one.
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertexCount * 2 * sizeof(float)), xy,
               GL_DYNAMIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
}

namespace {
// Set as the colour texture's maximum level (which nothing else reads, its
// sampling being one-level) once its 8-bit copy is made; textures are made,
// and their rows rewritten, with 0.
constexpr GLint kCopiedMark = 1000;
}  // namespace

bool EnsureSharpTexture(RenderState& rs) {
  const GlTexture& source = rs.textureViews[0];
  if (!source) return false;
  glBindTexture(GL_TEXTURE_2D, source.get());
  GLint mark = 0;
  GLint width = 0;
  GLint height = 0;
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, &mark);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
  if (rs.sharpTexture && rs.sharpSource == source.get() && mark == kCopiedMark) {
    glBindTexture(GL_TEXTURE_2D, 0);
    return true;
  }
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, kCopiedMark);
  int top = 0;
  for (int side = std::max(width, height); side > 1; side /= 2) ++top;

  GlTexture copy = MakeGlTexture();
  glBindTexture(GL_TEXTURE_2D, copy.get());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, top);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);

  // Copied on the GPU by a blit, which rounds each value to the nearest
  // 8-bit step: the texels were bytes / 255, so they come back exactly.
  GLint drawFb = 0;
  GLint readFb = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawFb);
  glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readFb);
  const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
  glDisable(GL_SCISSOR_TEST);
  GlFramebuffer from = MakeGlFramebuffer();
  GlFramebuffer to = MakeGlFramebuffer();
  glBindFramebuffer(GL_READ_FRAMEBUFFER, from.get());
  glFramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, source.get(), 0);
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, to.get());
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, copy.get(), 0);
  const GLenum attachment = GL_COLOR_ATTACHMENT0;
  glDrawBuffers(1, &attachment);
  glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(readFb));
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(drawFb));
  if (scissor) glEnable(GL_SCISSOR_TEST);

  if (top > 0) glGenerateMipmap(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, 0);
  rs.sharpTexture = std::move(copy);
  rs.sharpSource = source.get();
  rs.sharpLevels = top;
  return true;
}

void DrawMesh(RenderState& rs) {
  if (!rs.ready || !rs.inputLayout) return;
  Effect* effect = rs.effect.get();
  // Effects without the filter's variables draw bilinear.
  const bool sharp = rs.filtered && rs.textureIndex == 0 &&
                     effect->GetVariableByName("filtered").IsValid() && EnsureSharpTexture(rs);
  if (effect->GetVariableByName("filtered").IsValid()) {
    // Drawn into a viewport of another size, a target pixel covers more
    // or fewer of its pixels.
    GLint viewport[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, viewport);
    const double zoom = std::min(viewport[2] / std::max(1.0, static_cast<double>(rs.newWidth)),
                                 viewport[3] / std::max(1.0, static_cast<double>(rs.newHeight)));
    // Within the shader's slack (1.001) with room for its rounding.
    const bool minifying = !(rs.largestFootprint <= 1.0005 * std::max(zoom, 1e-9));
    MustSetVar(effect, "filtered", sharp ? (minifying ? 2 : 1) : 0);
    MustSetVar(effect, "maxLevel", sharp ? rs.sharpLevels : 0);
  }
  MustSetVar(effect, "vxCount", rs.vxCount);
  MustSetVar(effect, "vyCount", rs.vyCount);
  MustSetVar(effect, "srcWidth", static_cast<float>(rs.srcWidth));
  MustSetVar(effect, "srcHeight", static_cast<float>(rs.srcHeight));
  MustSetVar(effect, "newWidth", static_cast<float>(rs.newWidth));
  MustSetVar(effect, "newHeight", static_cast<float>(rs.newHeight));
  QX_CHECK(rs.textureIndex == 0 || rs.textureIndex == 1);
  MustSetVar(effect, "g_Texture",
             sharp ? rs.sharpTexture : rs.textureViews[static_cast<size_t>(rs.textureIndex)]);

  (!sharp && rs.plainPass != nullptr ? rs.plainPass : rs.meshPass)->Apply();
  glBindVertexArray(rs.inputLayout.get());
  glBindBuffer(GL_ARRAY_BUFFER, rs.vertexBuffer.get());
  glVertexAttribPointer(static_cast<GLuint>(rs.positionLocation), 2, GL_FLOAT, GL_FALSE,
                        2 * sizeof(float), nullptr);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, rs.triangleIndexBuffer.get());
  glDrawElements(GL_TRIANGLES, rs.triangleIndexCount, GL_UNSIGNED_INT, nullptr);

  if (rs.showOverlay && rs.overlayPass != nullptr && rs.overlayTexture) {
    MustSetVar(effect, "g_Overlay", rs.overlayTexture);
    rs.overlayPass->Apply();
    glDrawElements(GL_TRIANGLES, rs.triangleIndexCount, GL_UNSIGNED_INT, nullptr);
    glDisable(GL_BLEND);
  }
  if (rs.showGrid) {
    rs.gridPass->Apply();
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, rs.lineIndexBuffer.get());
    glDrawElements(GL_LINES, rs.lineIndexCount, GL_UNSIGNED_INT, nullptr);
  }
  glBindVertexArray(0);
  glUseProgram(0);
}

void ReleaseRenderState(RenderState& rs) {
  rs.triangleIndexBuffer.reset();
  rs.lineIndexBuffer.reset();
  rs.vertexBuffer.reset();
  rs.textureViews[0].reset();
  rs.textureViews[1].reset();
  rs.sharpTexture.reset();
  rs.overlayTexture.reset();
  rs.overlayPass = rs.plainPass = nullptr;
  rs.technique = nullptr;
  rs.meshPass = rs.gridPass = nullptr;
  rs.effect.reset();
  rs.inputLayout.reset();
  rs = RenderState{};
}

}  // namespace quadrix
