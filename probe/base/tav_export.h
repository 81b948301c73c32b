// Symbols the library exports; everything else is hidden.
#pragma once

#define TAV_EXPORT __attribute__((visibility("default")))
