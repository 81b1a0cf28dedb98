// IBIS-AMI entry points of the VELMOR7700X transmitter model.
//
// AMI_Init builds one transmitter back-end model per call, reads the four
// model parameters, lends it the step-response list of the chosen process
// corner and passes every column of the simulator's impulse matrix through
// it, writing the results back in place. The model object is the AMI memory
// handle; AMI_Close frees it.
//
// Nothing may escape to the simulator: every entry point catches everything,
// and arguments a simulator should never send (null pointers, negative sizes,
// non-finite times or samples) are refused with a message instead of being
// trusted.
#include "model/VELMOR7700X_AMI.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Base_SerDesTxBE_CTLE.h"
#include "model/TxStepResponseList.h"
#include "params/ParamParser.h"

namespace Veltramodels20200612 {

// What AMI_Init hands to the simulator as the memory handle.
struct AMI_ModelInstance {
    Base_SerDesTxBE_CTLE model;    // owns the model stream (model.msg)
    std::stringstream amiMessage;  // text returned through msg
    char* messageCopy = nullptr;   // heap copy handed out through msg (array new)
};

namespace {

const char* const kModelName = "VELMOR7700X";
const int kNumStates = 16;

// Messages for the failures that leave no stream or heap to write a message
// into: static, so that they stay valid and are never freed.
const char kNoMemoryMessage[] =
    "Error occurred in VELMOR7700X::AMI_Init(): out of memory while creating the model.\n";
const char kCreateFailedMessage[] =
    "Error occurred in VELMOR7700X::AMI_Init(): unexpected failure while creating the model.\n";
const char kMessageLostMessage[] =
    "Error occurred in VELMOR7700X::AMI_Init(): out of memory while writing the message; the call "
    "fails because its message is incomplete.\n";
const char kMessageCopyMessage[] =
    "Error occurred in VELMOR7700X::AMI_Init(): out of memory while copying the message for the "
    "simulator; the call fails because its message is lost.\n";

// Frees the corner's step-response list on every way out of AMI_Init.
struct CornerListGuard {
    std::vector<double>* list = nullptr;
    ~CornerListGuard() { TxStepResponseList::Destroy(list); }
};

// Longest step response, in samples of the simulation grid, that the model
// accepts to build (2^20).
const long kMaxStepResponseSamples = 1048576;

// Duration of the longest step-response table over all corners, seconds.
double longestStepResponse()
{
    double longest = 0.0;
    for (int corner = 0; corner < TxStepResponseList::NumCorners; ++corner) {
        const double* table = TxStepResponseList::Table(corner);
        const int rows = TxStepResponseList::Rows(corner);
        const double span = table[(rows - 1) * TxStepResponseList::NumColumns] - table[0];
        if (span > longest)
            longest = span;
    }
    return longest;
}

bool isPositiveFinite(double x)
{
    return std::isfinite(x) && x > 0.0;
}

// Whether gain * x[i * Stride] is finite for every i < count. v - v is 0 for
// a finite v and NaN for infinity and NaN, and a NaN survives every later
// addition. Four sums in a fixed order and no branch let the test run on
// whole vector registers without waiting on one running sum, so a long
// matrix is read at the speed of memory.
template <long Stride> bool allFinite(const double* x, long count, double gain = 1.0)
{
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    long i = 0;
    for (; i + 3 < count; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double v = gain * x[(i + k) * Stride];
            sums[k] += v - v;
        }
    }
    for (; i < count; ++i) {
        const double v = gain * x[i * Stride];
        sums[0] += v - v;
    }
    return sums[0] == 0.0 && sums[1] == 0.0 && sums[2] == 0.0 && sums[3] == 0.0;
}

// Checks what the simulator passed besides the parameter string. Appends one
// line per fault and returns false if any.
bool checkHostArguments(const double* impulse, long rowSize, long aggressors, double sampleInterval,
                        double bitTime, std::ostream& out)
{
    bool ok = true;
    if (!isPositiveFinite(sampleInterval)) {
        out << "Invalid AMI_Init argument: sample_interval must be a positive finite number.\n";
        ok = false;
    }
    if (!isPositiveFinite(bitTime)) {
        out << "Invalid AMI_Init argument: bit_time must be a positive finite number.\n";
        ok = false;
    }
    if (ok) {
        const double ratio = bitTime / sampleInterval + 0.5;
        if (!(ratio < static_cast<double>(INT_MAX))) {
            out << "Invalid AMI_Init argument: bit_time / sample_interval is too large.\n";
            ok = false;
        } else if (ratio >= 1.0) {
            // The driver's step responses last about a nanosecond. On a grid
            // finer than any channel needs they would become millions of taps
            // per state: minutes of work and gigabytes before anything fails.
            const double modelInterval = bitTime / static_cast<int>(ratio);
            if (longestStepResponse() / modelInterval > kMaxStepResponseSamples) {
                out << "Invalid AMI_Init argument: sample_interval is too fine: the driver's step "
                       "responses would exceed "
                    << kMaxStepResponseSamples << " samples.\n";
                ok = false;
            }
        }
    }
    if (rowSize < 0) {
        out << "Invalid AMI_Init argument: row_size must not be negative.\n";
        ok = false;
    }
    if (aggressors >= 0 && rowSize > 0) {
        if (impulse == nullptr) {
            out << "Invalid AMI_Init argument: impulse_matrix must not be null when row_size > 0.\n";
            ok = false;
        } else if (aggressors >= LONG_MAX / rowSize) {
            out << "Invalid AMI_Init argument: (aggressors + 1) * row_size is too large.\n";
            ok = false;
        } else {
            const long total = (aggressors + 1) * rowSize;
            // The first bad sample is looked for only when there is one.
            for (long i = allFinite<1>(impulse, total) ? total : 0; i < total; ++i) {
                if (!std::isfinite(impulse[i])) {
                    out << "Invalid AMI_Init argument: impulse_matrix column " << i / rowSize
                        << " holds a NaN or infinite sample at row " << i % rowSize << ".\n";
                    ok = false;
                    break;
                }
            }
        }
    }
    return ok;
}

// Writes scale times the model's output values (every Stride-th double) into
// the column, and zeros after them up to rowSize; values beyond rowSize are
// dropped. An output gain large enough to overflow the samples must not come
// back as a success: then nothing is written, the column keeps its input (as
// after a failed Run), and the result is false.
template <long Stride>
bool writeColumn(const double* values, long produced, double scale, double* column, long rowSize)
{
    const long copied = produced < rowSize ? produced : rowSize;
    if (!allFinite<Stride>(values, copied, scale))
        return false;
    for (long i = 0; i < copied; ++i)
        column[i] = scale * values[Stride * i];
    std::fill(column + copied, column + rowSize, 0.0);
    return true;
}

// writeColumn on the model's output values: the section's impulse where the
// model keeps a view of it, else the odd doubles of ImpulseOut's (time,
// value) pairs.
bool writeOutput(const Base_SerDesTxBE_CTLE& model, double scale, double* column, long rowSize)
{
    if (model.ImpulseValues != nullptr)
        return writeColumn<1>(model.ImpulseValues->data(), static_cast<long>(model.ImpulseValues->size()),
                              scale, column, rowSize);
    if (model.ImpulseOut.empty())
        return writeColumn<1>(nullptr, 0, scale, column, rowSize);
    return writeColumn<2>(reinterpret_cast<const double*>(model.ImpulseOut.data()) + 1,
                          static_cast<long>(model.ImpulseOut.size()), scale, column, rowSize);
}

bool isAllZero(const double* column, long rowSize)
{
    for (long i = 0; i < rowSize; ++i)
        if (column[i] != 0.0)
            return false;
    return true;
}

// Empties the model stream. A write to it that failed (out of memory) means
// its text, and any decision taken on it, cannot be trusted: the failure is
// carried over to the AMI stream, which then fails the call.
void clearModelText(AMI_ModelInstance& inst)
{
    if (inst.model.msg.fail())
        inst.amiMessage.setstate(std::ios::badbit);
    inst.model.msg.str(std::string());
    inst.model.msg.clear();
}

// Appends the model stream's text when it holds more than one character,
// then empties it.
void moveModelText(AMI_ModelInstance& inst)
{
    const std::string text = inst.model.msg.str();
    if (text.size() > 1)
        inst.amiMessage << text;
    clearModelText(inst);
}

// The first column's report of the state in use, after Initialize. With the
// search on, later columns reuse the chosen state without searching.
void stateLines(AMI_ModelInstance& inst, int& autoInit, int preEmphasis, bool zeroChannel)
{
    Base_SerDesTxBE_CTLE& model = inst.model;
    std::stringstream& ami = inst.amiMessage;
    ami << "Tx emphasis model based on step response data.\n";
    // A negative AutoInit resolves to "no search" in the model, so only a
    // positive one may claim an optimisation.
    if (autoInit > 0) {
        if (zeroChannel)
            ami << "The through channel impulse is all zeros, so the eye is closed in every "
                   "PreEmphasis state; the first state is kept: PreEmphasis state = "
                << kNumStates - model.Data1Index << "\n";
        else
            ami << "Optimization of PreEmphasis over count = " << kNumStates
                << " states results in max open eye ratio with PreEmphasis state = "
                << kNumStates - model.Data1Index << "\n";
        autoInit = 0;
        model.AdaptForChannel = 0;
    } else {
        ami << "The selected PreEmphasis state = " << preEmphasis << "\n";
    }
    clearModelText(inst);
}

// The driver loop over the impulse columns. Returns the success flag.
bool runColumns(AMI_ModelInstance& inst, double* impulse, long rowSize, long aggressors, double scale,
                int& autoInit, int preEmphasis, int cornerCase, bool haveTable)
{
    Base_SerDesTxBE_CTLE& model = inst.model;
    std::stringstream& ami = inst.amiMessage;
    bool ok = true;
    // With row_size 0 every column is empty: the first one runs the model
    // (and reports it), and the others, with nothing to read or write, would
    // only repeat it, however many aggressors the host names.
    const long lastColumn = rowSize > 0 ? aggressors : (aggressors > 0 ? 0 : aggressors);
    for (long c = 0; c <= lastColumn && ok; ++c) {
        double* column = impulse + c * rowSize;
        // An all-zero column (an uncoupled aggressor, or no channel at all)
        // has an all-zero response whatever the state; the equaliser sections
        // cannot measure an eye on it, so it bypasses them. Only a model that
        // could run may take the shortcut: without the corner's table the
        // model fails whatever the samples hold, and says why. An empty
        // matrix (row_size 0) still goes through the model, which refuses the
        // empty channel itself.
        const bool zeroChannel = isAllZero(column, rowSize);
        const bool bypass = zeroChannel && rowSize > 0 && haveTable;
        // ImpulseIn comes back from the section's loan as the section left
        // it (trimmed, say); its room is kept, so this allocates only once.
        model.ImpulseIn.resize(static_cast<size_t>(rowSize));
        // One division per sample, with nothing else in the loop, so that
        // the divisions run on whole vector registers.
        double* in = model.ImpulseIn.data();
        if (scale > 0.0)
            for (long i = 0; i < rowSize; ++i)
                in[i] = column[i] / scale;
        else
            std::fill(in, in + rowSize, 0.0);

        if (!model.Setup()) {
            ami << "Error occurred in VELMOR7700X::Setup().\n";
            ok = false;
        }
        if (c == 0) {
            const std::string text = model.msg.str();
            if (!ok && text.size() > 1)
                ami << text;
            else
                ami << "CornerCase = " << cornerCase << " (" << TxStepResponseList::CornerName(cornerCase)
                    << ")\n";
            clearModelText(inst);
        }
        if (ok && bypass) {
            if (c == 0) {
                // Every state leaves the eye closed (0/0): the first state
                // wins the tie, as in the search.
                if (autoInit > 0)
                    model.Data1Index = 1;
                stateLines(inst, autoInit, preEmphasis, true);
            }
            for (long i = 0; i < rowSize; ++i)
                column[i] = 0.0;
        } else if (ok) {
            if (!model.Initialize()) {
                ami << "Error occurred in VELMOR7700X::Initialize().\n";
                ok = false;
            }
            if (c == 0) {
                if (!ok && model.msg.str().size() > 1) {
                    moveModelText(inst);
                } else {
                    stateLines(inst, autoInit, preEmphasis, zeroChannel);
                }
            }
            if (ok) {
                if (!model.Run()) {
                    ami << "Error occurred in VELMOR7700X::Run().\n";
                    return false;
                }
                const bool written = writeOutput(model, scale, column, rowSize);
                if (!written) {
                    ami << "Error occurred in VELMOR7700X::Run().\n"
                        << "The output impulse is not finite: OutputGain is too large for this channel.\n";
                    return false;
                }
            }
        }
        if (!model.Finalize()) {
            ami << "Error occurred in VELMOR7700X::Finalize().\n";
            ok = false;
        }
        if (c == 0)
            moveModelText(inst);
    }
    return ok;
}

// Copies the AMI stream's text into the instance's message copy, hands it out
// and empties the stream. A message that could not be written or copied in
// full is never handed out as if it were the model's report: the call fails
// with a static text that says what was lost. Returns the call's result.
long handOutMessage(AMI_ModelInstance& inst, char** msg, long result)
{
    delete[] inst.messageCopy;
    inst.messageCopy = nullptr;
    if (inst.amiMessage.fail()) {
        *msg = const_cast<char*>(kMessageLostMessage);
        result = 0;
    } else {
        try {
            const std::string text = inst.amiMessage.str();
            inst.messageCopy = new char[text.size() + 1];
            std::memcpy(inst.messageCopy, text.data(), text.size());
            inst.messageCopy[text.size()] = '\0';
            *msg = inst.messageCopy;
        } catch (...) {
            *msg = const_cast<char*>(kMessageCopyMessage);
            result = 0;
        }
    }
    inst.amiMessage.str(std::string());
    inst.amiMessage.clear();
    return result;
}

long initInstance(AMI_ModelInstance& inst, double* impulse, long rowSize, long aggressors,
                  double sampleInterval, double bitTime, const char* parameters, CornerListGuard& corner)
{
    Base_SerDesTxBE_CTLE& model = inst.model;
    std::stringstream parserMessages;
    ParamParser parser(parameters != nullptr ? parameters : "");

    // The samples-per-symbol conversion is done only on values it can hold.
    const bool timesValid = isPositiveFinite(sampleInterval) && isPositiveFinite(bitTime) &&
                            bitTime / sampleInterval + 0.5 < static_cast<double>(INT_MAX);
    model.SymbolRate = timesValid ? 1.0 / bitTime : 0.0;
    model.SamplesPerSymbol = timesValid ? static_cast<int>(bitTime / sampleInterval + 0.5) : 0;

    // Starting values matter only for the parser's "default setting" text.
    int autoInit = 0, preEmphasis = 0, cornerCase = 0;
    double outputGain = 1.0;
    bool ok = parser.Get_iValue(kModelName, "AutoInit", autoInit, parserMessages);
    if (ok)
        ok = parser.Get_iValue(kModelName, "PreEmphasis", preEmphasis, parserMessages);
    if (ok)
        ok = parser.Get_iValue(kModelName, "CornerCase", cornerCase, parserMessages);
    {
        std::stringstream scratch;  // a missing OutputGain is not worth a message
        if (!parser.Get_dValue(kModelName, "OutputGain", outputGain, scratch))
            outputGain = 1.0;
    }

    model.EnableCorners = 0;
    static_cast<Base_SerDes_CoreParameters&>(model).EnableCorners = 0;
    model.NumData1 = kNumStates;
    model.DefaultModelType = 3;
    model.OutputGain = outputGain;
    model.ColumnArrangement1 = 1;
    model.AdaptForChannel = autoInit;
    // Data1Index = 16 - PreEmphasis; a state outside 0..15 maps to index 0,
    // which the model's check refuses with the same line as any other
    // out-of-range index, without overflowing on extreme values.
    model.Data1Index = (preEmphasis >= 0 && preEmphasis < kNumStates) ? kNumStates - preEmphasis : 0;
    corner.list = TxStepResponseList::Create(cornerCase);
    if (corner.list != nullptr)
        model.Data1 = corner.list;

    model.ImpulseOutputOnly = true;
    // The driver reads only the output values: the section's impulse is
    // read where it lies instead of being copied into (time, value) pairs,
    // which for a long channel is a buffer of twice its size per call, with
    // a time computed per sample, that nothing reads.
    model.ImpulseValuesOnly = true;
    // With only the impulse kept, the section's spectra and its own impulse
    // response would be computed and dropped for every column: for a long
    // channel two transforms of twice its length, with their tables, and the
    // conversion of every bin. Nothing else depends on them, so the section
    // is asked not to build them; the columns and the messages are the same.
    model.SkipSpectrum = 1;
    // Likewise the section's final evaluation of the chosen state: its eye
    // ratio goes only into the model's own text, which a successful call
    // drops (the state lines name the state, not its eye), and its response
    // would only adapt the gain, which this model never does (no automatic
    // gain control). For a long channel it is a full convolution and eye per
    // column; skipping it leaves the columns and the messages as they are.
    model.SkipFinalEvaluation = 1;
    // Every column is divided into ImpulseIn afresh, so the section may
    // take its samples instead of a copy of them.
    model.LendImpulseIn = 1;
    if (parserMessages.str().size() > 1)
        inst.amiMessage << parserMessages.str();

    if (!checkHostArguments(impulse, rowSize, aggressors, sampleInterval, bitTime, inst.amiMessage))
        return 0;

    model.ImpulseIn.resize(static_cast<size_t>(rowSize));
    const double scale = model.SamplesPerSymbol * model.SymbolRate;
    if (ok && aggressors >= 0)
        ok = runColumns(inst, impulse, rowSize, aggressors, scale, autoInit, preEmphasis, cornerCase,
                        corner.list != nullptr);
    return ok ? 1 : 0;
}

}  // namespace
}  // namespace Veltramodels20200612

