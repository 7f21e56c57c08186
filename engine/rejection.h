// Frames too bright for their place in the sequence: a passing car's headlights or a torch
// lighting one frame of a night.
//
// Each frame is judged against its neighbourhood: the 15 frames around it (itself and 7 on
// each side), the window shifted inward at the ends of the sequence so that it always holds 15
// frames when there are at least 15; with fewer, the whole sequence. A frame is rejected when
// its mean brightness lies strictly above median + k * max(MAD, 1) of the neighbourhood, MAD
// being the median absolute deviation from that median. The floor of one level keeps a steady
// night, whose means differ only by noise, from being thinned out. A local statistic lets a
// slow dawn or moonrise through while a single flash stands out.
//
// Means are on the 0-255 scale; NaN marks a frame that could not be measured: it is never
// rejected and is left out of every neighbourhood's median and MAD (the window still counts
// its position). Nothing is reported; the caller decides what to tell the user.
#pragma once

#include <vector>

struct Rejection {
    bool rejected;
    double value;  // the frame's mean, as given
    double limit;  // median + k * max(MAD, 1) of its neighbourhood; NaN when none was measured
};

// One entry per mean, in the same order.
std::vector<Rejection> rejectBright(const std::vector<double>& means, double k);
