// The one way this program includes <windows.h>. The target version is pinned
// by the build (_WIN32_WINNT); this header only trims what windows.h drags in.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
