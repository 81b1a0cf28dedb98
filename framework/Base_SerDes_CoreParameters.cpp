#include "framework/Base_SerDes_CoreParameters.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Veltramodels20200612 {

// De-embedding low-pass prototype. 214 taps of a Blackman-windowed sinc with
// cutoff 0.05 of the sample rate (h[k] = sin(2*pi*0.05*x) / (pi*x) * w[k],
// x = k - 106.5, w[k] = 0.42 - 0.5*cos(2*pi*k/213) + 0.08*cos(4*pi*k/213)).
// The table is exactly symmetric about its centre (the second half mirrors
// the first), has no ripple worth noting in the pass band and sums to about
// 0.99999; the filter fill divides by the sum so that the gain at 0 Hz is 1.
const double DeembedingFilterTaps[NumDeembedingFilterTaps] = {
    0,
    2.3345170790722108e-07,
    9.4363044148389896e-07,
    1.9368713795958899e-06,
    2.7653258422453718e-06,
    2.8092973666252496e-06,
    1.4125937623614779e-06,
    -1.9497514150492342e-06,
    -7.4995830454277224e-06,
    -1.5011524610137753e-05,
    -2.372780214779765e-05,
    -3.2357370021685535e-05,
    -3.9174407376463361e-05,
    -4.2217383909282754e-05,
    -3.9574045780267846e-05,
    -2.9721871890923164e-05,
    -1.188004817761396e-05,
    1.3679988668880866e-05,
    4.5421006090753049e-05,
    8.0473995923260934e-05,
    0.00011475733176884569,
    0.00014329830707443327,
    0.00016074837973349484,
    0.00016205468180533541,
    0.00014322224412662395,
    0.00010207784968734619,
    3.8931323969016751e-05,
    -4.2973324293572583e-05,
    -0.00013731399217161089,
    -0.00023492581486687149,
    -0.00032444929652571293,
    -0.00039337604037664611,
    -0.00042942270771945649,
    -0.00042211051557743194,
    -0.00036438214401453436,
    -0.00025405734634248016,
    -9.4918860651407606e-05,
    0.00010276442904236966,
    0.000322428215132514,
    0.00054220166791649313,
    0.00073669207660876084,
    0.00087946434020973803,
    0.00094601496296667505,
    0.00091695195007900066,
    0.0007810272870578148,
    0.00053763849721807932,
    0.00019842818106720496,
    -0.00021233071996666731,
    -0.00065877230574766033,
    -0.0010959642057320903,
    -0.0014738221575313034,
    -0.0017421356039163901,
    -0.0018562625625302774,
    -0.0017829195898097466,
    -0.001505411818846948,
    -0.0010276341672773547,
    -0.00037623702202476799,
    0.00039951081187287985,
    0.0012304201015956955,
    0.0020326364290038142,
    0.0027151587244224409,
    0.0031890387385603782,
    0.0033774256712671225,
    0.0032254340640935236,
    0.0027087221045959914,
    0.0018396914041740849,
    0.00067036671909428372,
    -0.00070871946124618796,
    -0.0021739451974521731,
    -0.0035781907988298536,
    -0.0047640089424455636,
    -0.0055793325877840612,
    -0.0058943045479460188,
    -0.0056175539584957437,
    -0.0047101411115859065,
    -0.0031954674966524423,
    -0.0011637093895102365,
    0.001230231414410144,
    0.0037756889089290264,
    0.0062218653973059963,
    0.0082991940675410415,
    0.009744829907759071,
    0.010330117205423725,
    0.0098875063821008569,
    0.0083342421721507194,
    0.0056902494750350639,
    0.0020880087415403072,
    -0.0022271805110013181,
    -0.0069073470224265219,
    -0.01152227444130887,
    -0.015589101297380892,
    -0.018609062419633671,
    -0.020108554980975718,
    -0.019681150976473095,
    -0.017026904451068501,
    -0.011985355023553254,
    -0.0045590177647907744,
    0.0050751503474920998,
    0.016567859889153571,
    0.029413593459610646,
    0.042979915034003266,
    0.056548019280679179,
    0.069361525276816646,
    0.08067973101820998,
    0.089831077166278098,
    0.096262469216560689,
    0.099580391338235333,
    0.099580391338235333,
    0.096262469216560689,
    0.089831077166278098,
    0.08067973101820998,
    0.069361525276816646,
    0.056548019280679179,
    0.042979915034003266,
    0.029413593459610646,
    0.016567859889153571,
    0.0050751503474920998,
    -0.0045590177647907744,
    -0.011985355023553254,
    -0.017026904451068501,
    -0.019681150976473095,
    -0.020108554980975718,
    -0.018609062419633671,
    -0.015589101297380892,
    -0.01152227444130887,
    -0.0069073470224265219,
    -0.0022271805110013181,
    0.0020880087415403072,
    0.0056902494750350639,
    0.0083342421721507194,
    0.0098875063821008569,
    0.010330117205423725,
    0.009744829907759071,
    0.0082991940675410415,
    0.0062218653973059963,
    0.0037756889089290264,
    0.001230231414410144,
    -0.0011637093895102365,
    -0.0031954674966524423,
    -0.0047101411115859065,
    -0.0056175539584957437,
    -0.0058943045479460188,
    -0.0055793325877840612,
    -0.0047640089424455636,
    -0.0035781907988298536,
    -0.0021739451974521731,
    -0.00070871946124618796,
    0.00067036671909428372,
    0.0018396914041740849,
    0.0027087221045959914,
    0.0032254340640935236,
    0.0033774256712671225,
    0.0031890387385603782,
    0.0027151587244224409,
    0.0020326364290038142,
    0.0012304201015956955,
    0.00039951081187287985,
    -0.00037623702202476799,
    -0.0010276341672773547,
    -0.001505411818846948,
    -0.0017829195898097466,
    -0.0018562625625302774,
    -0.0017421356039163901,
    -0.0014738221575313034,
    -0.0010959642057320903,
    -0.00065877230574766033,
    -0.00021233071996666731,
    0.00019842818106720496,
    0.00053763849721807932,
    0.0007810272870578148,
    0.00091695195007900066,
    0.00094601496296667505,
    0.00087946434020973803,
    0.00073669207660876084,
    0.00054220166791649313,
    0.000322428215132514,
    0.00010276442904236966,
    -9.4918860651407606e-05,
    -0.00025405734634248016,
    -0.00036438214401453436,
    -0.00042211051557743194,
    -0.00042942270771945649,
    -0.00039337604037664611,
    -0.00032444929652571293,
    -0.00023492581486687149,
    -0.00013731399217161089,
    -4.2973324293572583e-05,
    3.8931323969016751e-05,
    0.00010207784968734619,
    0.00014322224412662395,
    0.00016205468180533541,
    0.00016074837973349484,
    0.00014329830707443327,
    0.00011475733176884569,
    8.0473995923260934e-05,
    4.5421006090753049e-05,
    1.3679988668880866e-05,
    -1.188004817761396e-05,
    -2.9721871890923164e-05,
    -3.9574045780267846e-05,
    -4.2217383909282754e-05,
    -3.9174407376463361e-05,
    -3.2357370021685535e-05,
    -2.372780214779765e-05,
    -1.5011524610137753e-05,
    -7.4995830454277224e-06,
    -1.9497514150492342e-06,
    1.4125937623614779e-06,
    2.8092973666252496e-06,
    2.7653258422453718e-06,
    1.9368713795958899e-06,
    9.4363044148389896e-07,
    2.3345170790722108e-07,
    0,
};

