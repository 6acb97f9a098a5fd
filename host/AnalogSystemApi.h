#pragma once

// Symbols of the host SDK. On Windows the SDK lives in AnalogSystem.dll; everything else imports it.
#if defined(_WIN32)
#if defined(ANALOGSYSTEM_BUILD)
#define ANALOGSYSTEM_API __declspec(dllexport)
#else
#define ANALOGSYSTEM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ANALOGSYSTEM_API __attribute__((visibility("default")))
#else
#define ANALOGSYSTEM_API
#endif
