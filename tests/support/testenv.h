#pragma once

#include <QString>

// Where the suites find what the build and the checkout provide.
namespace TestEnv {
// The shared reference folder (SURF figures), beside the checkout.
QString sharedDir();
// The folder holding the built executables.
QString binDir();
} // namespace TestEnv
