#pragma once
// Helpers shared by the test programs.

#include <QString>

namespace TestSupport {

/// Folder for files the tests make (created on first use).
QString dataDir();
/// Path of the twv tool built with the tests.
QString twvTool();

} // namespace TestSupport
