#pragma once
// The one macro that makes a symbol part of the module's interface; everything
// else is hidden (the build's default visibility).
#define KRT_EXPORT __attribute__((visibility("default")))
