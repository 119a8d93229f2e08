#pragma once

// VITA49_API marks the classes and records that a shared build exports. Static builds
// (the default) define VITA49_STATIC for everyone who links them, so the macro is empty.
#if defined(VITA49_STATIC)
#define VITA49_API
#elif defined(_WIN32)
#if defined(VITA49_EXPORTS)
#define VITA49_API __declspec(dllexport)
#else
#define VITA49_API __declspec(dllimport)
#endif
#else
#define VITA49_API __attribute__((visibility("default")))
#endif

// VITA49_LOCAL keeps a class out of a shared library's exports even where it is nested in an
// exported class (the implementation classes); for the library's own sources only.
#if defined(_WIN32) || defined(VITA49_STATIC)
#define VITA49_LOCAL
#else
#define VITA49_LOCAL __attribute__((visibility("hidden")))
#endif
