#ifndef VM_FRAMEWORK_BASE_SERDES_COREPARAMETERS_H
#define VM_FRAMEWORK_BASE_SERDES_COREPARAMETERS_H

#include <complex>
#include <cstddef>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Length of the library-wide de-embedding filter and its constant tap table.
constexpr int NumDeembedingFilterTaps = 214;
extern const double DeembedingFilterTaps[NumDeembedingFilterTaps];

// Library-wide de-embedding filter: DeembedingFilterTaps scaled so that the
// taps sum to 1. It is filled exactly once, by the first model constructed
// (see fillDeembeddingFilter); later constructors, on any thread, leave it
// alone, so models built concurrently never write to it at the same time.
extern std::vector<double> deembeddingFilter;

// Fills deembeddingFilter once per process; safe to call from any thread.
void fillDeembeddingFilter();

// Reads one "name,value" line of a chained model's parameter buffer.
// The text up to the next ',' (at most 1023 characters) must equal
// expectedName; the rest of the line is then written to out. On a different
// name, bufferName + " missing " + expectedName + ".\n" goes to messages and
// the result is false. buffer must hold at least 1024 characters; a null
// buffer makes the function use its own.
bool getBufferParameter(std::stringstream* input, char* buffer, const char* expectedName,
                        const char* bufferName, std::stringstream& out, std::stringstream& messages);

// Base of every model of the framework: shared sampling settings, the input
// impulse, the LTI outputs, the shared PAM4/jitter/corner settings and the
// model's message stream.
class Base_SerDes_CoreParameters {
public:
    Base_SerDes_CoreParameters();
    ~Base_SerDes_CoreParameters();

    Base_SerDes_CoreParameters(const Base_SerDes_CoreParameters&) = delete;
    Base_SerDes_CoreParameters& operator=(const Base_SerDes_CoreParameters&) = delete;

    // Stages; the derived models provide the real ones.
    bool Setup();
    bool Initialize();
    bool Run();
    bool Finalize();

    // Checks the shared settings. Writes one line per fault to msg and
    // returns false if any failed. Converts jitter given in unit intervals
    // (EnableTxJitter/EnableRxJitter = 2) to seconds when all prior checks pass.
    bool setupCoreParameters();

    // Writes "CornerCase = Typical|Slow|Fast (n)\n" for CornerCase 0..2.
    void displayCornerCase();

    // Stores a section's outputs. Impulses given one sample per entry get
    // the time i / SymbolRate / SamplesPerSymbol.
    void setupLTI_Outputs(const std::vector<double>& impulse, const std::vector<double>& eqImpulse,
                          const std::vector<std::complex<double>>& impulseSpectrum,
                          const std::vector<std::complex<double>>& eqSpectrum,
                          const std::vector<double>& frequencies);
    // Same, with impulses already given as (time, value) pairs.
    void setupLTI_Outputs(const std::vector<std::complex<double>>& impulse,
                          const std::vector<std::complex<double>>& eqImpulse,
                          const std::vector<std::complex<double>>& impulseSpectrum,
                          const std::vector<std::complex<double>>& eqSpectrum,
                          const std::vector<double>& frequencies);

    std::vector<double> ImpulseIn;                         // gain per sample
    std::vector<std::complex<double>> ImpulseOut;          // (time s, value)
    std::vector<std::complex<double>> EqImpulseOut;        // (time s, value)
    std::vector<std::complex<double>> ImpulseSpectrumOut;  // (dB, degrees)
    std::vector<std::complex<double>> EqSpectrumOut;       // (dB, degrees)
    std::vector<double> FrequencyOut;                      // Hz
    double SymbolRate;
    int SamplesPerSymbol;
    int BlockSize;
    int EnablePAM4;
    double PAM4_LowerThreshold;
    double PAM4_CenterThreshold;
    double PAM4_UpperThreshold;
    int EnableTxJitter;
    double Tx_Rj;
    double Tx_Dj;
    double Tx_DCD;
    double Tx_Sj;
    double Tx_Sj_Frequency;
    int EnableRxJitter;
    double Rx_Rj;
    double Rx_Dj;
    double Rx_DCD;
    double Rx_Sj;
    int EnableCorners;
    int CornerCase;
    int GenerateIBIS_AMI_Model;
    char* ModelBuilderDirName;  // not owned
    char* AMI_FoundryDirName;   // not owned
    char* IBIS_AMI_ModelName;   // not owned
    bool CoreParametersChecked;
    bool ImpulseOutputOnly;
    // For a caller that wants only the output impulse's values: with this
    // set, an impulse given one sample per entry is not turned into
    // ImpulseOut's (time, value) pairs (twice its size, and a time per
    // sample); ImpulseOut keeps its contents and ImpulseValues points at
    // the impulse itself, the section's own vector, until the section is
    // set up again or finalised. Impulses given as pairs still go into
    // ImpulseOut, and ImpulseValues is then null.
    bool ImpulseValuesOnly;
    const std::vector<double>* ImpulseValues;  // not owned
    double ResBW;
    std::stringstream msg;  // the model's message stream

private:
    static constexpr std::size_t kTimedChunk = std::size_t(1) << 30;
    void timedSamples(const std::vector<double>& samples, std::vector<std::complex<double>>& out) const;
};

}  // namespace Veltramodels20200612

#endif
