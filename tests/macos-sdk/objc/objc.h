// Declarations for compile-checking the macOS service on other systems: the part of the
// Objective-C base types the service uses.
#pragma once

typedef bool BOOL;  // Apple silicon's definition; Intel Macs use signed char
#ifndef nil
#define nil nullptr
#endif
