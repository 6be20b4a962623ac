#pragma once
// GLSL sources of the two views, kept as stored so that every build draws
// with the same programs.

namespace ShaderSources {

/// Image view: the texture holds the device picture's BGRA bytes as RGBA, so
/// red and blue are exchanged here instead of on the CPU.
inline constexpr const char *imageFragment =
    "uniform sampler2D texImage;\n void main() {\n vec4 color = texture2D(texImage, gl_TexCoord[0].st);\n "
    "gl_FragColor = vec4(color.b, color.g, color.r, color.a);\n}";

/// Point cloud: x, y, z and the colour word (red bits 0-7, green 8-15, blue 16-23).
inline constexpr const char *pointVertex =
    "#version 330 core\nlayout(location = 0) in vec4 in_VertexRGBA;\nuniform mat4 u_mvpMatrix;\nout vec3 "
    "b_color;\nvec4 packFloatToVec4i(const float value)\n{\n  const vec4 bitSh = vec4(256.0*256.0*256.0, "
    "256.0*256.0, 256.0, 1.0);\n  const vec4 bitMsk = vec4(0.0, 1.0/256.0, 1.0/256.0, 1.0/256.0);\n  vec4 "
    "res = fract(value * bitSh);\n  res -= res.xxyz * bitMsk;\n  return res;\n}\nvec4 decomposeFloat(const "
    "in "
    "float value)\n{\n   uint rgbaInt = floatBitsToUint(value);\n\tuint bIntValue = (rgbaInt / 256U / 256U) "
    "% "
    "256U;\n\tuint gIntValue = (rgbaInt / 256U) % 256U;\n\tuint rIntValue = (rgbaInt) % 256U; \n\treturn "
    "vec4(rIntValue / 255.0f, gIntValue / 255.0f, bIntValue / 255.0f, 1.0); \n}\nvoid main() {\n   b_color = "
    "decomposeFloat(in_VertexRGBA.a).xyz;\n\tgl_Position = u_mvpMatrix * vec4(in_VertexRGBA.xyz, 1);\n}";

/// Opaque colour of the point cloud.
inline constexpr const char *colorFragment =
    "#version 330 core\nin vec3 b_color;\nlayout(location = 0) out vec4 out_Color;\nvoid main() {\n   "
    "out_Color = vec4(b_color, 1);\n}";

/// Scene meshes: positions at attribute 0, colours at attribute 1.
inline constexpr const char *meshVertex =
    "#version 330 core\nlayout(location = 0) in vec3 in_Vertex;\nlayout(location = 1) in vec3 "
    "in_Color;\nuniform mat4 u_mvpMatrix;\nout vec3 b_color;\nvoid main() {\n   b_color = "
    "in_Color;\n\tgl_Position "
    "= u_mvpMatrix * vec4(in_Vertex.xyz, 1);\n}";

/// Scene meshes, half transparent (blending stays off unless a caller enables it).
inline constexpr const char *translucentFragment =
    "#version 330 core\nin vec3 b_color;\nlayout(location = 0) out vec4 out_Color;\nvoid main() {\n   "
    "out_Color = vec4(b_color, 0.5);\n}";

} // namespace ShaderSources
