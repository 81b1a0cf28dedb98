// AMI_Init keeps only the model's impulse output, and so it asks the
// step-response section not to build its spectra (and its own impulse
// response, which only feeds them). That is only sound if nothing the driver
// hands back depends on them: the transmitter model driven as the driver
// drives it must give the same output impulse, the same chosen state, the
// same messages and the same results with and without the spectra.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "model/TxStepResponseList.h"
#include "tests/model/AmiTestHost.h"

using namespace Veltramodels20200612;

namespace {

struct Outcome {
    std::vector<std::string> messages;  // model stream after each stage
    std::vector<bool> results;
    std::vector<int> chosen;
    std::vector<std::vector<double>> impulses;  // ImpulseOut values per column
    bool sectionSpectraBuilt = false;
};

// The driver's sequence (fields, then Setup/Initialize/Run/Finalize per
// column, the search switched off after the first column).
Outcome drive(const std::vector<std::vector<double>>& columns, int autoInit, int preEmphasis, int corner,
              int skipSpectrum)
{
    Outcome o;
    std::vector<double>* table = TxStepResponseList::Create(corner);
    {
        Base_SerDesTxBE_CTLE model;
        model.SymbolRate = 1.0 / amitest::kBitTime;
        model.SamplesPerSymbol = 32;
        static_cast<Base_SerDes_CoreParameters&>(model).EnableCorners = 0;
        model.EnableCorners = 0;
        model.NumData1 = 16;
        model.DefaultModelType = 3;
        model.OutputGain = 0.9;
        model.ColumnArrangement1 = 1;
        model.AdaptForChannel = autoInit;
        model.Data1Index = 16 - preEmphasis;
        model.Data1 = table;
        model.ImpulseOutputOnly = true;
        model.SkipSpectrum = skipSpectrum;
        for (const std::vector<double>& column : columns) {
            model.ImpulseIn.assign(column.begin(), column.end());
            for (double& v : model.ImpulseIn)
                v /= 32.0 / amitest::kBitTime;
            o.results.push_back(model.Setup());
            o.messages.push_back(model.msg.str());
            o.results.push_back(model.Initialize());
            o.messages.push_back(model.msg.str());
            o.chosen.push_back(model.Data1Index);
            o.results.push_back(model.Run());
            std::vector<double> out;
            for (const auto& p : model.ImpulseOut)
                out.push_back(p.imag());
            o.impulses.push_back(out);
            o.sectionSpectraBuilt =
                o.sectionSpectraBuilt || !model.Container->StepResp_AMI.OutputSpectrum.empty();
            o.results.push_back(model.Finalize());
            o.messages.push_back(model.msg.str());
            model.AdaptForChannel = 0;
        }
        model.Data1 = nullptr;
        model.Data1_Selected = nullptr;
        static_cast<Base_SerDesFE_CTLE&>(model).Data1 = nullptr;
        static_cast<Base_SerDesFE_CTLE&>(model).Data1_Selected = nullptr;
    }
    TxStepResponseList::Destroy(table);
    return o;
}

bool bitwiseEqual(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

TEST(SpectrumSkip, ModelOutputsDoNotDependOnTheSpectra)
{
    const long rows = 6000;
    std::vector<std::vector<double>> columns = {amitest::lossyChannel(rows, 3.0),
                                                amitest::lossyChannel(rows, 1.0, 3.0),
                                                std::vector<double>(rows, 0.0)};
    for (long i = 0; i < rows; ++i)
        columns[2][i] = -0.05 * columns[0][i] + 1e7 * ((i % 97) == 0);
    for (int autoInit : {0, 1}) {
        for (int corner : {0, 3}) {
            SCOPED_TRACE(testing::Message() << "AutoInit " << autoInit << " corner " << corner);
            const Outcome with = drive(columns, autoInit, 6, corner, 0);
            const Outcome without = drive(columns, autoInit, 6, corner, 1);
            ASSERT_TRUE(with.sectionSpectraBuilt);
            EXPECT_FALSE(without.sectionSpectraBuilt);
            EXPECT_EQ(with.results, without.results);
            EXPECT_EQ(with.messages, without.messages);
            EXPECT_EQ(with.chosen, without.chosen);
            ASSERT_EQ(with.impulses.size(), without.impulses.size());
            for (size_t c = 0; c < with.impulses.size(); ++c) {
                EXPECT_FALSE(with.impulses[c].empty());
                EXPECT_TRUE(bitwiseEqual(with.impulses[c], without.impulses[c])) << "column " << c;
            }
        }
    }
}
