#include "io/TextFileReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace Veltramodels20200612;

namespace {

// A line in an exactly sized heap buffer (length + 1 for the NUL), so that
// AddressSanitizer sees any access outside it.
struct Line {
    explicit Line(const std::string& text)
        : length(static_cast<int>(text.size())),
          buf(new char[text.size() + 1])
    {
        std::memcpy(buf, text.data(), text.size());
        buf[text.size()] = '\0';
    }
    ~Line() { delete[] buf; }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    int length;
    char* buf;
};

TextFileReader makeReader(const char* delimiters, const char* comments)
{
    TextFileReader reader;
    reader.setParameters(0, delimiters, comments);
    return reader;
}

std::string tempPath(const char* name)
{
    return testing::TempDir() + name;
}

}  // namespace

TEST(TextFileReaderSetup, DefaultsAndSetParameters)
{
    TextFileReader reader;
    EXPECT_TRUE(reader.isaDelimiter(','));
    EXPECT_FALSE(reader.isaDelimiter(' '));
    EXPECT_FALSE(reader.isaComment('!'));
    EXPECT_FALSE(reader.isaComment('\0'));

    reader.setParameters(3, " \t", "!#");
    EXPECT_EQ(reader.HeaderLines, 3);
    EXPECT_TRUE(reader.isaDelimiter(' '));
    EXPECT_TRUE(reader.isaDelimiter('\t'));
    EXPECT_FALSE(reader.isaDelimiter(','));
    EXPECT_TRUE(reader.isaComment('#'));
    EXPECT_TRUE(reader.isaComment('!'));
    EXPECT_FALSE(reader.isaDelimiter('\0'));

    reader.LineCount = 7;
    reader.setParameters(0, nullptr, nullptr);
    EXPECT_EQ(reader.LineCount, 0);
    EXPECT_EQ(reader.NumDelimiters, 1);
    EXPECT_TRUE(reader.isaDelimiter(','));
    EXPECT_EQ(reader.NumCommentChars, 0);
    EXPECT_FALSE(reader.isaComment('!'));

    reader.setParameters(0, "", "");
    EXPECT_TRUE(reader.isaDelimiter(','));
    EXPECT_EQ(reader.NumCommentChars, 0);
}

TEST(TextFileReaderSetup, CopiesOwnTheirCharacterSets)
{
    TextFileReader a = makeReader(";", "%");
    TextFileReader b(a);
    TextFileReader c;
    c = a;
    a.setParameters(0, "|", "#");
    EXPECT_TRUE(b.isaDelimiter(';'));
    EXPECT_TRUE(b.isaComment('%'));
    EXPECT_TRUE(c.isaDelimiter(';'));
    EXPECT_FALSE(c.isaDelimiter('|'));
}

TEST(TextFileReaderSetup, LogGetsClassLine)
{
    const std::string path = tempPath("textreader_log.txt");
    {
        std::ofstream log(path);
        TextFileReader reader(&log);
        EXPECT_EQ(reader.UseFile, &log);
        std::ifstream in(path);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content, "Veltramodels20200612::TextFileReader\n");
    }
    std::ofstream closed;
    TextFileReader quiet(&closed);  // a log that is not open is left alone
    EXPECT_FALSE(closed.is_open());
    std::remove(path.c_str());
}

TEST(TextFileReaderFile, GetlineSkipsHeaderEmptyAndCommentLines)
{
    const std::string path = tempPath("textreader_lines.txt");
    {
        std::ofstream out(path);
        out << "header line\n1.5, 2 ! note\n , ,\t\n   ! comment\n\nabc,!x\n";
    }
    std::fstream file(path, std::ios::in);
    TextFileReader reader;
    reader.setParameters(1, " ,\t", "!");
    std::string line;
    EXPECT_EQ(reader.file_getline(file, line), 7);
    EXPECT_EQ(line, "1.5, 2 ");
    EXPECT_EQ(reader.LineCount, 2);
    EXPECT_EQ(reader.file_getline(file, line), 0);  // delimiters only
    EXPECT_EQ(reader.file_getline(file, line), 0);  // comment line
    EXPECT_EQ(reader.file_getline(file, line), 0);  // empty line
    EXPECT_EQ(reader.LineCount, 5);
    EXPECT_EQ(reader.file_getline(file, line), 4);
    EXPECT_EQ(line, "abc,");
    EXPECT_EQ(reader.file_getline(file, line), 0);  // end of file
    EXPECT_EQ(reader.LineCount, 6);
    std::remove(path.c_str());
}

