#pragma once

#include <QString>

// Where the suites find what the build and the checkout provide.
namespace TestEnv {
// The test data of the repository (tests/data): reference pictures and figures.
QString dataDir();
// The folder holding the built executables.
QString binDir();
} // namespace TestEnv
