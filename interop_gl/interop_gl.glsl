// Effect of the mesh renderer: the textured mesh (pass 0) and the grid
// lines on top of it (pass 1). Vertex positions are target pixels, origin at
// the top-left corner, y downwards.

//@common
uniform int vxCount;
uniform int vyCount;
uniform float srcWidth;
uniform float srcHeight;
uniform float newWidth;
uniform float newHeight;
uniform sampler2D g_Texture;
uniform sampler2D g_Overlay;
// Mesh pass: 1 draws with the resampling filter below where no pixel
// minifies, 2 where some may, 0 bilinear; the highest mip level of
// g_Texture the filter may read.
uniform int filtered;
uniform int maxLevel;

// Target rectangle onto the whole viewport, top-left to clip (-1, 1).
vec4 TargetToClip(vec2 p) {
  return vec4(2.0 * p.x / newWidth - 1.0, 1.0 - 2.0 * p.y / newHeight, 0.0, 1.0);
}

//@vertex MeshVS
layout(location = 0) in vec2 POSITION;
out vec2 texCoord;

void main() {
  // The vertex number names the grid column and row, and so the position
  // in the source image that this vertex carries.
  int column = gl_VertexID % vxCount;
  int row = gl_VertexID / vxCount;
  vec2 src = vec2(float(column) * srcWidth / float(vxCount - 1),
                  float(row) * srcHeight / float(vyCount - 1));
  // Texture row 0 holds the bottom image row.
  texCoord = vec2(src.x / srcWidth, 1.0 - src.y / srcHeight);
  gl_Position = TargetToClip(POSITION);
}

//@fragment MeshFS
in vec2 texCoord;
out vec4 colour;

// Resampling as a photo editor does it, along each texture axis: when
// minifying a bicubic kernel (Keys, a = -0.75: sharp) widened to the
// pixel's footprint so that it averages, when magnifying the Catmull-Rom
// cubic (a = -0.5: less ringing) in a fixed 4 x 4 pattern. Footprints above
// kMaxArea texels read a mip level instead, keeping the taps per pixel
// bounded (level 0 serves down to a third). The processor fallback
// (cpu_raster.cpp) does the same, step by step.
const float kMaxArea = 10.0;
const float kMaxSide = 7.0;  // footprint per axis, so that 4 x 7 + 1 taps fit
const float kSlack = 1.001;
const int kMaxTaps = 32;

float Cubic(float x) {
  float a = abs(x);
  if (a >= 2.0) return 0.0;
  if (a < 1.0) return (1.25 * a - 2.25) * a * a + 1.0;
  return ((-0.75 * a + 3.75) * a - 6.0) * a + 3.0;
}

// Catmull-Rom weights of the four texels around a position t (0 <= t < 1)
// past the second one's centre: offsets t + 1, t, 1 - t, 2 - t.
vec4 Cubic4(float t) {
  float u = 1.0 - t;
  return vec4(((-0.5 * t + 1.0) * t - 0.5) * t, (1.5 * t - 2.5) * t * t + 1.0,
              (1.5 * u - 2.5) * u * u + 1.0, ((-0.5 * u + 1.0) * u - 0.5) * u);
}