TEST(TextFileReaderFields, TwoDoublesFromCommentedLine)
{
    TextFileReader reader = makeReader(" ,\t", "!");
    Line line("1.5, 2 ");
    int start = 0, end = 0;
    datatype_t slots[2];
    ASSERT_TRUE(reader.get_linedata(line.buf, &start, &end, line.length, "dd", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 1.5);
    EXPECT_DOUBLE_EQ(slots[1].d, 2.0);
    EXPECT_EQ(end, 5);    // trailing blank dropped
    EXPECT_EQ(start, 7);  // after the last field: end + 2

    // Indented by two blanks: the first field is the empty one before the
    // first blank.
    Line indented("  1.5, 2 ");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(indented.buf, &start, &end, indented.length, "dd", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 0.0);
    EXPECT_DOUBLE_EQ(slots[1].d, 1.5);
}

TEST(TextFileReaderFields, CommaListsWithEmptyAndMissingFields)
{
    TextFileReader reader = makeReader(",", "");
    datatype_t slots[3];
    int start = 0, end = 0;
    Line missing("1,2,");
    EXPECT_FALSE(reader.get_linedata(missing.buf, &start, &end, missing.length, "ddd", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 1.0);
    EXPECT_DOUBLE_EQ(slots[1].d, 2.0);  // "2," reaches the last character, read as 2

    Line gap("1,,3");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(gap.buf, &start, &end, gap.length, "ddd", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 1.0);
    EXPECT_DOUBLE_EQ(slots[1].d, 0.0);
    EXPECT_DOUBLE_EQ(slots[2].d, 3.0);

    // Blanks after the last comma leave an empty, readable field.
    Line blanks("1,  ");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(blanks.buf, &start, &end, blanks.length, "dd", slots));
    EXPECT_DOUBLE_EQ(slots[1].d, 0.0);
}

TEST(TextFileReaderFields, StringFields)
{
    TextFileReader reader = makeReader(" ,\t", "!");
    datatype_t slots[3];
    int start = 0, end = 0;
    Line bracket("[1, 2] x");
    ASSERT_TRUE(reader.get_linedata(bracket.buf, &start, &end, bracket.length, "ss", slots));
    EXPECT_STREQ(slots[0].s, "[1, 2]");
    EXPECT_STREQ(slots[1].s, "x");

    Line quoted("\"a b\",c d");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(quoted.buf, &start, &end, quoted.length, "sss", slots));
    EXPECT_STREQ(slots[0].s, "\"a b\"");
    EXPECT_STREQ(slots[1].s, "c");
    EXPECT_STREQ(slots[2].s, "d");

    // An unclosed bracket takes the rest of the line, trailing blanks dropped.
    Line open("[1, 2  \t");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(open.buf, &start, &end, open.length, "s", slots));
    EXPECT_STREQ(slots[0].s, "[1, 2");
    EXPECT_EQ(end, 4);

    // A plain string field's first character is not tested as a delimiter.
    Line lead(",ab,c");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(lead.buf, &start, &end, lead.length, "ss", slots));
    EXPECT_STREQ(slots[0].s, ",ab");
    EXPECT_STREQ(slots[1].s, "c");
}

