#pragma once
// The toolkit is one shared library that the host and every module link, so its
// state (application object, busy depth, settings file) exists once per process.
#define DOTZ_TOOLKIT_API __attribute__((visibility("default")))
