// A quick look at how bright a frame is, for telling a sequence's odd frames out before the
// full decode.
//
// The result is the mean of (R + G + B) / 3 over the image on the 0-255 scale, or NaN when the
// file cannot be read; nothing is reported (the run reports unreadable files when it loads
// them). The figure is meant for comparing frames of one sequence with each other, so each
// format takes its cheapest honest route:
//   JPEG  decoded at 1/8 scale (one value per 8x8 block, weighted by the pixels it covers);
//   RAW   the embedded JPEG thumbnail the same way; without one, a half-size decode whose
//         linear samples are taken as v / 257, so the level is linear light, not the encoded
//         level the other formats give;
//   TIFF, PNG, BMP  a full decode, summed on every 8th row (16-bit samples by their high byte).
// Safe to call from several threads at once. Messages raised while measuring are dropped, so
// it must not be called on a thread that is holding back its messages (deferMessages).
#pragma once

double measureBrightness(const char* path);
