#include "pz/RxLTI_PZ_AMI.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/FFT.h"
#include "eq/SectionChannel.h"
#include "eq/SectionSetup.h"
#include "eq/SectionSpectra.h"

namespace Veltramodels20200612 {

RxLTI_PZ_AMI::~RxLTI_PZ_AMI()
{
    releaseStates();
}

namespace {

// The numbered fields of one list of the cascade, so that list n is handed
// on through its row of a table instead of a written-out copy per list.
struct CascadeList {
    int FIRwMultiplePZLists::*count;
    PZImpulse* FIRwMultiplePZLists::*states;
    int FIRwMultiplePZLists::*index;
};
using Cascade = FIRwMultiplePZLists;
const CascadeList kCascadeLists[4] = {
    {&Cascade::EQ1_NumData, &Cascade::EQ1_Data_data_values, &Cascade::EQ1_DataIndex},
    {&Cascade::EQ2_NumData, &Cascade::EQ2_Data_data_values, &Cascade::EQ2_DataIndex},
    {&Cascade::EQ3_NumData, &Cascade::EQ3_Data_data_values, &Cascade::EQ3_DataIndex},
    {&Cascade::EQ4_NumData, &Cascade::EQ4_Data_data_values, &Cascade::EQ4_DataIndex}};

PZ_Data* RxLTI_PZ_AMI::*const kRecords[4] = {&RxLTI_PZ_AMI::PZ_data_values1, &RxLTI_PZ_AMI::PZ_data_values2,
                                             &RxLTI_PZ_AMI::PZ_data_values3, &RxLTI_PZ_AMI::PZ_data_values4};

}  // namespace

// The cascade keeps the states' impulse responses in its lists; the states
// themselves are not needed once it is built.
void RxLTI_PZ_AMI::releaseStates()
{
    for (int k = 0; k < 4; ++k) {
        delete[] states_[k];
        states_[k] = nullptr;
    }
    Cascade.EQ1_Data_data_values = Cascade.EQ2_Data_data_values = nullptr;
    Cascade.EQ3_Data_data_values = Cascade.EQ4_Data_data_values = nullptr;
    Cascade.EQ1.PZ_data = Cascade.EQ2.PZ_data = Cascade.EQ3.PZ_data = Cascade.EQ4.PZ_data = nullptr;
}

bool RxLTI_PZ_AMI::setupRxFE_Section(FIRwMultiplePZLists& cascade, int n, int count, PZImpulse** out,
                                     PZ_Data* records, std::stringstream&)
{
    if (n < 1 || n > 4 || out == nullptr)
        return false;
    const int states = std::max(count, 0);
    std::vector<Roots>& roots = roots_[n - 1];
    roots.assign(static_cast<size_t>(states), Roots());
    *out = nullptr;
    // Without records the list has no states; the cascade's set-up reports it.
    if (records != nullptr) {
        *out = new PZImpulse[static_cast<size_t>(states)];
        const double fs = SamplesPerBit * BitRate;
        for (int k = 0; k < states; ++k) {
            const PZ_Data& record = records[k];
            Roots& r = roots[static_cast<size_t>(k)];
            PZImpulse& p = (*out)[k];
            p.BitRate = BitRate;
            p.SamplesPerBit = SamplesPerBit;
            p.GainDC = record.gain;
            p.RootType = (!record.cpoles.empty() || !record.czeros.empty()) ? 2 : 1;
            p.WarpFreq = 1;
            p.AutoSetWarpFreq = 0;
            // Left half-plane roots, pre-warped for the bilinear transform at fs.
            for (double x : record.poles)
                r.poles.push_back(PZImpulse::warpRoot(-x, fs));
            for (double x : record.zeros)
                r.zeros.push_back(PZImpulse::warpRoot(-x, fs));
            for (const std::complex<double>& c : record.cpoles)
                r.cpoles.push_back(PZImpulse::warpRoot(-c, fs));
            for (const std::complex<double>& c : record.czeros)
                r.czeros.push_back(PZImpulse::warpRoot(-c, fs));
            p.Poles = &r.poles;
            p.Zeros = &r.zeros;
            p.CPoles = &r.cpoles;
            p.CZeros = &r.czeros;
        }
    }
    const CascadeList& list = kCascadeLists[n - 1];
    cascade.*list.count = count;
    cascade.*list.states = *out;
    cascade.*list.index = startIndex(n, count);
    return true;
}

// No equaliser: the trimmed channel as it is.
void RxLTI_PZ_AMI::passThrough(std::stringstream& msg)
{
    msg << "\nPass-through front end (FE) model used.\n";
    OutputImpulse = ChannelImpulse;
}

void RxLTI_PZ_AMI::handSearchSettings()
{
    Cascade.AdaptDataIndex = AdaptDataIndex;
    Cascade.AdaptDataIndexType = 1;
    // Lists left over from an earlier configuration are not in use.
    Cascade.EQ2_NumData = Cascade.EQ3_NumData = Cascade.EQ4_NumData = 0;
}

bool RxLTI_PZ_AMI::handList(int n, std::stringstream& msg)
{
    return setupRxFE_Section(Cascade, n, numData(n), &states_[n - 1], this->*kRecords[n - 1], msg);
}

int RxLTI_PZ_AMI::chosenIndex(int n) const
{
    return Cascade.*kCascadeLists[n - 1].index;
}

// The channel streamed through the chosen cascade. The response is as long
// as the channel plus every list's taps; stopping after the last list's taps
// alone would cut a cascade's response short. Streaming that many zeros also
// leaves every list's delay line clear.
bool RxLTI_PZ_AMI::buildOutputImpulse(std::stringstream& msg)
{
    if (ChannelImpulse.empty())
        return true;
    bool finite = true;
    const size_t tail = cascadeTapCount(&finite);
    const size_t length = ChannelImpulse.size();
    const size_t n = length + tail;
    OutputImpulse.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        Cascade.Input = (i < length) ? ChannelImpulse[i] * InputGain : 0.0;
        Cascade.Run(msg);
        OutputImpulse[i] = Cascade.FinalOutput();
    }
    Cascade.Finalize();
    SectionSpectra::trimTrailingZeros(OutputImpulse);
    return true;
}

bool RxLTI_PZ_AMI::buildSpectra(std::stringstream& msg)
{
    const size_t N = SectionSpectra::frequencyGrid(SampleRate, OutputImpulse.size(), FreqStep, Frequencies);

    {
        FFT fft(UseFile);
        SectionSpectra::spectrumOf(OutputImpulse, N, fft, OutputSpectrum);
    }
    const bool outputOk = convertSpectrum(OutputSpectrum, Frequencies, msg);

    // The section's own response to a unit impulse, from a clean cascade.
    if (listsInUse())
        Cascade.Restart();
    if (!streamSectionImpulse(sectionImpulseLength(N), msg))
        return false;
    if (listsInUse())
        Cascade.Restart();

    {
        FFT fft(UseFile);
        SectionSpectra::spectrumOf(SectionImpulse, N, fft, SectionSpectrum);
    }
    const bool sectionOk = convertSpectrum(SectionSpectrum, Frequencies, msg);
    return outputOk && sectionOk;
}

void RxLTI_PZ_AMI::Finalize()
{
    if (listsInUse())
        Cascade.Finalize();
}

}  // namespace Veltramodels20200612
