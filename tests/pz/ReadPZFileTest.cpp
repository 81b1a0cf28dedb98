#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "pz/PZ_Data.h"
#include "pz/ReadPZFile.h"

using namespace Veltramodels20200612;

namespace {

const double kTwoPi = 6.283185307179586;

class PZFileTest : public ::testing::Test {
protected:
    std::string dir = ::testing::TempDir();
    std::string name;

    void write(const std::string& text)
    {
        name =
            std::string("pzfile_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::ofstream f(dir + "/" + name, std::ios::binary);
        f << text;
    }
    void TearDown() override
    {
        if (!name.empty())
            std::remove((dir + "/" + name).c_str());
    }
    bool read(int expected, PZ_Data** sets, std::stringstream& msg)
    {
        return Get_PZ_Data(dir.c_str(), const_cast<char*>(name.c_str()), expected, sets, msg);
    }
};

TEST_F(PZFileTest, GHzExampleGivesOneScaledDataSet)
{
    write("! a comment line\n# GHz\n1.0 [1] [] [1+2j] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(read(1, &sets, msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    ASSERT_NE(sets, nullptr);
    EXPECT_EQ(sets[0].gain, 1.0);
    ASSERT_EQ(sets[0].poles.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].poles[0], kTwoPi * 1e9);
    EXPECT_TRUE(sets[0].zeros.empty());
    ASSERT_EQ(sets[0].cpoles.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].cpoles[0].real(), kTwoPi * 1e9);
    EXPECT_DOUBLE_EQ(sets[0].cpoles[0].imag(), 2.0 * kTwoPi * 1e9);
    EXPECT_TRUE(sets[0].czeros.empty());
    delete[] sets;
}

TEST_F(PZFileTest, UnitsAndListForms)
{
    // kHz scale, comma lists with blanks after commas, quoted fields, a
    // trailing comment, CRLF line ends and an indented line.
    write("#  kHz\r\n2.5, [1, 2.5], \"3\", [ 1e3-2e3j, 4+5i ], []  ! note\r\n"
          " 0.5 [7] [] [] [2+3j]\r\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(read(2, &sets, msg)) << msg.str();
    const double s = kTwoPi * 1e3;
    EXPECT_EQ(sets[0].gain, 2.5);
    ASSERT_EQ(sets[0].poles.size(), 2u);
    EXPECT_DOUBLE_EQ(sets[0].poles[0], 1 * s);
    EXPECT_DOUBLE_EQ(sets[0].poles[1], 2.5 * s);
    ASSERT_EQ(sets[0].zeros.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].zeros[0], 3 * s);
    ASSERT_EQ(sets[0].cpoles.size(), 2u);
    EXPECT_DOUBLE_EQ(sets[0].cpoles[0].real(), 1e3 * s);
    EXPECT_DOUBLE_EQ(sets[0].cpoles[0].imag(), -2e3 * s);
    EXPECT_DOUBLE_EQ(sets[0].cpoles[1].imag(), 5 * s);
    EXPECT_EQ(sets[1].gain, 0.5);  // one leading blank: the gain field is " 0.5"
    ASSERT_EQ(sets[1].czeros.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[1].czeros[0].real(), 2 * s);
    delete[] sets;
}

TEST_F(PZFileTest, UnknownUnitKeepsRadiansPerSecond)
{
    write("# THz\n3 [5] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(read(1, &sets, msg)) << msg.str();
    EXPECT_EQ(sets[0].poles[0], 5.0);
    delete[] sets;
}

TEST_F(PZFileTest, IndentedLineHasBlankGainField)
{
    write("# Hz\n  4 [1] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(read(1, &sets, msg)) << msg.str();
    // The fields shift by one: the gain reads 0, "4" becomes the poles field
    // and "[1]" the zeros field.
    EXPECT_EQ(sets[0].gain, 0.0);
    ASSERT_EQ(sets[0].poles.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].poles[0], 4 * kTwoPi);
    ASSERT_EQ(sets[0].zeros.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].zeros[0], kTwoPi);
    delete[] sets;
}

TEST_F(PZFileTest, RealListQuirks)
{
    // "1 2 3" without commas is one value; "1 ,2" ends the first field at the
    // blank, so the second reads 0.
    write("# Hz\n1 \"1 2 3\" [] [] []\n1 \"1 ,2\" [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    EXPECT_FALSE(read(2, &sets, msg));
    // The second line has a pole 0, which is refused.
    EXPECT_EQ(msg.str(), "PZFile poles must be > 0.\n");
    ASSERT_NE(sets, nullptr);
    ASSERT_EQ(sets[0].poles.size(), 1u);
    EXPECT_DOUBLE_EQ(sets[0].poles[0], kTwoPi);
    delete[] sets;
}

TEST_F(PZFileTest, DataBeforeFormatLine)
{
    write("1.0 [1] [] [1+2j] []\n# GHz\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    EXPECT_FALSE(read(1, &sets, msg));
    EXPECT_EQ(msg.str(), "Missing PZFile format line before data.\n");
    EXPECT_EQ(sets, nullptr);
}

TEST_F(PZFileTest, FormatLineWithoutDelimiter)
{
    write("#GHz\n1.0 [1] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    EXPECT_FALSE(read(1, &sets, msg));
    EXPECT_EQ(msg.str(), "Invalid PZFile format line .\n");
}

TEST_F(PZFileTest, NegativePoleFails)
{
    write("# GHz\n1.0 [1, -2] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    EXPECT_FALSE(read(1, &sets, msg));
    EXPECT_EQ(msg.str(), "PZFile poles must be > 0.\n");
    ASSERT_NE(sets, nullptr);  // the failed record is still handed over
    delete[] sets;
}

TEST_F(PZFileTest, RootSignMessages)
{
    const char* cases[][2] = {
        {"1 [] [-1] [] []\n", "PZFile zeros must be > 0.\n"},
        {"1 [] [] [-1+2j] []\n", "PZFile complex poles must have real part > 0.\n"},
        {"1 [] [] [] [0+2j]\n", "PZFile complex zeros must have real part > 0.\n"},
        {"1 [nan] [] [] []\n", "PZFile poles must be > 0.\n"},
        {"1 [] [] [12] []\n", "ERROR:  Failed to find 'j' in the complex number for cpoles[].\n"},
        {"1 [] [] [] [j]\n",
         "ERROR:  Failed to find real and imaginary parts of the complex number for czeros[].\n"},
        {"1 [1,] [] [] []\n", "ERROR:  Failed to get valid data for poles[].\n"},
    };
    for (auto& c : cases) {
        write(std::string("# Hz\n") + c[0]);
        PZ_Data* sets = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(read(1, &sets, msg)) << c[0];
        EXPECT_EQ(msg.str(), c[1]) << c[0];
        delete[] sets;
    }
}

TEST_F(PZFileTest, UnclosedBrackets)
{
    {
        write("# GHz\n1.0 [1] [] [] [2+3j\n");
        PZ_Data* sets = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(read(1, &sets, msg));
        EXPECT_EQ(
            msg.str(),
            "For line, a numeric array is missing required leading and tailing bracket marks [ and ].\n");
        delete[] sets;
    }
    {
        write("# GHz\n1.0 [1 [] [] []\n");
        PZ_Data* sets = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(read(1, &sets, msg));
        EXPECT_EQ(msg.str(), "Failed to get valid data from line.\n");
        delete[] sets;
    }
}

TEST_F(PZFileTest, LinesStartingWithSignAreSkipped)
{
    write("# GHz\n-1.0 [1] [] [] []\n+2 [1] [] [] []\n# MHz\n3 [1] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(read(1, &sets, msg)) << msg.str();
    EXPECT_EQ(sets[0].gain, 3.0);
    EXPECT_DOUBLE_EQ(sets[0].poles[0], kTwoPi * 1e9);  // the second '#' line is ignored
    delete[] sets;
}

TEST_F(PZFileTest, CountMismatchKeepsRecords)
{
    write("# GHz\n1 [1] [] [] []\n2 [2] [] [] []\n");
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    EXPECT_FALSE(read(3, &sets, msg));
    EXPECT_EQ(msg.str(),
              "\nERROR:  PZ data file contains 2 data sets which is not the same as expected 3.\n");
    ASSERT_NE(sets, nullptr);
    EXPECT_EQ(sets[0].gain, 1.0);
    EXPECT_EQ(sets[1].gain, 2.0);
    EXPECT_DOUBLE_EQ(sets[1].poles[0], 2 * kTwoPi * 1e9);
    delete[] sets;
}

TEST_F(PZFileTest, EmptyFileReadsZeroSets)
{
    write("! only a comment\n\n");
    PZ_Data* earlier = new PZ_Data[2];
    PZ_Data* sets = earlier;
    std::stringstream msg;
    EXPECT_TRUE(read(0, &sets, msg)) << msg.str();
    EXPECT_EQ(sets, earlier);  // no data line: the array comes back unchanged
    std::stringstream msg2;
    EXPECT_FALSE(read(1, &sets, msg2));
    EXPECT_EQ(msg2.str(),
              "\nERROR:  PZ data file contains 0 data sets which is not the same as expected 1.\n");
    delete[] sets;
}

TEST_F(PZFileTest, EarlierArrayIsReplacedWhenDataIsRead)
{
    write("# GHz\n1 [1] [] [] []\n");
    PZ_Data* sets = new PZ_Data[3];  // released by the reader (checked by the leak sanitizer)
    std::stringstream msg;
    ASSERT_TRUE(read(1, &sets, msg));
    EXPECT_EQ(sets[0].gain, 1.0);
    delete[] sets;
}

TEST(PZFileOpen, MissingFileAndNullName)
{
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    std::string dir = ::testing::TempDir();
    char missing[] = "no_such_pz_file.txt";
    EXPECT_FALSE(Get_PZ_Data(dir.c_str(), missing, 1, &sets, msg));
    EXPECT_EQ(msg.str(), "Failed to open file = " + dir + "/no_such_pz_file.txt\n");
    EXPECT_EQ(sets, nullptr);

    std::stringstream msg2;
    EXPECT_FALSE(Get_PZ_Data(dir.c_str(), nullptr, 1, &sets, msg2));
    EXPECT_EQ(msg2.str(), "filename must not be NULL.\n");
}

TEST(PZFileOpen, SetupWritesUseFileOnce)
{
    std::string logName = ::testing::TempDir() + "/pz_use_file.txt";
    std::ofstream log(logName);
    ReadPZFile reader;
    std::string file = ::testing::TempDir() + "/pz_use_data.txt";
    {
        std::ofstream f(file);
        f << "# Hz\n1 [1] [] [] []\n";
    }
    reader.FileName = file.c_str();
    std::stringstream msg;
    EXPECT_TRUE(reader.Setup(&log, msg));
    EXPECT_TRUE(reader.Setup(&log, msg));
    EXPECT_TRUE(reader.Initialize(msg));
    EXPECT_EQ(reader.Count, 1);
    delete[] reader.DataSets;
    log.close();
    std::ifstream in(logName);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "Veltramodels20200612::ReadPZFile\nVeltramodels20200612::TextFileReader\n");
    std::remove(logName.c_str());
    std::remove(file.c_str());
}

}  // namespace
