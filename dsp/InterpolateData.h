#ifndef VM_DSP_INTERPOLATEDATA_H
#define VM_DSP_INTERPOLATEDATA_H

#include <cstddef>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/CurveFit.h"

namespace Veltramodels20200612 {

// Resamples a sampled curve (xData, yData) onto a new abscissa grid, either
// generated (x_Start, x_Step, nPtsOut) or given (x_Data), by linear,
// shape-preserving cubic or 4-point Lagrange interpolation. Optionally on a
// logarithmic abscissa, treating the data as a step response, and turning the
// resampled step into an impulse by first differences.
//
// The caller's xData is never written: the shifted (and possibly log-mapped)
// abscissas are built in a private array.
class InterpolateData {
public:
    InterpolateData();
    ~InterpolateData();
    InterpolateData(const InterpolateData&) = delete;
    InterpolateData& operator=(const InterpolateData&) = delete;

    std::vector<double>* yOut;    // output ordinates, one per output abscissa (not owned)
    std::vector<double>* x_Data;  // output abscissas: input when x_DataOption = 1, filled when 0 (not owned)
    std::vector<double>* yData;   // input ordinates (not owned)
    std::vector<double>* xData;   // input abscissas, strictly ascending (not owned, never modified)

    int x_DataOption;         // 0 = generate the grid, 1 = use x_Data as given
    double x_Step;            // grid step; overwritten with the step of the grid used
    double x_Start;           // first grid abscissa; overwritten with the first abscissa used
    int nPtsOut;              // number of generated grid points
    int UseLogX;              // 1 = interpolate against a logarithmic abscissa
    int InterpolationType;    // 0 linear, 1 cubic, 2 4-point Lagrange
    int DifferentiateData;    // 1 = first differences of the result
    int ScaleByOneOverXStep;  // 1 = divide the normalisation factor by x_Step
    int ScaleForFinalValue;   // 1 = differenced result sums to the last yData value, else to 1
    int StepData;             // 1 = zero before the first point, flat after the last

    std::ofstream* UseFile;  // kept after the first Setup given an open one (not owned)
    double xOffset;          // xData[0] at the start of the current interpolation
    double LogReference;     // divisor of the logarithmic abscissa; 1 without UseLogX
    double* SavedX;          // shifted (and mapped) abscissas, xData size; owned
    std::size_t SavedXSize;  // number of values in SavedX

    CurveFit Fit;  // the curve fits used by the cubic and Lagrange forms

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    // Core: one value in yOut per abscissa of X.
    bool DoInterpolation(std::vector<double>& X, std::stringstream& msg);
    // Generates x_Data with nPts points, runs the core, and normalises a
    // differenced step.
    bool DoInterpolation(int nPts, std::stringstream& msg);
    void Finalize();
    void DeleteBuffers();

private:
    // Four interpolation points around an interval: abscissas c, ordinates g.
    struct Stencil {
        double c[4];
        double g[4];
    };
    // Cubic coefficients a of the last point and the inputs they came from.
    struct CubicCache {
        bool valid = false;
        double in[6] = {0, 0, 0, 0, 0, 0};
        double a[4] = {0, 0, 0, 0};
    };

    // What interpolateAll makes of the abscissas alone (the caller's xData
    // and output abscissas, bit for bit, with the settings that act on
    // them), kept for the next run on the same ones: a search over several
    // data sets on one grid is then left with the work the ordinates need.
    // Finalize keeps it, as owners finalise between such data sets.
    struct Plan {
        // What a point's value is, once its interval is known.
        enum Kind : unsigned char {
            kFirst,     // the first output point at the first abscissa: yData[0]
            kEnd,       // at or past the end: the last ordinate
            kExact,     // on abscissa h: yData[h]
            kZero,      // a step response before its ramp: 0
            kInterior,  // Lagrange candidate with the stencil u[h-2 .. h+1]
            kEdge,      // Lagrange candidate with an extended stencil
            kOther      // valueInInterval decides
        };
        bool valid = false;
        std::vector<double> xData, grid;  // the abscissas it was made for
        int useLogX = 0, interpolationType = 0, stepData = 0;
        // Per output point, the abscissa t its value is taken at.
        std::vector<double> t;
        // Lagrange candidates, in output order. Interior ones: their
        // quotients in blocks of four points (see
        // CurveFit::LagrangeFromQuotients_4Point), their first ordinate h-2
        // and their output index; edge ones: twelve quotients each. The
        // number of each kind.
        std::size_t interior = 0, edge = 0;
        std::vector<double> interiorQ, edgeQ;
        std::vector<std::size_t> first, at;
        // The points that are not interior candidates, in order: output
        // index, and interval index times eight plus kind.
        std::vector<std::size_t> others, otherCode;
        // Per run: which interior candidates take the Lagrange value; per
        // pair of neighbouring ordinates, whether either is zero or one is
        // more than twice the other, and room for markRingingPairs' list.
        std::vector<unsigned char> use, rings;
        std::vector<std::size_t> openPairs;
    };
    Plan plan;

    bool checkArrays(std::stringstream& msg) const;
    bool prepareAbscissas(std::stringstream& msg);
    bool interpolateAll(const std::vector<double>& X, std::stringstream& msg);
    bool stencilAround(std::size_t h, double t, Stencil& s) const;
    bool samePlan(const std::vector<double>& X) const;
    bool makePlan(const std::vector<double>& X);
    void markRingingPairs();
    bool valueInInterval(const Stencil& s, double t, CubicCache& cache, double* value);
};

}  // namespace Veltramodels20200612

#endif
