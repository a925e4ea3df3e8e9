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
// over the mesh (the painted importance), blended.
//@technique Draw2DInterop
//@pass MeshVS MeshFS cull=none depth=lequal blend=off
//@pass GridVS GridFS cull=none depth=lequal blend=off
//@pass MeshVS OverlayFS cull=none depth=lequal blend=alpha
