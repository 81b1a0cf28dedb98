#include <gtest/gtest.h>

#include "tools/ami-host/AmiParameterFile.h"

using namespace amihost;

TEST(AmiParameterFile, BuildsTheParameterStringFromDefaults)
{
    AmiParameterFile ami;
    std::string error;
    ASSERT_TRUE(ami.Load(FAKE_AMI, error)) << error;
    EXPECT_EQ(ami.RootName, "FakeTx");
    ASSERT_EQ(ami.Parameters.size(), 5u);
    const AmiParameter* pe = ami.find("PreEmphasis");
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(pe->Type, "Integer");
    EXPECT_EQ(pe->Format, "Range");
    EXPECT_EQ(pe->FormatValues, (std::vector<std::string>{"0", "0", "15"}));
    EXPECT_EQ(pe->Default, "2");
    const AmiParameter* cc = ami.find("CornerCase");
    ASSERT_NE(cc, nullptr);
    EXPECT_EQ(cc->ListTips, (std::vector<std::string>{"Typical", "Slow", "Fast"}));
    EXPECT_FALSE(ami.find("Version")->Sent);
    EXPECT_EQ(ami.find("AMI_Version"), nullptr);  // reserved parameters are not the model's

    std::string s;
    ASSERT_TRUE(ami.BuildParameterString({}, s, error)) << error;
    EXPECT_EQ(s, "(FakeTx (AutoInit 0)(PreEmphasis 2)(CornerCase 0)(OutputGain 1.0))");
    std::vector<std::string> notes;
    ASSERT_TRUE(ami.BuildParameterString({{"OutputGain", "0.5"}, {"PreEmphasis", "7"}, {"PreEmphasis", "9"}},
                                         s, error, &notes));
    EXPECT_EQ(s, "(FakeTx (AutoInit 0)(PreEmphasis 9)(CornerCase 0)(OutputGain 0.5))");
    EXPECT_TRUE(notes.empty());
}

TEST(AmiParameterFile, RejectsUnknownNamesAndMalformedValues)
{
    AmiParameterFile ami;
    std::string error, s = "unchanged";
    ASSERT_TRUE(ami.Load(FAKE_AMI, error));
    EXPECT_FALSE(ami.BuildParameterString({{"Preemphasis", "3"}}, s, error));
    EXPECT_EQ(error,
              "unknown parameter 'Preemphasis' (parameters of FakeTx: AutoInit, PreEmphasis, CornerCase, "
              "OutputGain)");
    EXPECT_EQ(s, "unchanged");
    EXPECT_FALSE(ami.BuildParameterString({{"Version", "x"}}, s, error));
    EXPECT_EQ(error, "parameter 'Version' has Usage Info and is not sent to the model");
    EXPECT_FALSE(ami.BuildParameterString({{"PreEmphasis", "3.5"}}, s, error));
    EXPECT_EQ(error, "value '3.5' of PreEmphasis is not an integer");
    EXPECT_FALSE(ami.BuildParameterString({{"OutputGain", "1,5"}}, s, error));
    EXPECT_EQ(error, "value '1,5' of OutputGain is not a number");
    EXPECT_FALSE(ami.BuildParameterString({{"OutputGain", ""}}, s, error));

    // Outside the declared range: passed on, with a note.
    std::vector<std::string> notes;
    ASSERT_TRUE(ami.BuildParameterString({{"PreEmphasis", "16"}, {"CornerCase", "7"}}, s, error, &notes));
    EXPECT_EQ(s, "(FakeTx (AutoInit 0)(PreEmphasis 16)(CornerCase 7)(OutputGain 1.0))");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], "PreEmphasis=16 lies outside the .ami file's Range; passed to the model as given");
}

TEST(AmiParameterFile, HandlesBranchesStringsCommentsAndOlderFormats)
{
    const std::string text =
        "| header comment (\n"
        "(Rx (Description \"a | not a comment\")\n"
        " (Reserved_Parameters (AMI_Version (Usage Info)(Type String)(Value \"7.0\")))\n"
        " (Model_Specific\n"
        "  (Mode (Usage In) (Type String) (List \"fast\" \"slow\") (Description \"m\"))\n"
        "  (Ctle (Description \"group\")\n"
        "    (Gain (Usage In)(Type Float)(Format Range 2.5 0 10))\n"
        "    (Taps (Usage InOut)(Type Integer)(Increment 4 0 8 2)(Default 6)))\n"
        "  (Enable (Usage In)(Type Boolean)(Default False))\n"
        "  (Level (Usage Out)(Type Float)(Value 0))))\n";
    AmiParameterFile ami;
    std::string error;
    ASSERT_TRUE(ami.Parse(text, "rx.ami", error)) << error;
    EXPECT_EQ(ami.RootName, "Rx");
    std::string s;
    ASSERT_TRUE(ami.BuildParameterString({}, s, error)) << error;
    EXPECT_EQ(s, "(Rx (Mode \"fast\")(Ctle (Gain 2.5)(Taps 6))(Enable False))");
    ASSERT_TRUE(
        ami.BuildParameterString({{"Ctle.Gain", "3"}, {"Mode", "slow"}, {"Enable", "True"}}, s, error));
    EXPECT_EQ(s, "(Rx (Mode \"slow\")(Ctle (Gain 3)(Taps 6))(Enable True))");
    EXPECT_FALSE(ami.BuildParameterString({{"Enable", "yes"}}, s, error));
    EXPECT_EQ(error, "value 'yes' of Enable is not True or False");
    EXPECT_FALSE(ami.BuildParameterString({{"Mode", "a\"b"}}, s, error));
    EXPECT_EQ(AmiParameterFile::choices(*ami.find("Taps")),
              (std::vector<std::string>{"0", "2", "4", "6", "8"}));
    EXPECT_TRUE(AmiParameterFile::choices(*ami.find("Gain")).empty());
    EXPECT_TRUE(AmiParameterFile::allowedValue(*ami.find("Gain"), "10"));
    EXPECT_FALSE(AmiParameterFile::allowedValue(*ami.find("Gain"), "10.5"));
    EXPECT_FALSE(AmiParameterFile::allowedValue(*ami.find("Mode"), "medium"));
}

