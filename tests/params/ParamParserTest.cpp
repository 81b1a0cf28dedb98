#include "params/ParamParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <string>
#include <vector>

using namespace Veltramodels20200612;

namespace {

const char* kTree = "(VELMOR7700X (AutoInit 1) (PreEmphasis 8) (CornerCase 0) (OutputGain 1.0))";

std::string m1(const std::string& branch, const std::string& leaf, const std::string& value)
{
    return "The IBIS-AMI model, " + branch + ", is unable to initialize the parameter " + leaf +
           " from the AMI_Init arguments.The model will use the default setting = " + value + ".\n";
}
std::string m2(const std::string& branch, const std::string& leaf)
{
    return "The IBIS-AMI model, " + branch + ", is unable to initialize the parameter " + leaf +
           " from the AMI_Init arguments. The model will use the default setting.\n";
}
std::string m3(const std::string& branch, const std::string& leaf)
{
    return "The IBIS-AMI model, " + branch + ", is unable to initialize the parameter " + leaf +
           " from the AMI_Init arguments.The model will use the default setting.\n";
}
std::string m4(const std::string& leaf)
{
    return "ERROR:  Failed to get valid data for " + leaf + "[].\n";
}

// Reads one integer leaf of branch R from a fresh parser.
bool readInt(const std::string& text, const char* leaf, int& value, std::string* messages = nullptr)
{
    ParamParser parser(text.c_str());
    std::stringstream msg;
    bool ok = parser.Get_iValue("R", leaf, value, msg);
    if (messages)
        *messages = msg.str();
    return ok;
}

}  // namespace

TEST(ParamParserTree, ReadsTheModelLeaves)
{
    ParamParser parser(kTree);
    std::stringstream msg;
    int autoInit = -5, pre = -5, corner = -5;
    double gain = -5.0;
    EXPECT_TRUE(parser.Get_iValue("VELMOR7700X", "AutoInit", autoInit, msg));
    EXPECT_TRUE(parser.Get_iValue("VELMOR7700X", "PreEmphasis", pre, msg));
    EXPECT_TRUE(parser.Get_iValue("VELMOR7700X", "CornerCase", corner, msg));
    EXPECT_TRUE(parser.Get_dValue("VELMOR7700X", "OutputGain", gain, msg));
    EXPECT_EQ(autoInit, 1);
    EXPECT_EQ(pre, 8);
    EXPECT_EQ(corner, 0);
    EXPECT_DOUBLE_EQ(gain, 1.0);
    EXPECT_EQ(msg.str(), "");
    // Reading again gives the same values although the copy now holds NULs.
    EXPECT_TRUE(parser.Get_iValue("VELMOR7700X", "PreEmphasis", pre, msg));
    EXPECT_EQ(pre, 8);
    EXPECT_TRUE(parser.Get_dValue("VELMOR7700X", "OutputGain", gain, msg));
    EXPECT_DOUBLE_EQ(gain, 1.0);
}

TEST(ParamParserTree, BlankInsertedBeforeParenthesesAndNestingTable)
{
    ParamParser parser("(VELMOR7700X(AutoInit 1))");
    EXPECT_STREQ(parser.ParamString, "(VELMOR7700X (AutoInit 1))");
    ASSERT_EQ(parser.ParamLength, 26u);
    EXPECT_EQ(parser.FirstParenIndex, 0);
    std::vector<int> nest(parser.NestLevel, parser.NestLevel + 27);
    std::vector<int> expected(27, 0);
    expected[0] = 1;
    expected[13] = 2;
    expected[24] = -2;
    expected[25] = -1;
    EXPECT_EQ(nest, expected);

    std::stringstream msg;
    int v = -1;
    EXPECT_TRUE(parser.Get_iValue("VELMOR7700X", "AutoInit", v, msg));
    EXPECT_EQ(v, 1);
    EXPECT_EQ(msg.str(), "");
    // The read cut the value with a NUL in place of the ')'; the table is unchanged.
    EXPECT_EQ(parser.ParamString[24], '\0');
    EXPECT_EQ(parser.NestLevel[24], -2);

    // No blank before the first character's '(' or where one already stands;
    // tabs, line ends and quotes pass through.
    ParamParser other("((a\t(b \"(\"\n)");
    EXPECT_STREQ(other.ParamString, "( (a\t (b \" (\"\n)");
    EXPECT_EQ(other.FirstParenIndex, 0);
    EXPECT_EQ(other.NestLevel[2], 2);
    EXPECT_EQ(other.NestLevel[6], 3);
    EXPECT_EQ(other.NestLevel[11], 4);  // a parenthesis inside quotes counts too
    EXPECT_EQ(other.NestLevel[14], -4);
}

