#!/usr/bin/env python3
"""Generates the driver's step-response tables, model/TxStepResponseTables.h/.cpp.

Python 3 standard library only.  Run from anywhere:

    python3 tools/gen_step_tables.py            # writes model/TxStepResponseTables.*
    python3 tools/gen_step_tables.py --check    # exits 1 if the committed files differ

The tables hold, for each of five process corners, the response of the output
driver to a single 0 -> 1 data step in each of its 16 pre-emphasis states, on a
2.44 ps grid (32 points per unit interval at 12.8 Gb/s).  Column 0 is the time
axis; column k (1..16) is the state with PreEmphasis = 16 - k, so column 16 is
the unemphasised driver and column 1 the most emphasised one.

Physical model of the driver
----------------------------
1. Pre-driver edge.  The pre-driver switches the output stage with a
   band-limited edge: the unit step response of a second-order low pass with
   damping ZETA and a 10-90 % rise time PREDRIVER_RISE, leaving after the
   propagation delay T_DELAY.  Before T_DELAY the output carries no signal.
2. Output pole.  The output stage's source resistance and the pad, ESD and
   package capacitance form one dominant pole with time constant tau_c (per
   corner).  The pre-driver edge passes through it; the slow exponential
   settling that results is the response's settling tail.  Every table spans
   the same number of output time constants after the delay, so a corner with
   a slower output pole has a longer table (its rows are fixed by the
   characterisation; tau_c follows from them).
3. Emphasis.  The driver is segmented: in state p (PreEmphasis p = 0..15) a
   weight a_p = alpha_c * p is added to the main cursor and subtracted one unit
   interval (UI) later, so the settled level is unchanged and transitions are
   boosted:  y_p(t) = (1 + a_p) g(t) - a_p g(t - UI), g being the edge of 1.+2.
   With weak emphasis the boost is swallowed by the output pole's slow rise and
   the response never exceeds its settled level; only from a corner-dependent
   threshold on does it overshoot.
4. Headroom.  The output cannot swing beyond the supply: the emphasised level is
   compressed by a soft limiter v -> R_c * tanh(v / R_c), R_c being the rail
   headroom relative to the settled level.
5. Settled level.  The corner sets the settled output level of the
   unemphasised state (LEVEL16).  The emphasis segments, which keep driving
   the termination in the settled state, raise it slightly: by a factor
   1 + d_c(p), where d(p) was characterised at p = 0, 4, 8, 15 on the typical
   corner (DC_SHIFT_TYPICAL) and is interpolated monotonically in between; other
   corners scale the typical curve to their own value at p = 15.
6. Simulator residue.  Row 0 holds the DC operating point's residual, of order
   1e-14, and row 1 the transient solver's first point, a small negative value
   of order 1e-18, as the circuit simulator left them.

Calibration.  The free constants (alpha, R, tau of the typical corner; alpha_c
and R_c of the others) are solved by Newton's method so that the tables show
the characterised values listed in TYPICAL_PEAKS and CORNERS: the peak over the
settled level of states 15, 8 and 4 on the typical corner, and of states 15 and
4 on the others.
"""

import argparse
import math
import os
import sys

# ----------------------------------------------------------------- constants
GRID_STEP_PS = 244          # time step in units of 0.01 ps (2.44 ps)
UI = 1.0 / 12.8e9           # unit interval of the emphasis tap, s
ZETA = 0.7                  # damping of the pre-driver edge
PREDRIVER_RISE = 8e-12      # 10-90 % rise time of the pre-driver edge, s
T_DELAY_ROWS = 8            # propagation delay in grid steps (19.52 ps)
SUBSTEPS = 16               # integration substeps per grid step for the pole
NUM_STATES = 16

# Typical corner: (peak, settled level) of the states that characterise it.
TYPICAL_PEAKS = {15: (1.0983, 0.6480), 8: (0.8392, 0.6250), 4: (0.6633, 0.6248)}
LEVEL16_TYPICAL = 0.6168
# Settled level shift of the emphasis segments, typical corner, by state.
DC_SHIFT_TYPICAL = [(0, 0.0), (4, 0.6248 / 0.6168 - 1.0), (8, 0.6250 / 0.6168 - 1.0),
                    (15, 0.6480 / 0.6168 - 1.0)]

