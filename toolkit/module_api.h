#pragma once
// The one macro that makes a symbol part of a module's interface; everything else
// is hidden (the build's default visibility). It lives here, below the screens
// and the module frame that both mark their exports with it.
#include <QtGlobal>

#define KRT_EXPORT Q_DECL_EXPORT
