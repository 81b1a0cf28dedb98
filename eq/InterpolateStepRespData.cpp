#include "eq/InterpolateStepRespData.h"

#include <cmath>
#include <cstring>

#include "dsp/SampleVectors.h"
#include "dsp/SetupChecks.h"

namespace Veltramodels20200612 {

InterpolateStepRespData::InterpolateStepRespData()
    : Time(0.0),
      Output(0.0),
      BitRate(28e9),
      SamplesPerBit(32),
      StepRespIndex(1),
      EnableInterpolation(1),
      InterpolationType(2),
      DifferentiateData(1),
      NumStepResp(10),
      StepData(1),
      StepResp_data_values(nullptr),
      ColumnArrangement(0),
      UseFile(nullptr),
      BitRateCopy(28e9),
      SampleRate(28e9 * 32),
      SampleInterval(1.0 / 28e9 / 32),
      RowCount(0),
      ValidRows(0),
      RunIndex(0),
      selectedTime(nullptr),
      selectedValue(nullptr)
{
    Interpolator.yOut = &OutputData;
    Interpolator.x_Data = &OutputTime;
    Interpolator.yData = &ValueData;
    Interpolator.xData = &TimeData;
}

bool InterpolateStepRespData::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        *UseFile << "Veltramodels20200612::InterpolateStepRespData\n";
    }

    // Forget the previous configuration, so that a failed Setup cannot leave
    // an earlier response behind for Initialize and Run to hand out.
    ValidRows = 0;
    RunIndex = 0;
    selectedTime = nullptr;
    selectedValue = nullptr;
    TimeData.clear();
    ValueData.clear();
    OutputData.clear();
    OutputTime.clear();

    SetupChecks check(msg);
    check.fault(!(BitRate > 0.0), "BitRate must be a positive number.\n");  // NaN fails too
    check.fault(SamplesPerBit <= 0, "SamplesPerBit must be a positive integer.\n");
    if (check.fault(StepRespIndex <= 0 || StepRespIndex > NumStepResp))
        msg << "Step response index must be an integer in the range [1, " << NumStepResp << "].\n";
    check.fault(static_cast<unsigned>(EnableInterpolation) > 1u,
                "EnableInterpolation must be an integer in the range [0, 1].\n");
    check.fault(static_cast<unsigned>(InterpolationType) > 2u,
                "InterpolationType must be an integer in the range [0, 2].\n");
    check.fault(static_cast<unsigned>(DifferentiateData) > 1u,
                "DifferentiateData must be an integer in the range [0, 1].\n");
    check.fault(static_cast<unsigned>(StepData) > 1u, "StepData must be an integer in the range [0, 1].\n");
    check.fault(NumStepResp <= 0, "NumStepResp must be an integer > 0.\n");
    if (StepResp_data_values == nullptr || *StepResp_data_values == nullptr) {
        msg << "StepResp_data_values must not be an empty array.\n";
        return false;
    }
    if (StepResp_data_values[0][0].empty()) {
        msg << "StepResp_data_values[0][0] array size must be > 0.\n";
        return false;
    }
    if (!check.ok()) {
        return false;
    }
    return selectColumns(useFile, msg);
}

// The chosen state's columns, checked, and the interpolation of its step onto
// the simulation grid set up.
bool InterpolateStepRespData::selectColumns(std::ofstream* useFile, std::stringstream& msg)
{
    const std::vector<double>* table = *StepResp_data_values;
    const size_t rows = table[0].size();
    RowCount = static_cast<int>(rows);
    const long long lastColumn = (ColumnArrangement == 1) ? NumStepResp : 2LL * NumStepResp - 1;
    for (long long c = 1; c <= lastColumn; ++c) {
        if (table[c].size() != rows) {
            msg << "Number of rows for StepResp_data_values[" << c
                << "] is not the same as for StepResp_data_values[0].\n";
            return false;
        }
    }

    BitRateCopy = BitRate;
    SampleRate = BitRate * SamplesPerBit;
    SampleInterval = 1.0 / BitRate / SamplesPerBit;

    const long long k = StepRespIndex;
    const std::vector<double>& timeCol = (ColumnArrangement == 1) ? table[0] : table[2 * k - 2];
    const std::vector<double>& valueCol = (ColumnArrangement == 1) ? table[k] : table[2 * k - 1];

    if (ColumnArrangement == 1) {
        ValidRows = RowCount;
    } else {
        // Padding rows at the end carry times <= 0; the response ends at the
        // last row with a positive time.
        ValidRows = 0;
        for (size_t i = rows; i-- > 2;) {
            if (timeCol[i] > 0.0) {
                ValidRows = static_cast<int>(i) + 1;
                break;
            }
        }
    }
    if (ValidRows < 4) {
        msg << "At least 4 step response values are required.\n";
        ValidRows = 0;
        return false;
    }
    selectedTime = &timeCol;
    selectedValue = &valueCol;

    if (EnableInterpolation == 0) {
        return true;
    }

    const size_t nValid = static_cast<size_t>(ValidRows);
    TimeData.assign(timeCol.begin(), timeCol.begin() + nValid);
    ValueData.resize(nValid);
    const double first = valueCol[0];
    for (size_t i = 0; i < nValid; ++i) {
        ValueData[i] = valueCol[i] - first;
    }

    // Points on the grid 0, SampleInterval, ... up to the last used time.
    // A quotient beyond the int range (a time axis in the wrong unit, say)
    // cannot be a point count; NaN or negative quotients give 0 points,
    // which the interpolator rejects.
    const double points = TimeData.back() / SampleInterval;
    if (points >= 2147483647.0) {
        msg << "The last step response time divided by the sample interval must be < 2147483647.\n";
        return false;
    }
    const int nPts = (points > 0.0) ? static_cast<int>(points) : 0;

    Interpolator.yData = &ValueData;
    Interpolator.xData = &TimeData;
    Interpolator.yOut = &OutputData;
    Interpolator.x_Data = &OutputTime;
    Interpolator.x_DataOption = 0;
    Interpolator.x_Step = SampleInterval;
    Interpolator.x_Start = 0.0;
    Interpolator.nPtsOut = nPts;
    Interpolator.UseLogX = 0;
    Interpolator.InterpolationType = InterpolationType;
    Interpolator.DifferentiateData = DifferentiateData;
    Interpolator.ScaleByOneOverXStep = 0;
    Interpolator.ScaleForFinalValue = 1;
    Interpolator.StepData = StepData;
    return Interpolator.Setup(useFile, msg);
}