# Corner: table name suffix, rows, settled level of state 0 (column 16),
# settled level of state 15 (column 1), peak of state 15, peak over settled
# level of state 4 (column 12) as a fraction.
CORNERS = [
    # name,       suffix,     rows, level16, level1, peak1,  overshoot12
    ("Typical",   "",          398, 0.6168, 0.6480, 1.0983, None),
    ("Slow",      "_Slow",     452, 0.5795, 0.6098, 1.0200, 0.040),
    ("Fast",      "_Fast",     350, 0.6680, 0.6992, 1.2100, 0.050),
    ("Leakage",   "_Leakage",  371, 0.6257, 0.6614, 1.1200, 0.055),
    ("TempInv",   "_TempInv",  429, 0.6058, 0.6341, 1.0500, 0.045),
]


# -------------------------------------------------------------- the model
def predriver_edge(t):
    """Unit step response of the pre-driver (second-order low pass), t in s."""
    if t <= 0.0:
        return 0.0
    wn = 2.17 / PREDRIVER_RISE       # 10-90 % rise of 2.17/wn at zeta 0.7
    s = math.sqrt(1.0 - ZETA * ZETA)
    wd = wn * s
    return 1.0 - math.exp(-ZETA * wn * t) * (math.cos(wd * t) + ZETA / s * math.sin(wd * t))


def driver_edge(rows, tau):
    """The pre-driver edge through the output pole, sampled on the grid.

    The pole tau*dy/dt = e(t) - y is integrated with classical Runge-Kutta,
    SUBSTEPS steps per grid step."""
    dt = GRID_STEP_PS * 1e-14
    h = dt / SUBSTEPS
    t_delay = T_DELAY_ROWS * dt
    g = [0.0] * rows
    y = 0.0

    def f(t, v):
        return (predriver_edge(t) - v) / tau

    for j in range(1, rows):
        for s in range(SUBSTEPS):
            t0 = (j - 1) * dt - t_delay + s * h
            k1 = f(t0, y)
            k2 = f(t0 + h / 2, y + h / 2 * k1)
            k3 = f(t0 + h / 2, y + h / 2 * k2)
            k4 = f(t0 + h, y + h * k3)
            y += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
        g[j] = y
    return g


def delayed(g, j, delay):
    """g at grid time j*dt - delay, linearly interpolated; 0 before the start."""
    dt = GRID_STEP_PS * 1e-14
    x = j - delay / dt
    i = int(math.floor(x))
    if i < 0:
        return 0.0
    if i >= len(g) - 1:
        return g[-1]
    fr = x - i
    return g[i] * (1.0 - fr) + g[i + 1] * fr


def state_shape(g, p, alpha, headroom):
    """Normalised response (settled level 1) of emphasis state p on edge g."""
    a = alpha * p
    y = [(1.0 + a) * g[j] - a * delayed(g, j, UI) for j in range(len(g))]
    v = [headroom * math.tanh(x / headroom) for x in y]
    final = v[-1]
    return [x / final for x in v]


def shapes(rows, tau, alpha, headroom):
    """Normalised responses of the 16 states (settled level 1), index p."""
    g = driver_edge(rows, tau)
    return [state_shape(g, p, alpha, headroom) for p in range(NUM_STATES)]


def peak_ratio(shape):
    return max(shape)


