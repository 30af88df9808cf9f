// Declarations for compile-checking the macOS service on other systems: the part of the
// Objective-C base types the service uses.
#pragma once

// Apple silicon's definition; Intel Macs use signed char. Only the literals are used.
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#define nil nullptr
#endif