vec4 Sharp(sampler2D image, vec2 at) {
  ivec2 base = textureSize(image, 0);
  vec2 size0 = vec2(base);
  vec2 p = at * size0;  // texel units, texel centres at +0.5
  // The triangle's map is affine: these are its exact derivatives, equal
  // over the triangle up to rounding. The slack keeps rounding from
  // choosing another level for some of its pixels (exact ratios such as 2
  // lie on the bounds).
  vec2 foot = abs(dFdx(p)) + abs(dFdy(p));
  vec2 cover = max(foot, vec2(1.0));
  int level = 0;
  if (cover.x * cover.y > kMaxArea * kSlack)
    level = int(ceil(0.5 * log2(cover.x * cover.y / (kMaxArea * kSlack))));
  float side = max(cover.x, cover.y);
  if (side > kMaxSide * kSlack) level = max(level, int(ceil(log2(side / (kMaxSide * kSlack)))));
  level = clamp(level, 0, maxLevel);
  // Level sizes as GL defines them; textureSize with a level that differs
  // between pixels drawn together is not to be trusted on every driver.
  ivec2 size = max(base >> level, ivec2(1));
  vec2 toLevel = vec2(size) / size0;
  p *= toLevel;
  vec2 scale = min(max(foot * toLevel, vec2(1.0)), vec2(kMaxSide));

  // Up to a hair above 1 counts as magnifying: the triangles along an
  // unchanged side have a footprint of 1 give or take rounding.
  if (max(foot.x * toLevel.x, foot.y * toLevel.y) <= kSlack) {
    // Magnifying (or at the photo's size): four taps each way.
    vec2 f = p - 0.5;
    vec2 i0 = floor(f);
    vec4 wx = Cubic4(f.x - i0.x);
    vec4 wy = Cubic4(f.y - i0.y);
    ivec4 xs = clamp(ivec4(int(i0.x)) + ivec4(-1, 0, 1, 2), 0, size.x - 1);
    ivec4 ys = clamp(ivec4(int(i0.y)) + ivec4(-1, 0, 1, 2), 0, size.y - 1);
    vec4 sum = vec4(0.0);
    for (int j = 0; j < 4; ++j) {
      vec4 line = wx.x * texelFetch(image, ivec2(xs.x, ys[j]), level) +
                  wx.y * texelFetch(image, ivec2(xs.y, ys[j]), level) +
                  wx.z * texelFetch(image, ivec2(xs.z, ys[j]), level) +
                  wx.w * texelFetch(image, ivec2(xs.w, ys[j]), level);
      sum += wy[j] * line;
    }
    return sum;  // each way's weights add up to 1
  }

  // The minifying part, where the mesh needs it: not reading it is much
  // quicker on a software rasterizer.
  if (filtered != 2) return textureLod(image, at, 0.0);
  ivec2 first = ivec2(ceil(p - 2.0 * scale - 0.5));
  ivec2 last = ivec2(floor(p + 2.0 * scale - 0.5));
  last = min(last, first + (kMaxTaps - 1));
  float wx[kMaxTaps];
  float sumX = 0.0;
  for (int x = first.x; x <= last.x; ++x) {
    float w = Cubic((float(x) + 0.5 - p.x) / scale.x);
    wx[x - first.x] = w;
    sumX += w;
  }
  vec4 sum = vec4(0.0);
  float sumY = 0.0;
  for (int y = first.y; y <= last.y; ++y) {
    float wy = Cubic((float(y) + 0.5 - p.y) / scale.y);
    int row = clamp(y, 0, size.y - 1);
    vec4 line = vec4(0.0);
    for (int x = first.x; x <= last.x; ++x)
      line += wx[x - first.x] * texelFetch(image, ivec2(clamp(x, 0, size.x - 1), row), level);
    sum += wy * line;
    sumY += wy;
  }
  return sum / (sumX * sumY);
}

void main() {
  colour = filtered != 0 ? Sharp(g_Texture, texCoord) : texture(g_Texture, texCoord);
}

// The bilinear draw on its own: a software renderer runs both sides of a
// branch, so MeshFS pays for the filter's loops even with filtered at 0
// (three times the time of this pass on llvmpipe).
//@fragment PlainFS
in vec2 texCoord;
out vec4 colour;

void main() {
  colour = texture(g_Texture, texCoord);
}

//@fragment OverlayFS
in vec2 texCoord;
out vec4 colour;

void main() {
  colour = texture(g_Overlay, texCoord);
}

//@vertex GridVS
layout(location = 0) in vec2 POSITION;

void main() {
  gl_Position = TargetToClip(POSITION);
}

//@fragment GridFS
out vec4 colour;

void main() {
  colour = vec4(1.0, 0.0, 0.0, 1.0);  // pure red
}

// Everything lies at depth 0: the lines must pass where the mesh already is,
// and folded triangles face away but are still drawn. Pass 2 lays a tint
// over the mesh (the painted importance), blended; pass 3 is the bilinear
// mesh pass.
//@technique Draw2DInterop
//@pass MeshVS MeshFS cull=none depth=lequal blend=off
//@pass GridVS GridFS cull=none depth=lequal blend=off
//@pass MeshVS OverlayFS cull=none depth=lequal blend=alpha
//@pass MeshVS PlainFS cull=none depth=lequal blend=off
