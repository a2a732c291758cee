// Symbol visibility of libflashwright: everything is hidden unless marked here.
#pragma once

#if defined(_WIN32)
#if defined(FLASHWRIGHT_BUILDING)
#define FLASHWRIGHT_API __declspec(dllexport)
#else
#define FLASHWRIGHT_API __declspec(dllimport)
#endif
#else
#define FLASHWRIGHT_API __attribute__((visibility("default")))
#endif