def monotone_cubic(points, x):
    """Fritsch-Carlson monotone cubic interpolation through (xi, yi)."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    n = len(xs)
    d = [(ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]) for i in range(n - 1)]
    m = [d[0]] + [0.0] * (n - 2) + [d[-1]]
    for i in range(1, n - 1):
        m[i] = 0.0 if d[i - 1] * d[i] <= 0 else (d[i - 1] + d[i]) / 2
    for i in range(n - 1):
        if d[i] == 0.0:
            m[i] = m[i + 1] = 0.0
            continue
        a, b = m[i] / d[i], m[i + 1] / d[i]
        r = a * a + b * b
        if r > 9.0:
            k = 3.0 / math.sqrt(r)
            m[i], m[i + 1] = k * a * d[i], k * b * d[i]
    for i in range(n - 1):
        if xs[i] <= x <= xs[i + 1]:
            hgt = xs[i + 1] - xs[i]
            t = (x - xs[i]) / hgt
            h00 = 2 * t ** 3 - 3 * t ** 2 + 1
            h10 = t ** 3 - 2 * t ** 2 + t
            h01 = -2 * t ** 3 + 3 * t ** 2
            h11 = t ** 3 - t ** 2
            return h00 * ys[i] + h10 * hgt * m[i] + h01 * ys[i + 1] + h11 * hgt * m[i + 1]
    raise ValueError("outside the characterised states")


def newton(func, x, tol=1e-12):
    """Solves func(x) = 0 (n equations, n unknowns), finite-difference Jacobian."""
    n = len(x)
    for _ in range(50):
        f = func(x)
        if max(abs(v) for v in f) < tol:
            return x
        cols = []
        for i in range(n):
            xx = list(x)
            step = 1e-7 * max(1.0, abs(x[i]))
            xx[i] += step
            ff = func(xx)
            cols.append([(ff[k] - f[k]) / step for k in range(n)])
        m = [[cols[i][k] for i in range(n)] + [-f[k]] for k in range(n)]
        for c in range(n):
            piv = max(range(c, n), key=lambda r: abs(m[r][c]))
            m[c], m[piv] = m[piv], m[c]
            for r in range(n):
                if r != c:
                    fac = m[r][c] / m[c][c]
                    m[r] = [m[r][k] - fac * m[c][k] for k in range(n + 1)]
        x = [x[i] + m[i][n] / m[i][i] for i in range(n)]
    raise RuntimeError("calibration did not converge")


# ------------------------------------------------------------ calibration
def calibrate():
    """Returns a list of (corner tuple, tau, alpha, headroom)."""
    name, suffix, rows, level16, level1, peak1, _ = CORNERS[0]
    targets = {p: pk / lv for p, (pk, lv) in TYPICAL_PEAKS.items()}

    def typical(x):
        alpha, headroom, tau_ps = x
        sh = shapes(rows, tau_ps * 1e-12, alpha, headroom)
        return [peak_ratio(sh[p]) - targets[p] for p in (15, 8, 4)]

    alpha_t, headroom_t, tau_t_ps = newton(typical, [0.15, 2.0, 68.0])
    # Every table spans the same number of output time constants after the delay.
    spans = (rows - 1 - T_DELAY_ROWS) * GRID_STEP_PS * 1e-2 / tau_t_ps
    result = [(CORNERS[0], tau_t_ps * 1e-12, alpha_t, headroom_t)]
    for corner in CORNERS[1:]:
        name, suffix, rows, level16, level1, peak1, over12 = corner
        tau_ps = (rows - 1 - T_DELAY_ROWS) * GRID_STEP_PS * 1e-2 / spans

        def other(x, rows=rows, tau_ps=tau_ps, level1=level1, peak1=peak1, over12=over12):
            alpha, headroom = x
            sh = shapes(rows, tau_ps * 1e-12, alpha, headroom)
            return [peak_ratio(sh[15]) - peak1 / level1, peak_ratio(sh[4]) - (1.0 + over12)]

        alpha, headroom = newton(other, [alpha_t, headroom_t])
        result.append((corner, tau_ps * 1e-12, alpha, headroom))
    for corner, tau, alpha, headroom in result:
        # Overshoot must set in between states 3.15 and 3.85, so
        # that states 0..3 settle from below and 4..15 overshoot.
        g = driver_edge(corner[2], tau)
        below = state_shape(g, 3.15, alpha, headroom)
        above = state_shape(g, 3.85, alpha, headroom)
        if max(below[:-1]) > below[-1] or max(above) <= above[-1]:
            raise RuntimeError("overshoot threshold of corner %s not between states 3 and 4"
                               % corner[0])
    return result


class Lcg:
    """Small deterministic generator for the simulator residue."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        return (self.state >> 11) / float(1 << 53)


def build_tables():
    tables = []
    rng = Lcg(7700)
    d15_t = DC_SHIFT_TYPICAL[-1][1]
    for corner, tau, alpha, headroom in calibrate():
        name, suffix, rows, level16, level1, peak1, over12 = corner
        sh = shapes(rows, tau, alpha, headroom)
        scale = (level1 / level16 - 1.0) / d15_t
        cols = []
        for k in range(1, NUM_STATES + 1):
            p = NUM_STATES - k
            level = level16 * (1.0 + scale * monotone_cubic(DC_SHIFT_TYPICAL, p))
            residual0 = (1.0 + 8.0 * rng.next()) * 1e-14
            residual1 = -(1.0 + 8.0 * rng.next()) * 1e-18
            # Levels are read relative to row 0, so the residual is added back.
            col = [(level + residual0) * v for v in sh[p]]
            col[0] = residual0
            col[1] = residual1
            cols.append(col)
        tables.append((corner, tau, alpha, headroom, cols))
    return tables