std::vector<double> deembeddingFilter;

namespace {
bool fillDeembeddingFilterNow()
{
    std::vector<double> taps(DeembedingFilterTaps, DeembedingFilterTaps + NumDeembedingFilterTaps);
    double sum = 0.0;
    for (double t : taps)
        sum += t;
    for (double& t : taps)
        t /= sum;
    deembeddingFilter.swap(taps);
    return true;
}

// Writes the line for a negative jitter term.
void checkNonNegative(double value, const char* name, bool& success, std::stringstream& msg)
{
    if (!(value >= 0.0)) {
        msg << name << " must be >= 0.\n";
        success = false;
    }
}

// Shared jitter rules for the transmitter and the receiver settings.
void checkJitter(int& enable, double& rj, double& dj, double& dcd, double& sj, double symbolRate,
                 const char* prefix, double* sjFrequency, bool& success, std::stringstream& msg)
{
    if (static_cast<unsigned int>(enable) > 2u) {
        msg << "Enable" << prefix << "Jitter must be 0, 1 or 2.\n";
        success = false;
    }
    if (enable == 2 && success) {
        // Unit intervals to seconds.
        const double ui = 1.0 / symbolRate;
        enable = 1;
        rj *= ui;
        dj *= ui;
        dcd *= ui;
        sj *= ui;
    }
    if (enable == 0) {
        rj = 0.0;
        dj = 0.0;
        dcd = 0.0;
        sj = 0.0;
    } else if (enable == 1) {
        const std::string p(prefix);
        checkNonNegative(rj, (p + "_Rj").c_str(), success, msg);
        checkNonNegative(dj, (p + "_Dj").c_str(), success, msg);
        checkNonNegative(dcd, (p + "_DCD").c_str(), success, msg);
        checkNonNegative(sj, (p + "_Sj").c_str(), success, msg);
        if (sjFrequency != nullptr && !(*sjFrequency > 0.0)) {
            msg << p << "_Sj_Frequency must be > 0.\n";
            success = false;
        }
    }
}
}  // namespace

