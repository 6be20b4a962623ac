#pragma once
// The camera layer's version, which the main window shows in its corner: the
// version of this layer's interface (Camera and the types it hands out),
// apart from the program's own (the project() line of CMakeLists.txt).

namespace twl {

constexpr char kVersion[] = "2.3.0";

} // namespace twl
