#ifndef VM_EQ_INTERPOLATESTEPRESPDATA_H
#define VM_EQ_INTERPOLATESTEPRESPDATA_H

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/InterpolateData.h"

namespace Veltramodels20200612 {

// Takes one step response out of a table of step responses and hands it out
// either resampled onto the simulation grid (one point per
// 1 / (BitRate * SamplesPerBit) s from time 0), normally differentiated into
// per-sample impulse taps, or as the table rows themselves.
//
// StepResp_data_values points to the caller's slot that holds the table, an
// array of column vectors: (*StepResp_data_values)[c] is column c. Layouts:
//   ColumnArrangement = 1: column 0 is the shared time axis, column k
//     (1..NumStepResp) is response k.
//   otherwise: response k has time column 2k-2 and value column 2k-1; a
//     response shorter than the table is padded with rows of time <= 0.
class InterpolateStepRespData {
public:
    InterpolateStepRespData();
    InterpolateStepRespData(const InterpolateStepRespData&) = delete;
    InterpolateStepRespData& operator=(const InterpolateStepRespData&) = delete;

    double Time;    // time of the last Run output
    double Output;  // value of the last Run output

    double BitRate;
    int SamplesPerBit;
    int StepRespIndex;        // selected response, 1-based
    int EnableInterpolation;  // 1 = resample (and differentiate), 0 = raw rows
    int InterpolationType;    // 0..2, see InterpolateData
    int DifferentiateData;    // 1 = per-sample differences (impulse taps)
    int NumStepResp;
    int StepData;                                // 0..1, see InterpolateData
    std::vector<double>** StepResp_data_values;  // slot of the table (not owned)
    int ColumnArrangement;

    std::vector<double> OutputData;  // resampled output: the FIR taps
    std::ofstream* UseFile;          // optional log stream (not owned)
    InterpolateData Interpolator;
    std::vector<double> ValueData;   // selected value column minus its first value
    std::vector<double> TimeData;    // selected time column
    std::vector<double> OutputTime;  // time of each output point

    double BitRateCopy;
    double SampleRate;      // BitRate * SamplesPerBit
    double SampleInterval;  // 1 / BitRate / SamplesPerBit
    int RowCount;           // rows per column
    int ValidRows;          // rows of the selected response in use
    int64_t RunIndex;       // next row or point for Run

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run();
    void Finalize();

private:
    // What the interpolation reads besides the two data vectors, as
    // numbers (the switches are small integers, exact as doubles).
    using Key = std::array<double, 11>;
    // The last successful interpolation without a use file, with its inputs.
    struct Last {
        bool valid = false;
        Key key{};
        std::vector<double> timeData, valueData, output, time;
    };

    bool selectColumns(std::ofstream* useFile, std::stringstream& msg);
    bool loggingOff() const;
    bool ownVectors() const;
    Key currentKey() const;
    void remember(const Key& key);
    bool sameAsLast() const;
    Last last_;
    // Columns of the selected response, fixed by the last successful Setup.
    const std::vector<double>* selectedTime;
    const std::vector<double>* selectedValue;
};

}  // namespace Veltramodels20200612

#endif
