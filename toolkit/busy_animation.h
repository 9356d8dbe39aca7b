#pragma once
// A busy indication over a form while the user-interface thread is blocked
// (connecting, exporting). Calls nest: each Show needs its Hide, and the
// indication goes away with the last one.
#include "toolkit_api.h"

class QWidget;

namespace dotz {

// kind 0: connecting to the server; kind 6: exporting; other kinds: a plain wait.
// `form` may be null (then only the wait cursor shows).
DOTZ_TOOLKIT_API void ShowBusyAnimation(QWidget* form, int kind);
// A Hide without a Show does nothing, so clean-up paths may call it freely.
DOTZ_TOOLKIT_API void HideBusyAnimation();
DOTZ_TOOLKIT_API int BusyAnimationDepth();

} // namespace dotz
