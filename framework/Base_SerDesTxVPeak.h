#ifndef VM_FRAMEWORK_BASE_SERDESTXVPEAK_H
#define VM_FRAMEWORK_BASE_SERDESTXVPEAK_H

#include <fstream>
#include <sstream>

#include "framework/Base_Container.h"

namespace Veltramodels20200612 {

// Transmitter peaking designer. A driver with peaking answers a data edge
// with an overshoot: the output jumps to (1 + vPeak) times its settled level
// and falls back to it within about vWidth unit intervals. Setup turns that
// description into one real zero Z and two real poles P1 < P2, in Hz, with
// unity gain at 0 Hz; the peaking-list path of the front-end model stores
// them as the pole/zero set of one state.
//
// Design, with a = vPeak and UI = 1/SymbolRate:
//  - The overshoot is an exponential decay of amplitude a and time constant
//    tau, the step response 1 + a exp(-t/tau) of
//        H1(s) = (1 + s (1 + a) tau) / (1 + s tau),
//    a zero at Z = P1 / (1 + a) below a pole at P1 = 1 / (2 pi tau). Its gain
//    is 1 at 0 Hz and rises by the factor 1 + a above P1, so a larger
//    amplitude gives more high-frequency boost.
//  - tau comes from the width. vWidthMode 0: vWidth is the overshoot's
//    equivalent rectangular width (its area over its amplitude). The
//    exponential's area is a tau, so tau = vWidth UI: it carries the same
//    excess charge as a pulse of height a held for vWidth UI (the FIR-like
//    picture 1 + a (1 - exp(-j 2 pi f vWidth UI))), the two responses agree
//    to first order in frequency, and up to half the symbol rate their
//    magnitudes stay within about 10 % of each other for vWidth <= 0.4.
//    vWidthMode 1: vWidth is the time the overshoot takes to fall to half its
//    amplitude, so tau = vWidth UI / ln 2.
//  - The driver's finite edge rate is the second pole, P2 = 10 P1: an edge
//    ten times faster than the overshoot's decay lets the overshoot develop
//    (its peak reaches 55 to 70 % of a), and it puts the roll-off at four
//    times the symbol rate or higher for vWidth <= 0.4 UI in mode 0 (2.7
//    times in mode 1), well above the data band. P2 is held at or below a
//    quarter of the sample rate, where the pre-warped bilinear transform
//    still places it well. Setup requires the width to span at least one
//    sample, which keeps P1 below the sample rate / (2 pi), so P2 > P1.
//  - With a = 0 the zero equals P1 exactly and cancels it: what remains is
//    the edge pole alone, flat within 0.15 dB up to half the symbol rate.
// The result for given settings does not depend on the sample rate unless
// the quarter-sample-rate bound applies.
//
// Use: set SymbolRate, SamplesPerSymbol, vWidth and vWidthMode once; per
// design call Finalize, set vPeak and call Setup. After a successful Setup,
// Initialize, then Run per sample (Input to Output), filters with the design.
class Base_SerDesTxVPeak {
public:
    Base_SerDesTxVPeak();

    Base_SerDesTxVPeak(const Base_SerDesTxVPeak&) = delete;
    Base_SerDesTxVPeak& operator=(const Base_SerDesTxVPeak&) = delete;

    // Checks the settings and designs Z, P1 and P2. On failure every fault
    // has written its line to msg, and Z, P1 and P2 are 0.
    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    // Prepares the filter of the last successful design.
    void Initialize();
    // One sample through the filter: reads Input, writes Output.
    void Run(std::stringstream& msg);
    // Ends a design: releases the filter and clears Z, P1 and P2.
    void Finalize();
    void DeleteBuffers();

    double SymbolRate;  // symbols per second
    int SamplesPerSymbol;
    double vWidth;   // unit intervals, (0, 1]
    int vWidthMode;  // 0 equivalent rectangular width, 1 half-amplitude decay time
    double vPeak;    // overshoot over the settled level, [0, 0.65]

    double Z;   // designed zero, Hz
    double P1;  // peaking pole, Hz
    double P2;  // edge pole, Hz

    double Input;
    double Output;
    std::ofstream* UseFile;  // not owned
    Base_Container Container;
};

}  // namespace Veltramodels20200612

#endif