void fillDeembeddingFilter()
{
    // A function-local static rather than std::call_once: its guard lives in
    // the C++ runtime and needs neither libpthread (which hosts on older C
    // libraries may not have loaded, making pthread_once a null weak symbol)
    // nor thread-local data, and an exception from the fill (out of memory)
    // unwinds through C++ frames only, leaving the guard open for the next
    // model instead of crossing pthread_once's C frames and aborting the host.
    static const bool filled = fillDeembeddingFilterNow();
    (void)filled;
}

bool getBufferParameter(std::stringstream* input, char* buffer, const char* expectedName,
                        const char* bufferName, std::stringstream& out, std::stringstream& messages)
{
    char ownBuffer[1024];
    if (buffer == nullptr)
        buffer = ownBuffer;
    buffer[0] = '\0';
    const char* expected = expectedName != nullptr ? expectedName : "";
    if (input != nullptr)
        input->getline(buffer, 1024, ',');
    if (std::strcmp(buffer, expected) != 0) {
        messages << (bufferName != nullptr ? bufferName : "") << " missing " << expected << ".\n";
        return false;
    }
    buffer[0] = '\0';
    if (input != nullptr)
        input->getline(buffer, 1024, '\n');
    out << buffer;
    return true;
}

Base_SerDes_CoreParameters::Base_SerDes_CoreParameters()
    : SymbolRate(2.5e10),
      SamplesPerSymbol(32),
      BlockSize(1),
      EnablePAM4(0),
      PAM4_LowerThreshold(-1.0 / 3.0),
      PAM4_CenterThreshold(0.0),
      PAM4_UpperThreshold(1.0 / 3.0),
      EnableTxJitter(0),
      Tx_Rj(0.0),
      Tx_Dj(0.0),
      Tx_DCD(0.0),
      Tx_Sj(0.0),
      Tx_Sj_Frequency(1e7),
      EnableRxJitter(0),
      Rx_Rj(0.0),
      Rx_Dj(0.0),
      Rx_DCD(0.0),
      Rx_Sj(0.0),
      EnableCorners(0),
      CornerCase(0),
      GenerateIBIS_AMI_Model(0),
      ModelBuilderDirName(nullptr),
      AMI_FoundryDirName(nullptr),
      IBIS_AMI_ModelName(nullptr),
      CoreParametersChecked(false),
      ImpulseOutputOnly(false),
      ImpulseValuesOnly(false),
      ImpulseValues(nullptr),
      ResBW(0.0)
{
    fillDeembeddingFilter();
}

Base_SerDes_CoreParameters::~Base_SerDes_CoreParameters() = default;

bool Base_SerDes_CoreParameters::Setup()
{
    return true;
}
bool Base_SerDes_CoreParameters::Initialize()
{
    return true;
}
bool Base_SerDes_CoreParameters::Run()
{
    return true;
}
bool Base_SerDes_CoreParameters::Finalize()
{
    return true;
}

