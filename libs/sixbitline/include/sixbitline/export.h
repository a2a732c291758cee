// Symbol visibility of the sixbitline shared library: only what carries this mark is
// exported, everything else stays private to the library.
#pragma once

#if defined(_WIN32)
#if defined(SIXBITLINE_BUILDING)
#define SIXBITLINE_API __declspec(dllexport)
#else
#define SIXBITLINE_API __declspec(dllimport)
#endif
#else
#define SIXBITLINE_API __attribute__((visibility("default")))
#endif