# ----------------------------------------------------------------- output
def fmt(v):
    s = "%.10g" % v
    if "e" not in s and "." not in s:
        s += ".0"
    return s


def time_literal(j):
    # Exact decimal of j * 2.44 ps, so the last time reads as characterised.
    if j == 0:
        return "0.0"
    return "%de-14" % (j * GRID_STEP_PS)


def render(tables):
    gen = "tools/gen_step_tables.py"
    hdr = []
    hdr.append("// Generated by %s; do not edit. Regenerate with: python3 %s" % (gen, gen))
    hdr.append("#ifndef VM_MODEL_TXSTEPRESPONSETABLES_H")
    hdr.append("#define VM_MODEL_TXSTEPRESPONSETABLES_H")
    hdr.append("")
    hdr.append("// Step responses of the output driver, one table per process corner.")
    hdr.append("// Rows of 17 values: time in s (2.44 ps step), then the 16 pre-emphasis")
    hdr.append("// states; column k is the state PreEmphasis = 16 - k.")
    hdr.append("namespace Veltramodels20200612 {")
    hdr.append("")
    hdr.append("const int TxStepRespColumns = 17;")
    for (corner, tau, alpha, headroom, cols) in tables:
        name, suffix, rows = corner[0], corner[1], corner[2]
        hdr.append("const int File_TxBE_Data1%s_Rows = %d;" % (suffix, rows))
    hdr.append("")
    for (corner, tau, alpha, headroom, cols) in tables:
        name, suffix, rows = corner[0], corner[1], corner[2]
        hdr.append("extern const double File_TxBE_Data1%s[File_TxBE_Data1%s_Rows][TxStepRespColumns];"
                   % (suffix, suffix))
    hdr.append("")
    hdr.append("}  // namespace Veltramodels20200612")
    hdr.append("")
    hdr.append("#endif")
    hdr.append("")

    src = []
    src.append("// Generated by %s; do not edit. Regenerate with: python3 %s" % (gen, gen))
    src.append("// Calibrated model constants per corner (see the generator):")
    for (corner, tau, alpha, headroom, cols) in tables:
        src.append("//   %-8s output pole %.3f ps, emphasis weight per state %.6f, headroom %.6f"
                   % (corner[0], tau * 1e12, alpha, headroom))
    src.append("// One table row per line, as generated: the formatter leaves this file alone.")
    src.append("// clang-format off")
    src.append('#include "model/TxStepResponseTables.h"')
    src.append("")
    src.append("namespace Veltramodels20200612 {")
    for (corner, tau, alpha, headroom, cols) in tables:
        name, suffix, rows = corner[0], corner[1], corner[2]
        src.append("")
        src.append("// %s corner" % name)
        src.append("const double File_TxBE_Data1%s[File_TxBE_Data1%s_Rows][TxStepRespColumns] = {"
                   % (suffix, suffix))
        for j in range(rows):
            vals = [time_literal(j)] + [fmt(cols[k][j]) for k in range(NUM_STATES)]
            src.append("    {" + ", ".join(vals) + "},")
        src.append("};")
    src.append("")
    src.append("}  // namespace Veltramodels20200612")
    src.append("")
    return "\n".join(hdr), "\n".join(src)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true",
                    help="compare with the committed files instead of writing them")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "model"))
    args = ap.parse_args()
    header, source = render(build_tables())
    paths = {os.path.join(args.out, "TxStepResponseTables.h"): header,
             os.path.join(args.out, "TxStepResponseTables.cpp"): source}
    if args.check:
        same = all(os.path.exists(p) and open(p).read() == text for p, text in paths.items())
        print("up to date" if same else "differs")
        return 0 if same else 1
    for p, text in paths.items():
        with open(p, "w") as f:
            f.write(text)
        print("wrote", os.path.normpath(p))
    return 0


if __name__ == "__main__":
    sys.exit(main())