bool Base_SerDes_CoreParameters::setupCoreParameters()
{
    bool success = true;
    if (!(SymbolRate > 0.0)) {
        msg << "SymbolRate must be > 0.\n";
        success = false;
    }
    if (SamplesPerSymbol < 4) {
        msg << "SamplesPerSymbol must be >= 4.\n";
        success = false;
    }
    if (ResBW < 0.0) {
        msg << "ResBW must be > 0.\n";
        success = false;
    }
    if (BlockSize < 1 || BlockSize > 131072) {
        msg << "BlockSize must be an integer in the range [1, 131072].\n";
        success = false;
    }
    if (static_cast<unsigned int>(EnablePAM4) > 1u) {
        msg << "EnablePAM4 must be either 0 or 1.\n";
        success = false;
    }
    if (EnablePAM4 == 1 && PAM4_LowerThreshold > PAM4_CenterThreshold) {
        msg << "PAM4_LowerThreshold must be less than PAM4_CenterThreshold.\n";
        success = false;
    }
    checkJitter(EnableTxJitter, Tx_Rj, Tx_Dj, Tx_DCD, Tx_Sj, SymbolRate, "Tx", &Tx_Sj_Frequency, success,
                msg);
    checkJitter(EnableRxJitter, Rx_Rj, Rx_Dj, Rx_DCD, Rx_Sj, SymbolRate, "Rx", nullptr, success, msg);
    if (static_cast<unsigned int>(EnableCorners) > 1u) {
        msg << "EnableCorners must be either 0 or 1.\n";
        success = false;
    }
    if (EnableCorners == 1 && static_cast<unsigned int>(CornerCase) > 2u) {
        msg << "CornerCase must be either 0, 1 or 2.\n";
        success = false;
    }
    if (static_cast<unsigned int>(GenerateIBIS_AMI_Model) > 1u) {
        msg << "GenerateIBIS_AMI_Model must be 0 or 1.\n";
        success = false;
    }
    if (GenerateIBIS_AMI_Model == 1) {
        if (ModelBuilderDirName == nullptr) {
            msg << "ModelBuilderDirName must not be NULL.\n";
            success = false;
        }
        if (AMI_FoundryDirName == nullptr) {
            msg << "AMI_FoundryDirName must not be NULL.\n";
            success = false;
        }
        if (IBIS_AMI_ModelName == nullptr) {
            msg << "IBIS_AMI_ModelName must not be NULL.\n";
            success = false;
        }
    }
    return success;
}

void Base_SerDes_CoreParameters::displayCornerCase()
{
    static const char* const names[3] = {"Typical", "Slow", "Fast"};
    if (CornerCase >= 0 && CornerCase <= 2)
        msg << "CornerCase = " << names[CornerCase] << " (" << CornerCase << ")\n";
}

// out[i] = (i / SymbolRate / SamplesPerSymbol, samples[i]). The pairs are
// written as the two doubles each complex value is laid out as, with a
// 32-bit sample count, so that the two divisions run on whole vector
// registers: a long impulse spent most of this copy waiting on them one at a
// time. The times are the same bits as the scalar divisions give.
void Base_SerDes_CoreParameters::timedSamples(const std::vector<double>& samples,
                                              std::vector<std::complex<double>>& out) const
{
    const double spsD = static_cast<double>(SamplesPerSymbol);
    const double rate = SymbolRate;
    out.resize(samples.size());
    double* pairs = reinterpret_cast<double*>(out.data());
    const double* in = samples.data();
    for (size_t start = 0; start < samples.size(); start += kTimedChunk) {
        const std::int32_t count =
            static_cast<std::int32_t>(std::min<size_t>(kTimedChunk, samples.size() - start));
        double* p = pairs + 2 * start;
        const double* x = in + start;
        const double first = static_cast<double>(start);
        for (std::int32_t i = 0; i < count; ++i) {
            p[2 * i] = (first + static_cast<double>(i)) / rate / spsD;
            p[2 * i + 1] = x[i];
        }
    }
}

void Base_SerDes_CoreParameters::setupLTI_Outputs(const std::vector<double>& impulse,
                                                  const std::vector<double>& eqImpulse,
                                                  const std::vector<std::complex<double>>& impulseSpectrum,
                                                  const std::vector<std::complex<double>>& eqSpectrum,
                                                  const std::vector<double>& frequencies)
{
    if (ImpulseValuesOnly) {
        ImpulseValues = &impulse;
    } else {
        ImpulseValues = nullptr;
        timedSamples(impulse, ImpulseOut);
    }
    if (ImpulseOutputOnly)
        return;
    timedSamples(eqImpulse, EqImpulseOut);
    ImpulseSpectrumOut = impulseSpectrum;
    EqSpectrumOut = eqSpectrum;
    FrequencyOut = frequencies;
}

void Base_SerDes_CoreParameters::setupLTI_Outputs(const std::vector<std::complex<double>>& impulse,
                                                  const std::vector<std::complex<double>>& eqImpulse,
                                                  const std::vector<std::complex<double>>& impulseSpectrum,
                                                  const std::vector<std::complex<double>>& eqSpectrum,
                                                  const std::vector<double>& frequencies)
{
    ImpulseValues = nullptr;
    ImpulseOut = impulse;
    if (ImpulseOutputOnly)
        return;
    EqImpulseOut = eqImpulse;
    ImpulseSpectrumOut = impulseSpectrum;
    EqSpectrumOut = eqSpectrum;
    FrequencyOut = frequencies;
}

}  // namespace Veltramodels20200612