bool InterpolateStepRespData::Initialize(std::stringstream& msg)
{
    bool ok = true;
    if (EnableInterpolation == 1) {
        if (sameAsLast()) {
            // The owner set the same response up again (a model does for
            // every column): what the interpolation made of it last time.
            OutputData = last_.output;
            OutputTime = last_.time;
            RunIndex = 0;
            return true;
        }
        // The interpolation overwrites some of its settings with what it
        // used: the key is taken before.
        const Key key = currentKey();
        last_.valid = false;
        ok = Interpolator.Initialize(msg);
        if (DifferentiateData == 1) {
            // The impulse ends where the step has settled exactly.
            size_t len = OutputData.size();
            while (len > 1 && OutputData[len - 1] == 0.0) {
                --len;
            }
            OutputData.resize(len);
        }
        if (ok && loggingOff() && ownVectors())
            remember(key);
    }
    RunIndex = 0;
    return ok;
}

// Interpolation with a use file logs its steps; it is then always run.
bool InterpolateStepRespData::loggingOff() const
{
    const auto open = [](const std::ofstream* f) { return f != nullptr && f->is_open(); };
    return !open(UseFile) && !open(Interpolator.UseFile) && !open(Interpolator.Fit.UseFile);
}

// Whether the interpolator reads and writes this object's own vectors (a
// caller may have pointed it elsewhere): only then are its results ours to
// keep.
bool InterpolateStepRespData::ownVectors() const
{
    const InterpolateData& i = Interpolator;
    return i.yOut == &OutputData && i.x_Data == &OutputTime && i.yData == &ValueData && i.xData == &TimeData;
}

// Everything the interpolation reads besides the data, as it stands now.
InterpolateStepRespData::Key InterpolateStepRespData::currentKey() const
{
    const InterpolateData& i = Interpolator;
    return {static_cast<double>(i.x_DataOption),
            i.x_Step,
            i.x_Start,
            static_cast<double>(i.nPtsOut),
            static_cast<double>(i.UseLogX),
            static_cast<double>(i.InterpolationType),
            static_cast<double>(i.DifferentiateData),
            static_cast<double>(i.ScaleByOneOverXStep),
            static_cast<double>(i.ScaleForFinalValue),
            static_cast<double>(i.StepData),
            static_cast<double>(DifferentiateData)};
}

void InterpolateStepRespData::remember(const Key& key)
{
    last_.key = key;
    last_.timeData = TimeData;
    last_.valueData = ValueData;
    last_.output = OutputData;
    last_.time = OutputTime;
    last_.valid = true;
}

bool InterpolateStepRespData::sameAsLast() const
{
    // Bit for bit, as the interpolation would see them.
    const Key key = currentKey();
    return last_.valid && loggingOff() && ownVectors() &&
           std::memcmp(key.data(), last_.key.data(), sizeof(Key)) == 0 &&
           SampleVectors::same(TimeData, last_.timeData) && SampleVectors::same(ValueData, last_.valueData);
}

void InterpolateStepRespData::Run()
{
    const int64_t i = RunIndex;
    RunIndex += 1;

    if (EnableInterpolation == 1) {
        const int64_t size = static_cast<int64_t>(OutputData.size());
        if (i < size && i < static_cast<int64_t>(OutputTime.size())) {
            Time = OutputTime[static_cast<size_t>(i)];
            Output = OutputData[static_cast<size_t>(i)];
        } else {
            Time = OutputTime.empty() ? 0.0 : OutputTime.back();
            if (DifferentiateData == 1 || OutputData.empty()) {
                Output = 0.0;  // the impulse has ended
            } else {
                Output = OutputData.back();  // the step holds its final level
            }
        }
        return;
    }

    // Raw rows, as stored. Nothing is handed out before a successful Setup.
    if (selectedTime == nullptr || selectedValue == nullptr || ValidRows < 1) {
        Time = 0.0;
        Output = 0.0;
        return;
    }
    const int64_t lastRow = static_cast<int64_t>(ValidRows) - 1;
    const size_t row = static_cast<size_t>(i < lastRow ? i : lastRow);
    Time = (*selectedTime)[row];
    Output = (*selectedValue)[row];
}

void InterpolateStepRespData::Finalize()
{
    if (EnableInterpolation == 1) {
        Interpolator.Finalize();
    }
}

}  // namespace Veltramodels20200612