TEST(AmiParameterFile, ReportsSyntaxErrorsWithLine)
{
    AmiParameterFile ami;
    std::string error;
    EXPECT_FALSE(
        ami.Parse("(A\n (Model_Specific\n  (X (Usage In)(Type Integer)(Value 1))\n", "a.ami", error));
    EXPECT_EQ(error, "a.ami:4: missing ')' (unbalanced parentheses)");
    EXPECT_FALSE(ami.Parse("(A (B \"open\n))", "b.ami", error));
    EXPECT_EQ(error, "b.ami:1: unterminated string");
    EXPECT_FALSE(ami.Parse("(A)\n(B)", "c.ami", error));
    EXPECT_EQ(error, "c.ami:2: text after the closing parenthesis of the root");
    EXPECT_FALSE(ami.Parse("A", "d.ami", error));
    EXPECT_EQ(error, "d.ami:1: the file does not start with '('");
    EXPECT_FALSE(ami.Parse("((x))", "e.ami", error));
    EXPECT_EQ(error, "e.ami: the root list has no name");
    EXPECT_FALSE(ami.Parse("(A (Model_Specific (X (Usage In)(Type Integer))))", "f.ami", error));
    EXPECT_EQ(error, "f.ami: parameter X has no default value");
    EXPECT_FALSE(ami.Parse("(A (Model_Specific (X (Usage In)(Type Integer)(Default 1.5))))", "g.ami", error));
    EXPECT_EQ(error, "g.ami: default '1.5' of X is not of type Integer");
    EXPECT_FALSE(ami.Parse(std::string(5000, '(') + std::string(5000, ')'), "h.ami", error));
    EXPECT_EQ(error, "h.ami:1: parentheses nested too deeply");
    EXPECT_FALSE(ami.Load("/nonexistent/x.ami", error));
    EXPECT_EQ(error, "cannot open .ami file '/nonexistent/x.ami'");
    // Would never end.
    EXPECT_FALSE(ami.Load("/dev/zero", error));
    EXPECT_EQ(error, "cannot open .ami file '/dev/zero': not a regular file");
}

TEST(AmiParameterFile, ReadsTheShippedModelFile)
{
    // The host's sweep and overrides rely on these declarations.
    AmiParameterFile ami;
    std::string error;
    ASSERT_TRUE(ami.Load(AMIHOST_AMI, error)) << error;
    EXPECT_EQ(ami.RootName, "VELMOR7700X");
    for (const char* name : {"AutoInit", "PreEmphasis", "CornerCase", "OutputGain"}) {
        ASSERT_NE(ami.find(name), nullptr) << name;
        EXPECT_TRUE(ami.find(name)->Sent) << name;
    }
    std::vector<std::string> states;
    for (int i = 0; i < 16; ++i)
        states.push_back(std::to_string(i));
    EXPECT_EQ(AmiParameterFile::choices(*ami.find("PreEmphasis")), states);
    EXPECT_EQ(AmiParameterFile::choices(*ami.find("CornerCase")),
              (std::vector<std::string>{"0", "1", "2", "3", "4"}));
    EXPECT_EQ(ami.find("CornerCase")->ListTips,
              (std::vector<std::string>{"Typical", "Slow", "Fast", "Leakage", "TempInv"}));
    // A host that takes the first List entry or the Range typ as the value
    // sends the defaults.
    for (const AmiParameter& p : ami.Parameters) {
        SCOPED_TRACE(p.Name);
        ASSERT_TRUE(p.Format == "List" || p.Format == "Range");
        ASSERT_FALSE(p.FormatValues.empty());
        EXPECT_EQ(p.FormatValues[0], p.Default);
    }
    EXPECT_EQ(ami.find("AutoInit")->Default, "1");
    std::string s;
    ASSERT_TRUE(ami.BuildParameterString({}, s, error)) << error;
    EXPECT_EQ(s, "(VELMOR7700X (AutoInit 1)(PreEmphasis 0)(CornerCase 0)(OutputGain 1.0))");
    ASSERT_TRUE(ami.BuildParameterString({{"AutoInit", "0"}, {"PreEmphasis", "5"}}, s, error)) << error;
    EXPECT_EQ(s.rfind("(VELMOR7700X (AutoInit 0)(PreEmphasis 5)(CornerCase ", 0), 0u) << s;
}