TEST(ParamParserTree, WhatEndsALeafName)
{
    int v = -9;
    std::string msg;
    EXPECT_FALSE(readInt("(R (AutoInit\t1))", "AutoInit", v, &msg));
    EXPECT_EQ(v, -9);
    EXPECT_EQ(msg, m1("R", "AutoInit", "-9"));
    EXPECT_TRUE(readInt("(R (AutoInit\n1))", "AutoInit", v, &msg));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(readInt("(R (AutoInit\r\n4))", "AutoInit", v));
    EXPECT_EQ(v, 4);
    // The value starts right after the character that ended the name: here
    // the line feed, which a blank then cuts off as a value of its own.
    EXPECT_TRUE(readInt("(R (AutoInit\r\n 4))", "AutoInit", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(readInt("(R (AutoInit\f5))", "AutoInit", v));
    EXPECT_EQ(v, 5);
    // A name directly followed by ')' is never found, nor is a prefix.
    EXPECT_FALSE(readInt("(R (AutoInit) (Auto 1))", "AutoInit", v));
    EXPECT_FALSE(readInt("(R (AutoInitX 1))", "AutoInit", v));
    // Blanks between '(' and the name are skipped.
    EXPECT_TRUE(readInt("(R (   AutoInit 6))", "AutoInit", v));
    EXPECT_EQ(v, 6);
}

TEST(ParamParserTree, ValueConversions)
{
    ParamParser parser("(R (a -3) (b 2.5e-1) (c 7.9) (d abc) (e 4294967297) (f 12\t) (g +0x10) (h 1e400))");
    std::stringstream msg;
    int i = 99;
    double d = 99.0;
    EXPECT_TRUE(parser.Get_iValue("R", "a", i, msg));
    EXPECT_EQ(i, -3);
    EXPECT_TRUE(parser.Get_dValue("R", "b", d, msg));
    EXPECT_DOUBLE_EQ(d, 0.25);
    EXPECT_TRUE(parser.Get_iValue("R", "c", i, msg));
    EXPECT_EQ(i, 7);
    EXPECT_TRUE(parser.Get_iValue("R", "d", i, msg));
    EXPECT_EQ(i, 0);
    EXPECT_TRUE(parser.Get_iValue("R", "e", i, msg));
    EXPECT_EQ(i, 1);  // low 32 bits
    EXPECT_TRUE(parser.Get_iValue("R", "f", i, msg));
    EXPECT_EQ(i, 12);  // the tab stays in the text but stops the conversion
    EXPECT_TRUE(parser.Get_iValue("R", "g", i, msg));
    EXPECT_EQ(i, 0);  // base 10: "0x10" reads as 0
    EXPECT_TRUE(parser.Get_dValue("R", "g", d, msg));
    EXPECT_DOUBLE_EQ(d, 16.0);  // strtod takes the hexadecimal form
    EXPECT_TRUE(parser.Get_dValue("R", "h", d, msg));
    EXPECT_TRUE(std::isinf(d));
    EXPECT_TRUE(parser.Get_dValue("R", "a", d, msg));
    EXPECT_DOUBLE_EQ(d, -3.0);
    EXPECT_EQ(msg.str(), "");
}

TEST(ParamParserTree, NestedGroupInsteadOfValueAndDuplicates)
{
    int v = -1;
    std::string msg;
    EXPECT_TRUE(readInt("(R (AutoInit (x 1)))", "AutoInit", v, &msg));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(msg, "");
    EXPECT_TRUE(readInt("(R (A 4) (B 5) (A 6))", "A", v));
    EXPECT_EQ(v, 4);
    // The nested group's leaf is still found after the NUL write at its '('.
    ParamParser parser("(R (AutoInit (x 1)))");
    std::stringstream m;
    EXPECT_TRUE(parser.Get_iValue("R", "AutoInit", v, m));
    EXPECT_EQ(v, 0);
    int q = -1;
    EXPECT_TRUE(parser.GetValueI(q, "R.AutoInit.x"));
    EXPECT_EQ(q, 1);
}

TEST(ParamParserRoot, OtherBranchSequence)
{
    ParamParser parser(kTree);
    std::stringstream msg;
    int autoInit = 0;
    EXPECT_FALSE(parser.Get_iValue("OTHER", "AutoInit", autoInit, msg));
    EXPECT_EQ(autoInit, 0);
    EXPECT_EQ(msg.str(), m1("OTHER", "AutoInit", "0"));
    EXPECT_STREQ(parser.PartName, "OTHER");
    EXPECT_EQ(parser.PartNameLength, 5);
    int pre = 0;
    msg.str("");
    EXPECT_TRUE(parser.Get_iValue("OTHER", "PreEmphasis", pre, msg));
    EXPECT_EQ(pre, 8);
    EXPECT_EQ(msg.str(), "");
    // Later queries take the leaf at the stored length + 1, whatever their branch.
    int corner = -1;
    EXPECT_TRUE(parser.Get_iValue("XXXXX", "CornerCase", corner, msg));
    EXPECT_EQ(corner, 0);
}

TEST(ParamParserRoot, DifferentRootFailsOnlyTheFirstRead)
{
    ParamParser parser("(OTHERMODEL (AutoInit 1) (OutputGain 2.5))");
    std::stringstream msg;
    int autoInit = 0;
    double gain = 1.0;
    EXPECT_FALSE(parser.Get_iValue("VELMOR7700X", "AutoInit", autoInit, msg));
    EXPECT_TRUE(parser.Get_dValue("VELMOR7700X", "OutputGain", gain, msg));
    EXPECT_DOUBLE_EQ(gain, 2.5);
    EXPECT_EQ(msg.str(), m1("VELMOR7700X", "AutoInit", "0"));
}

TEST(ParamParserRoot, RootComparisonRules)
{
    int v = -1;
    // A root that goes on with a further name character does not match.
    EXPECT_FALSE(readInt("(RX (A 1))", "A", v));
    // Blanks after the first '(' are skipped; line ends after the root are fine.
    EXPECT_TRUE(readInt("(  R\n\n(A 1))", "A", v));
    EXPECT_EQ(v, 1);
    // Text before the first '(' is not looked at.
    EXPECT_TRUE(readInt("junk (R (A 2))", "A", v));
    EXPECT_EQ(v, 2);

    // A part name k characters longer than the root matches when the k + 1
    // characters after the root are gap characters.
    int a = -1;
    ParamParser longer("(ROOT (A 3))");
    EXPECT_FALSE(longer.GetValueI(a, "ROOTxy.A"));
    ParamParser longer2("(ROOT  (A 3))");
    EXPECT_TRUE(longer2.GetValueI(a, "ROOTxy.A"));
    EXPECT_EQ(a, 3);
    ParamParser longer3("(ROOT (A 4))");
    EXPECT_TRUE(longer3.GetValueI(a, "ROOTx.A"));
    EXPECT_EQ(a, 4);

    // Query text before the part name: blanks, parentheses, tabs, line feeds.
    ParamParser lead("(R (A 5))");
    EXPECT_TRUE(lead.getPartName(" (\t\nR.A"));
    EXPECT_STREQ(lead.PartName, "R");
    // A query starting with '.' records an empty part name and fails.
    ParamParser dot("(R (A 5))");
    EXPECT_FALSE(dot.GetValueI(a, ".A"));
    ASSERT_NE(dot.PartName, nullptr);
    EXPECT_EQ(dot.PartNameLength, 0);
    // A query without '.' records nothing.
    ParamParser nodot("(R (A 5))");
    EXPECT_FALSE(nodot.GetValueI(a, "RA"));
    EXPECT_EQ(a, -1);
    EXPECT_EQ(nodot.PartName, nullptr);
}

TEST(ParamParserQuery, SplitsNames)
{
    ParamParser parser("(R (A 1))");
    EXPECT_TRUE(parser.ParseValueName("R.Leaf"));
    EXPECT_STREQ(parser.ValueName, "Leaf");
    EXPECT_EQ(parser.ValueNameLength, 4);
    EXPECT_EQ(parser.SubBranchName, nullptr);
    EXPECT_TRUE(parser.ParseValueName("R.Leaf.Sub.Ignored"));
    EXPECT_STREQ(parser.ValueName, "Leaf");
    EXPECT_STREQ(parser.SubBranchName, "Sub");
    EXPECT_EQ(parser.SubBranchNameLength, 3);
    EXPECT_TRUE(parser.ParseValueName("R.Leaf."));  // a final '.' belongs to the name
    EXPECT_STREQ(parser.ValueName, "Leaf.");
    EXPECT_EQ(parser.SubBranchName, nullptr);
    EXPECT_TRUE(parser.ParseValueName("R.A.b."));
    EXPECT_STREQ(parser.SubBranchName, "b.");
    EXPECT_FALSE(parser.ParseValueName("R."));  // not longer than the part name + 1
    EXPECT_FALSE(parser.ParseValueName(nullptr));
}

TEST(ParamParserQuery, LevelThreeSearches)
{
    ParamParser parser("(R (A (x 1)) (B (x 2) (y 3)))");
    int v = -1;
    EXPECT_TRUE(parser.GetValueI(v, "R.A.x"));
    EXPECT_EQ(v, 1);
    // The sub-branch search runs past A's group into B's.
    EXPECT_TRUE(parser.GetValueI(v, "R.A.y"));
    EXPECT_EQ(v, 3);
    EXPECT_TRUE(parser.GetValueI(v, "R.B.x"));
    EXPECT_EQ(v, 2);
    EXPECT_FALSE(parser.GetValueI(v, "R.B.z"));
    EXPECT_EQ(v, -1);
    EXPECT_FALSE(parser.GetValueI(v, "R.x"));  // x is never at level 2

    // The level-2 search covers every tree in the text.
    ParamParser two("(R (A 1)) (S (B 2))");
    EXPECT_TRUE(two.GetValueI(v, "R.B"));
    EXPECT_EQ(v, 2);
    // After an unmatched ')' later groups are at the wrong depth.
    ParamParser unbalanced("(R (A 1))) (B 2)");
    EXPECT_TRUE(unbalanced.GetValueI(v, "R.A"));
    EXPECT_FALSE(unbalanced.GetValueI(v, "R.B"));
}

TEST(ParamParserQuery, FindParamNameDirect)
{
    ParamParser parser("(R (Alpha 1) (Beta 2))");
    int pos = 0;
    EXPECT_TRUE(parser.FindParamName(&pos, 2, 4, "Beta"));
    EXPECT_EQ(pos, 18);
    EXPECT_EQ(parser.ParamString[pos], ' ');
    pos = 0;
    EXPECT_FALSE(parser.FindParamName(&pos, 3, 4, "Beta"));
    pos = 0;
    EXPECT_TRUE(parser.FindParamName(&pos, 2, 5, "Alpha"));
    // A length beyond the name's own end compares only the name.
    pos = 0;
    EXPECT_TRUE(parser.FindParamName(&pos, 2, 1000, "Beta"));
    pos = 0;
    EXPECT_FALSE(parser.FindParamName(&pos, 2, -1, "Beta"));
    EXPECT_FALSE(parser.FindParamName(nullptr, 2, 4, "Beta"));
    int index = 5;
    EXPECT_FALSE(parser.FindValueIndex(&index));  // no query parsed yet
    EXPECT_EQ(index, -1);
}

TEST(ParamParserStrings, QuotedStrings)
{
    ParamParser parser("(R (Name \"hello world\") (Empty \"\") (Plain abc) (Paren \"a(b\") (Num 5))");
    std::stringstream msg, out;
    out << "old";
    EXPECT_TRUE(parser.Get_ssValue("R", "Name", out, msg));
    EXPECT_EQ(out.str(), "hello world");
    EXPECT_TRUE(parser.Get_ssValue("R", "Empty", out, msg));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(msg.str(), "");

    out << "old";
    EXPECT_FALSE(parser.Get_ssValue("R", "Plain", out, msg));
    EXPECT_EQ(out.str(), "");  // emptied even on failure
    EXPECT_EQ(msg.str(), m2("R", "Plain"));
    msg.str("");
    EXPECT_FALSE(parser.Get_ssValue("R", "Paren", out, msg));
    EXPECT_EQ(msg.str(), m2("R", "Paren"));

    char* text = nullptr;
    msg.str("");
    EXPECT_FALSE(parser.Get_cValue("R", "Paren", &text, msg));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(msg.str(), m2("R", "Paren"));
    std::vector<double> d{7.0};
    msg.str("");
    EXPECT_FALSE(parser.Get_ssdValue("R", "Paren", d, msg));
    EXPECT_EQ(msg.str(), m3("R", "Paren"));
    EXPECT_EQ(d, std::vector<double>{7.0});
    std::vector<int> i{7};
    msg.str("");
    EXPECT_FALSE(parser.Get_ssiValue("R", "Num", i, msg));
    EXPECT_EQ(msg.str(), m3("R", "Num"));
    EXPECT_EQ(i, std::vector<int>{7});

    // Get_cValue allocates a fresh copy; the previous pointer is not released.
    ParamParser second("(R (Name \"abc\") (Other \"xy\"))");
    ASSERT_TRUE(second.Get_cValue("R", "Name", &text, msg));
    char* first = text;
    EXPECT_STREQ(first, "abc");
    ASSERT_TRUE(second.Get_cValue("R", "Other", &text, msg));
    EXPECT_STREQ(text, "xy");
    EXPECT_STREQ(first, "abc");
    delete[] first;
    delete[] text;
}

TEST(ParamParserStrings, RepeatedReadsSeeTheNuls)
{
    // The first read overwrites the closing quote; the second runs on to the
    // next quote or fails at a parenthesis.
    ParamParser parser("(R (S \"ab\") (T \"cd\"))");
    std::stringstream out;
    EXPECT_TRUE(parser.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "ab");
    EXPECT_FALSE(parser.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "");

    ParamParser runOn("(R (S \"ab\" \"x\"))");
    EXPECT_TRUE(runOn.GetValueSS(out, "R.S"));
    EXPECT_TRUE(runOn.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "ab");  // the visible text stops at the NUL

    // A scalar read of a string value cuts it at its first blank.
    ParamParser cut("(R (S \"a b\"))");
    int v = 5;
    EXPECT_TRUE(cut.GetValueI(v, "R.S"));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(cut.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "a");
}

TEST(ParamParserStrings, TextEndsInsideAString)
{
    std::stringstream out;
    ParamParser quoteLast("(R (S \"");
    EXPECT_TRUE(quoteLast.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "");
    ParamParser oneChar("(R (S \"x");
    EXPECT_TRUE(oneChar.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "");
    ParamParser twoChars("(R (S \"xy");
    EXPECT_TRUE(twoChars.GetValueSS(out, "R.S"));
    EXPECT_EQ(out.str(), "x");  // the copy's last character closes the string
    ParamParser paren("(R (S \"(");
    EXPECT_FALSE(paren.GetValueSS(out, "R.S"));
}

TEST(ParamParserLists, ListFieldRules)
{
    auto readD = [](const char* list, std::vector<double>& values, std::string& msgText) {
        std::string text = std::string("(R (L \"") + list + "\"))";
        ParamParser parser(text.c_str());
        std::stringstream msg;
        bool ok = parser.Get_ssdValue("R", "L", values, msg);
        msgText = msg.str();
        return ok;
    };
    std::vector<double> d{42.0};
    std::string msg;
    EXPECT_TRUE(readD("1,,3", d, msg));
    EXPECT_EQ(d, (std::vector<double>{1, 0, 3}));
    EXPECT_TRUE(readD(" 1, 2", d, msg));
    EXPECT_EQ(d, (std::vector<double>{1, 2}));
    EXPECT_TRUE(readD("5", d, msg));
    EXPECT_EQ(d, (std::vector<double>{5}));
    EXPECT_TRUE(readD("1.5e3 ,\t-2", d, msg));
    EXPECT_EQ(d, (std::vector<double>{1500, -2}));
    EXPECT_EQ(msg, "");
    EXPECT_FALSE(readD("1,2,", d, msg));
    EXPECT_EQ(msg, m4("L"));
    EXPECT_EQ(d, (std::vector<double>{1500, -2}));
    EXPECT_FALSE(readD("1, !2", d, msg));
    EXPECT_EQ(msg, m4("L"));
    EXPECT_FALSE(readD("!1", d, msg));
    EXPECT_EQ(msg, m4("L"));
    EXPECT_TRUE(readD("", d, msg));
    EXPECT_TRUE(d.empty());
    EXPECT_EQ(msg, "");

    ParamParser ints("(R (L \"4294967297, -2,7.9,x\") (E \"\") (Bad \"1,2,\"))");
    std::stringstream m;
    std::vector<int> i{3};
    EXPECT_TRUE(ints.Get_ssiValue("R", "L", i, m));
    EXPECT_EQ(i, (std::vector<int>{1, -2, 7, 0}));
    EXPECT_FALSE(ints.Get_ssiValue("R", "Bad", i, m));
    EXPECT_EQ(m.str(), m4("Bad"));
    EXPECT_EQ(i, (std::vector<int>{1, -2, 7, 0}));
    EXPECT_TRUE(ints.Get_ssiValue("R", "E", i, m));
    EXPECT_TRUE(i.empty());
}

TEST(ParamParserMessages, DefaultsUseTheStreamFormat)
{
    ParamParser parser(kTree);
    std::stringstream msg;
    double gain = 1.0;
    EXPECT_FALSE(parser.Get_dValue("VELMOR7700X", "Missing", gain, msg));
    EXPECT_EQ(msg.str(), m1("VELMOR7700X", "Missing", "1"));
    EXPECT_DOUBLE_EQ(gain, 1.0);
    msg.str("");
    msg << std::fixed << std::setprecision(2);
    gain = 2.5;
    EXPECT_FALSE(parser.Get_dValue("VELMOR7700X", "Missing", gain, msg));
    EXPECT_EQ(msg.str(), m1("VELMOR7700X", "Missing", "2.50"));
    int v = -7;
    msg.str("");
    EXPECT_FALSE(parser.Get_iValue("VELMOR7700X", "Missing", v, msg));
    EXPECT_EQ(msg.str(), m1("VELMOR7700X", "Missing", "-7"));
}

TEST(ParamParserEmpty, EveryGetterFailsWithItsMessage)
{
    for (const char* text : {"", static_cast<const char*>(nullptr)}) {
        ParamParser parser(text);
        EXPECT_EQ(parser.ParamString, nullptr);
        EXPECT_EQ(parser.ParamLength, 0u);
        EXPECT_EQ(parser.FirstParenIndex, -1);
        std::stringstream msg, out;
        int i = 3;
        double d = 0.5;
        char* c = nullptr;
        std::vector<double> vd{1};
        std::vector<int> vi{2};
        EXPECT_FALSE(parser.Get_iValue("B", "i", i, msg));
        EXPECT_FALSE(parser.Get_dValue("B", "d", d, msg));
        EXPECT_FALSE(parser.Get_ssValue("B", "s", out, msg));
        EXPECT_FALSE(parser.Get_cValue("B", "c", &c, msg));
        EXPECT_FALSE(parser.Get_ssdValue("B", "vd", vd, msg));
        EXPECT_FALSE(parser.Get_ssiValue("B", "vi", vi, msg));
        EXPECT_EQ(msg.str(), m1("B", "i", "3") + m1("B", "d", "0.5") + m2("B", "s") + m2("B", "c") +
                                 m3("B", "vd") + m3("B", "vi"));
        EXPECT_EQ(i, 3);
        EXPECT_EQ(c, nullptr);
        EXPECT_EQ(vd, std::vector<double>{1});
        EXPECT_EQ(vi, std::vector<int>{2});
        EXPECT_EQ(parser.PartName, nullptr);
    }
}

TEST(ParamParserFaults, MalformedTextsStayInBounds)
{
    int v = 77;
    std::string msg;
    // A name at the very end of the text is never found.
    EXPECT_FALSE(readInt("(R (A", "A", v));
    // A name followed only by a blank has no value.
    EXPECT_FALSE(readInt("(R (A ", "A", v));
    EXPECT_EQ(v, 77);
    // A value on the copy's last character reads as empty, one before it
    // loses the last character.
    EXPECT_TRUE(readInt("(R (A 5", "A", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(readInt("(R (A 55", "A", v));
    EXPECT_EQ(v, 5);
    // Only parentheses, only a root, and deep nesting.
    EXPECT_FALSE(readInt("((((((((", "A", v));
    EXPECT_FALSE(readInt("))))))))", "A", v));
    EXPECT_FALSE(readInt("(R", "A", v));
    EXPECT_FALSE(readInt("(", "A", v));
    EXPECT_FALSE(readInt("R", "A", v));
    std::string deep = "(R (A";
    for (int k = 0; k < 2000; ++k)
        deep += " (x";
    EXPECT_TRUE(readInt(deep, "A", v));
    EXPECT_EQ(v, 0);

    // Embedded NULs cut the text.
    std::string withNul("(R (A 1))\0(B 2)", 15);
    EXPECT_FALSE(readInt(withNul, "B", v));

    // Very long names, found and not found.
    std::string longName(20000, 'n');
    std::string text = "(R (" + longName + " 9))";
    ParamParser parser(text.c_str());
    std::stringstream m;
    EXPECT_TRUE(parser.Get_iValue("R", longName.c_str(), v, m));
    EXPECT_EQ(v, 9);
    EXPECT_FALSE(parser.Get_iValue("R", (longName + "n").c_str(), v, m));
    EXPECT_FALSE(parser.Get_iValue("R", longName.substr(1).c_str(), v, m));
}

TEST(ParamParserFaults, NullQueriesNamesAndOutputs)
{
    ParamParser parser(kTree);
    int v = 5;
    double d = 5.0;
    std::stringstream out, msg;
    EXPECT_FALSE(parser.GetValueI(v, nullptr));
    EXPECT_EQ(v, -1);
    EXPECT_FALSE(parser.GetValueD(d, nullptr));
    EXPECT_EQ(d, -1.0);
    EXPECT_FALSE(parser.GetValueSS(out, nullptr));
    EXPECT_FALSE(parser.getPartName(nullptr));
    // A null branch or leaf reads as an empty name.
    v = 4;
    EXPECT_FALSE(parser.Get_iValue(nullptr, nullptr, v, msg));
    EXPECT_EQ(msg.str(), m1("", "", "4"));
    // A null output pointer for Get_cValue: the lookup still runs.
    ParamParser strings("(R (S \"x\"))");
    EXPECT_TRUE(strings.Get_cValue("R", "S", nullptr, msg));
}
