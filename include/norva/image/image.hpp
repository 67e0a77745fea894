#pragma once

// Everything of the image core: formats, surfaces and bitmaps, decoders and encoders,
// pixel conversion and the colour quantizer.
#include <norva/image/blitter.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/format.hpp>
#include <norva/image/quantize.hpp>
#include <norva/image/status.hpp>
#include <norva/image/surface.hpp>
