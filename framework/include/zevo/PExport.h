// Symbol visibility for the framework's shared libraries. Everything is built
// with hidden visibility; what a library offers is marked ZEVO_EXPORT.
#pragma once

#define ZEVO_EXPORT __attribute__((visibility("default")))