using Veltramodels20200612::AMI_ModelInstance;

extern "C" VELMOR7700X_EXPORT long AMI_Init(double* impulse_matrix, long row_size, long aggressors,
                                            double sample_interval, double bit_time, char* AMI_parameters_in,
                                            char** AMI_parameters_out, void** AMI_memory_handle, char** msg)
{
    (void)AMI_parameters_out;  // never written
    if (AMI_memory_handle == nullptr || msg == nullptr)
        return 0;

    AMI_ModelInstance* inst = nullptr;
    try {
        inst = new AMI_ModelInstance;
    } catch (const std::bad_alloc&) {
        *AMI_memory_handle = nullptr;
        *msg = const_cast<char*>(Veltramodels20200612::kNoMemoryMessage);
        return 0;
    } catch (...) {
        *AMI_memory_handle = nullptr;
        *msg = const_cast<char*>(Veltramodels20200612::kCreateFailedMessage);
        return 0;
    }

    long result = 0;
    {
        Veltramodels20200612::CornerListGuard corner;
        try {
            result = Veltramodels20200612::initInstance(*inst, impulse_matrix, row_size, aggressors,
                                                        sample_interval, bit_time, AMI_parameters_in, corner);
        } catch (const std::bad_alloc&) {
            result = 0;
            try {
                inst->amiMessage << "Error occurred in VELMOR7700X::AMI_Init(): out of memory.\n";
            } catch (...) {
            }
        } catch (const std::length_error&) {
            // A row count beyond what a vector can hold.
            result = 0;
            try {
                inst->amiMessage << "Error occurred in VELMOR7700X::AMI_Init(): out of memory.\n";
            } catch (...) {
            }
        } catch (const std::exception& e) {
            result = 0;
            try {
                inst->amiMessage << "Error occurred in VELMOR7700X::AMI_Init(): " << e.what() << ".\n";
            } catch (...) {
            }
        } catch (...) {
            result = 0;
            try {
                inst->amiMessage << "Error occurred in VELMOR7700X::AMI_Init(): unexpected failure.\n";
            } catch (...) {
            }
        }
        // The model reads the corner's list only inside Setup and Initialize;
        // it goes with the guard, so the model must not keep pointing at it.
        inst->model.Data1 = nullptr;
        inst->model.Data1_Selected = nullptr;
        Veltramodels20200612::Base_SerDesFE_CTLE& frontEnd = inst->model;
        frontEnd.Data1 = nullptr;
        frontEnd.Data1_Selected = nullptr;
    }
    *AMI_memory_handle = inst;
    return Veltramodels20200612::handOutMessage(*inst, msg, result);
}

extern "C" VELMOR7700X_EXPORT long AMI_Close(void* AMI_memory_handle)
{
    if (AMI_memory_handle == nullptr)
        return 0;
    AMI_ModelInstance* inst = static_cast<AMI_ModelInstance*>(AMI_memory_handle);
    bool finalized = false;
    try {
        inst->amiMessage.str(std::string());
        finalized = inst->model.Finalize();
    } catch (...) {
        finalized = false;
    }
    delete[] inst->messageCopy;
    inst->messageCopy = nullptr;
    try {
        delete inst;
    } catch (...) {
    }
    return finalized ? 1 : 0;
}
