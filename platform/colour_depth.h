// The graphics library's colour depths and palette precision, named once
// for every subsystem.
#ifndef PLATFORM_COLOUR_DEPTH_H
#define PLATFORM_COLOUR_DEPTH_H

// Bitmap depths: palette indices, and truecolour without and with a
// fourth byte (alpha, or padding).
const int PALETTE_DEPTH = 8;
const int TRUECOLOR_24 = 24;
const int TRUECOLOR_32 = 32;

// The library's palette holds 6 bits a component; its table that scales
// them to 8 bits has 1 << 6 entries.
const int PALETTE_COMPONENT_BITS = 6;
const int PALETTE_COMPONENT_MASK = (1 << PALETTE_COMPONENT_BITS) - 1;
// From an 8-bit component down to the palette's.
const int PALETTE_COMPONENT_SHIFT = 8 - PALETTE_COMPONENT_BITS;

#endif