TEST(TextFileReaderFields, IntegerCharAndBadType)
{
    TextFileReader reader = makeReader(",", "");
    datatype_t slots[4];
    int start = 0, end = 0;
    Line ints("4294967297,-3,7.9,x");
    ASSERT_TRUE(reader.get_linedata(ints.buf, &start, &end, ints.length, "iiic", slots));
    EXPECT_EQ(slots[0].i, 1);  // low 32 bits
    EXPECT_EQ(slots[1].i, -3);
    EXPECT_EQ(slots[2].i, 7);
    EXPECT_EQ(slots[3].c, 'x');

    Line bad("1,2");
    start = 0;
    EXPECT_FALSE(reader.get_linedata(bad.buf, &start, &end, bad.length, "dq", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 1.0);
}

TEST(TextFileReaderFields, CommentsStopFields)
{
    TextFileReader reader = makeReader(",", "!");
    datatype_t slots[2];
    int start = 0, end = 0;
    Line first("!1,2");
    EXPECT_FALSE(reader.get_linedata(first.buf, &start, &end, first.length, "d", slots));

    Line later("1, !2");
    start = 0;
    EXPECT_FALSE(reader.get_linedata(later.buf, &start, &end, later.length, "dd", slots));
    EXPECT_DOUBLE_EQ(slots[0].d, 1.0);

    // advance_firstChar alone: the comment moves the start past the line.
    Line adv("1, !2");
    start = 0;
    end = 0;
    EXPECT_FALSE(reader.advance_firstChar(adv.buf, &start, &end, adv.length));
    EXPECT_EQ(start, adv.length + 1);
}

TEST(TextFileReaderFields, LastFieldAndOutOfRangeStarts)
{
    TextFileReader reader = makeReader(",", "");
    datatype_t slot;
    int end = 0;
    Line line("12,3 \t");
    int start = 3;  // start at the last field: blanks and tabs dropped
    ASSERT_TRUE(reader.get_data(line.buf, &start, &end, line.length, 's', &slot));
    EXPECT_STREQ(slot.s, "3");
    EXPECT_EQ(end, 3);

    Line single("7");
    start = 0;
    ASSERT_TRUE(reader.get_data(single.buf, &start, &end, single.length, 'i', &slot));
    EXPECT_EQ(slot.i, 7);
    EXPECT_EQ(start, 2);

    // A start on the terminating NUL reads an empty field; beyond it or
    // before the line nothing is read.
    start = single.length;
    ASSERT_TRUE(reader.get_data(single.buf, &start, &end, single.length, 'd', &slot));
    EXPECT_DOUBLE_EQ(slot.d, 0.0);
    start = single.length + 1;
    EXPECT_FALSE(reader.get_data(single.buf, &start, &end, single.length, 'd', &slot));
    start = -1;
    EXPECT_FALSE(reader.get_data(single.buf, &start, &end, single.length, 'd', &slot));

    Line empty("");
    start = 0;
    ASSERT_TRUE(reader.get_linedata(empty.buf, &start, &end, 0, "d", &slot));
    EXPECT_DOUBLE_EQ(slot.d, 0.0);
    EXPECT_FALSE(reader.get_linedata(empty.buf, &start, &end, 0, "d", &slot));
}

TEST(TextFileReaderLines, DataLineTests)
{
    TextFileReader reader = makeReader(" ,\t", "!");
    int pos = -1;
    Line a(" ,\t-1.0");
    EXPECT_TRUE(reader.actualdataline(a.buf, a.length, &pos));
    EXPECT_EQ(pos, 3);
    Line b("  \"x\"");
    EXPECT_TRUE(reader.actualdataline(b.buf, b.length, &pos));
    Line c("  abc");
    EXPECT_FALSE(reader.actualdataline(c.buf, c.length, &pos));
    EXPECT_EQ(pos, 2);
    Line d(" !1");
    EXPECT_FALSE(reader.actualdataline(d.buf, d.length, &pos));
    Line e(", ,");
    EXPECT_FALSE(reader.actualdataline(e.buf, e.length, &pos));
    EXPECT_EQ(pos, 3);
    Line f("1.5, 2 ");
    EXPECT_TRUE(reader.actualdataline(f.buf, f.length, &pos));
    EXPECT_EQ(pos, 0);

    for (const char* yes : {" _a", "\t.5", "Zed", "[1]", "\"q\"", "9"}) {
        Line l(yes);
        EXPECT_TRUE(reader.actualdatalinestr(l.buf, l.length, &pos)) << yes;
    }
    for (const char* no : {" -1", "+1", "#x", " !abc", " , ", "", "\xe9t"}) {
        Line l(no);
        EXPECT_FALSE(reader.actualdatalinestr(l.buf, l.length, &pos)) << no;
    }
    Line g(" \t!x");
    EXPECT_FALSE(reader.skip_leadingDelimiters(g.buf, g.length, &pos));
    EXPECT_EQ(pos, 2);
    Line h(" x");
    EXPECT_TRUE(reader.skip_leadingDelimiters(h.buf, h.length, &pos));
    EXPECT_EQ(pos, 1);
}

TEST(TextFileReaderLines, IndexLine)
{
    TextFileReader reader = makeReader(" ,\t", "!");
    double value = -7.0;
    Line a("rate= 2.5e9, next");
    EXPECT_TRUE(reader.indexLine(a.buf, a.length, "rate=", &value));
    EXPECT_DOUBLE_EQ(value, 2.5e9);

    // The first occurrence that has a character after it counts.
    Line b("x1 x2");
    EXPECT_TRUE(reader.indexLine(b.buf, b.length, "x", &value));
    EXPECT_DOUBLE_EQ(value, 1.0);

    value = -7.0;
    Line c("abc");
    EXPECT_FALSE(reader.indexLine(c.buf, c.length, "abc", &value));  // nothing after the key
    EXPECT_FALSE(reader.indexLine(c.buf, c.length, "zz", &value));
    Line d("key !3");
    EXPECT_FALSE(reader.indexLine(d.buf, d.length, "key", &value));  // a comment is not a value
    EXPECT_DOUBLE_EQ(value, -7.0);
}

TEST(TextFileReaderLists, RealAndIntegerLists)
{
    TextFileReader reader = makeReader(",", "!");
    std::stringstream msg;
    std::vector<double> d{9.0};
    EXPECT_TRUE(reader.getLineValues("1,,3", d, "taps", msg));
    EXPECT_EQ(d, (std::vector<double>{1.0, 0.0, 3.0}));
    EXPECT_TRUE(reader.getLineValues(" 1, 2", d, "taps", msg));
    EXPECT_EQ(d, (std::vector<double>{1.0, 2.0}));
    EXPECT_TRUE(reader.getLineValues("5", d, "taps", msg));
    EXPECT_EQ(d, (std::vector<double>{5.0}));
    EXPECT_EQ(msg.str(), "");

    EXPECT_FALSE(reader.getLineValues("1,2,", d, "taps", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to get valid data for taps[].\n");
    EXPECT_EQ(d, (std::vector<double>{5.0}));
    msg.str("");
    EXPECT_FALSE(reader.getLineValues("1, !2", d, "taps", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to get valid data for taps[].\n");

    EXPECT_TRUE(reader.getLineValues("", d, "taps", msg));
    EXPECT_TRUE(d.empty());
    d = {1.0};
    EXPECT_TRUE(reader.getLineValues(nullptr, d, "taps", msg));
    EXPECT_TRUE(d.empty());

    std::vector<int> i{4};
    msg.str("");
    EXPECT_TRUE(reader.getLineValues("4294967297, -2,7.9", i, "states", msg));
    EXPECT_EQ(i, (std::vector<int>{1, -2, 7}));
    EXPECT_FALSE(reader.getLineValues("7,8,", i, "states", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to get valid data for states[].\n");
    EXPECT_EQ(i, (std::vector<int>{1, -2, 7}));
    // A lone comma is the line's last character: the first field takes it
    // in, and the second would start beyond the line.
    msg.str("");
    EXPECT_FALSE(reader.getLineValues(",", i, "states", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to get valid data for states[].\n");
    // ",5": the first field is empty, the second reads 5.
    EXPECT_TRUE(reader.getLineValues(",5", i, "states", msg));
    EXPECT_EQ(i, (std::vector<int>{0, 5}));

    // With blank delimiters "1 ,2" splits before the blank: 1 then 0.
    TextFileReader blanks = makeReader(" ,\t", "!");
    EXPECT_TRUE(blanks.getLineValues("1 ,2", d, "poles", msg));
    EXPECT_EQ(d, (std::vector<double>{1.0, 0.0}));
    EXPECT_TRUE(blanks.getLineValues("1 2 3", d, "poles", msg));
    EXPECT_EQ(d, (std::vector<double>{1.0}));
}

TEST(TextFileReaderLists, ComplexLists)
{
    TextFileReader reader;
    std::stringstream msg;
    std::vector<std::complex<double>> c;
    ASSERT_TRUE(reader.getLineValues("1e9+2e9j", c, "cpoles", msg));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_DOUBLE_EQ(c[0].real(), 1e9);
    EXPECT_DOUBLE_EQ(c[0].imag(), 2e9);

    ASSERT_TRUE(reader.getLineValues("-1-2j,  3+4i ,5.5-0.5j", c, "cpoles", msg));
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0], std::complex<double>(-1.0, -2.0));
    EXPECT_EQ(c[1], std::complex<double>(3.0, 4.0));
    EXPECT_EQ(c[2], std::complex<double>(5.5, -0.5));

    // A signed exponent in the real part is where the split happens.
    ASSERT_TRUE(reader.getLineValues("1e-9+2j", c, "cpoles", msg));
    EXPECT_EQ(c[0], std::complex<double>(1.0, -9.0));
    EXPECT_EQ(msg.str(), "");

    EXPECT_TRUE(reader.getLineValues("   ", c, "cpoles", msg));
    EXPECT_TRUE(c.empty());
    c.assign(2, std::complex<double>(1, 1));
    EXPECT_TRUE(reader.getLineValues("", c, "cpoles", msg));
    EXPECT_TRUE(c.empty());

    EXPECT_FALSE(reader.getLineValues("5", c, "czeros", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to find 'j' in the complex number for czeros[].\n");
    msg.str("");
    EXPECT_FALSE(reader.getLineValues("j", c, "czeros", msg));
    EXPECT_EQ(msg.str(),
              "ERROR:  Failed to find real and imaginary parts of the complex number for czeros[].\n");
    msg.str("");
    EXPECT_FALSE(reader.getLineValues("2j", c, "czeros", msg));
    EXPECT_EQ(msg.str(),
              "ERROR:  Failed to find real and imaginary parts of the complex number for czeros[].\n");

    // The vector is sized before the items are read.
    msg.str("");
    EXPECT_FALSE(reader.getLineValues("1+2j,", c, "czeros", msg));
    EXPECT_EQ(msg.str(), "ERROR:  Failed to find 'j' in the complex number for czeros[].\n");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], std::complex<double>(1.0, 2.0));
}

// Every short line over an alphabet of the reader's special characters,
// read with every type in exactly sized buffers: fields stay inside the
// line and string fields are NUL-terminated inside it.
TEST(TextFileReaderRobustness, ShortLinesStayInsideTheBuffer)
{
    TextFileReader reader = makeReader(" ,", "!");
    const char alphabet[] = {'1', ',', ' ', '"', '[', ']', '!', '\t', '-'};
    const int k = sizeof(alphabet);
    int checked = 0;
    for (int len = 0; len <= 4; ++len) {
        int combos = 1;
        for (int i = 0; i < len; ++i)
            combos *= k;
        for (int code = 0; code < combos; ++code) {
            std::string text;
            for (int i = 0, c = code; i < len; ++i, c /= k)
                text += alphabet[c % k];
            for (const char* types : {"sssss", "ddddd", "iiiic", "sdsd"}) {
                Line line(text);
                datatype_t slots[5];
                int start = 0, end = 0;
                bool ok = reader.get_linedata(line.buf, &start, &end, line.length, types, slots);
                EXPECT_GE(end, -1);
                EXPECT_LE(end, line.length - 1 < 0 ? 0 : line.length - 1);
                if (ok && types[0] == 's') {
                    EXPECT_GE(slots[0].s, line.buf);
                    EXPECT_LE(slots[0].s + std::strlen(slots[0].s), line.buf + line.length);
                }
                ++checked;
            }
            Line l2(text);
            int pos = 0;
            reader.actualdataline(l2.buf, l2.length, &pos);
            EXPECT_LE(pos, l2.length);
            reader.actualdatalinestr(l2.buf, l2.length, &pos);
            EXPECT_LE(pos, l2.length);
        }
    }
    EXPECT_EQ(checked, 4 * (1 + 9 + 81 + 729 + 6561));
}
