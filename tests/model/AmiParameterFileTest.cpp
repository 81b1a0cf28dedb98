// The .ami parameter file shipped with the model agrees with what AMI_Init
// reads: names, types, allowed values and defaults, and the parameter string
// a simulator builds from its defaults runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "model/TxStepResponseList.h"
#include "tests/model/AmiTestHost.h"

using namespace amitest;

namespace {

// An s-expression node of the .ami file: an atom, or a list whose first
// element is normally the name.
struct Node {
    std::string atom;  // set for atoms (quoted strings keep no quotes)
    bool quoted = false;
    std::vector<Node> children;  // set for lists
    bool isList = false;

    std::string name() const { return isList && !children.empty() ? children[0].atom : std::string(); }
    const Node* child(const std::string& n) const
    {
        for (const Node& c : children)
            if (c.isList && c.name() == n)
                return &c;
        return nullptr;
    }
    // The atoms after the name, e.g. (Range 0 0 15) -> {"0","0","15"}.
    std::vector<std::string> values() const
    {
        std::vector<std::string> v;
        for (size_t i = 1; i < children.size(); ++i)
            if (!children[i].isList)
                v.push_back(children[i].atom);
        return v;
    }
};

class AmiReader {
public:
    explicit AmiReader(const std::string& text)
        : s(text)
    {
    }

    bool parse(Node& root, std::string& error)
    {
        skip();
        if (!list(root, error))
            return false;
        skip();
        if (pos != s.size()) {
            error = "text after the root list";
            return false;
        }
        return true;
    }

private:
    const std::string& s;
    size_t pos = 0;

    void skip()
    {
        for (;;) {
            while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos])))
                ++pos;
            if (pos < s.size() && s[pos] == '|') {  // comment to end of line
                while (pos < s.size() && s[pos] != '\n')
                    ++pos;
                continue;
            }
            return;
        }
    }

    bool list(Node& n, std::string& error)
    {
        if (pos >= s.size() || s[pos] != '(') {
            error = "'(' expected at " + std::to_string(pos);
            return false;
        }
        ++pos;
        n.isList = true;
        for (;;) {
            skip();
            if (pos >= s.size()) {
                error = "unbalanced parentheses";
                return false;
            }
            if (s[pos] == ')') {
                ++pos;
                return true;
            }
            Node c;
            if (s[pos] == '(') {
                if (!list(c, error))
                    return false;
            } else if (s[pos] == '"') {
                const size_t end = s.find('"', pos + 1);
                if (end == std::string::npos) {
                    error = "unterminated string";
                    return false;
                }
                c.atom = s.substr(pos + 1, end - pos - 1);
                c.quoted = true;
                pos = end + 1;
            } else {
                const size_t start = pos;
                while (pos < s.size() && !std::isspace(static_cast<unsigned char>(s[pos])) && s[pos] != '(' &&
                       s[pos] != ')')
                    ++pos;
                c.atom = s.substr(start, pos - start);
            }
            n.children.push_back(c);
        }
    }
};

Node readAmiFile()
{
    std::ifstream f(std::string(VM_SOURCE_DIR) + "/VELMOR7700X.ami");
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string text = ss.str();
    Node root;
    std::string error;
    AmiReader reader(text);
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(reader.parse(root, error)) << error;
    return root;
}

// The parameter string a simulator builds: the root name and every Usage In
// parameter of Model_Specific with its value, unquoted for numbers.
std::string parameterString(const Node& root, const std::map<std::string, std::string>& overrides = {})
{
    std::string s = "(" + root.name();
    const Node* ms = root.child("Model_Specific");
    for (size_t i = 1; ms && i < ms->children.size(); ++i) {
        const Node& p = ms->children[i];
        const Node* def = p.child("Default");
        std::string value = def ? def->values().at(0) : "";
        auto o = overrides.find(p.name());
        if (o != overrides.end())
            value = o->second;
        s += " (" + p.name() + " " + value + ")";
    }
    return s + ")";
}

}  // namespace

TEST(AmiParameterFile, ReservedParametersOfAnInitOnlyTransmitter)
{
    const Node root = readAmiFile();
    EXPECT_EQ(root.name(), "VELMOR7700X");
    const Node* rp = root.child("Reserved_Parameters");
    ASSERT_NE(rp, nullptr);
    struct {
        const char* name;
        const char* type;
        const char* value;
    } expected[] = {{"AMI_Version", "String", nullptr},
                    {"Init_Returns_Impulse", "Boolean", "True"},
                    {"GetWave_Exists", "Boolean", "False"}};
    for (const auto& e : expected) {
        const Node* p = rp->child(e.name);
        ASSERT_NE(p, nullptr) << e.name;
        ASSERT_NE(p->child("Usage"), nullptr);
        EXPECT_EQ(p->child("Usage")->values().at(0), "Info") << e.name;
        EXPECT_EQ(p->child("Type")->values().at(0), e.type) << e.name;
        ASSERT_NE(p->child("Value"), nullptr) << e.name;
        if (e.value) {
            EXPECT_EQ(p->child("Value")->values().at(0), e.value) << e.name;
        }
    }
    EXPECT_TRUE(rp->child("AMI_Version")->child("Value")->children.at(1).quoted);
}

TEST(AmiParameterFile, ModelSpecificParametersMatchWhatAmiInitReads)
{
    const Node root = readAmiFile();
    const Node* ms = root.child("Model_Specific");
    ASSERT_NE(ms, nullptr);
    std::vector<std::string> names;
    for (size_t i = 1; i < ms->children.size(); ++i)
        names.push_back(ms->children[i].name());
    EXPECT_EQ(names, (std::vector<std::string>{"AutoInit", "PreEmphasis", "CornerCase", "OutputGain"}));
    for (size_t i = 1; i < ms->children.size(); ++i) {
        const Node& p = ms->children[i];
        SCOPED_TRACE(p.name());
        ASSERT_NE(p.child("Usage"), nullptr);
        EXPECT_EQ(p.child("Usage")->values().at(0), "In");
        ASSERT_NE(p.child("Default"), nullptr);
        ASSERT_NE(p.child("Description"), nullptr);
        EXPECT_TRUE(p.child("Description")->children.at(1).quoted);
    }
    const Node* autoInit = ms->child("AutoInit");
    EXPECT_EQ(autoInit->child("Type")->values().at(0), "Integer");
    EXPECT_EQ(autoInit->child("List")->values(), (std::vector<std::string>{"1", "0"}));
    ASSERT_NE(autoInit->child("List_Tip"), nullptr);  // makes hosts send plain numbers
    EXPECT_EQ(autoInit->child("List_Tip")->values(), (std::vector<std::string>{"On", "Off"}));

    const Node* pre = ms->child("PreEmphasis");
    EXPECT_EQ(pre->child("Type")->values().at(0), "Integer");
    const std::vector<std::string> range = pre->child("Range")->values();
    ASSERT_EQ(range.size(), 3u);
    EXPECT_EQ(range[1], "0");
    EXPECT_EQ(range[2], "15");

    const Node* corner = ms->child("CornerCase");
    EXPECT_EQ(corner->child("Type")->values().at(0), "Integer");
    EXPECT_EQ(corner->child("List")->values(), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
    const std::vector<std::string> tips = corner->child("List_Tip")->values();
    ASSERT_EQ(tips.size(), 5u);
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(tips[c], Veltramodels20200612::TxStepResponseList::CornerName(c));

    const Node* gain = ms->child("OutputGain");
    EXPECT_EQ(gain->child("Type")->values().at(0), "Float");
    const std::vector<std::string> grange = gain->child("Range")->values();
    ASSERT_EQ(grange.size(), 3u);
    EXPECT_GT(std::stod(grange[1]), 0.0);  // zero is refused by the model
    EXPECT_LE(std::stod(grange[1]), std::stod(grange[0]));
    EXPECT_LE(std::stod(grange[0]), std::stod(grange[2]));

    // Every default lies in its parameter's allowed set.
    EXPECT_EQ(autoInit->child("Default")->values().at(0), "1");
    const int preDefault = std::stoi(pre->child("Default")->values().at(0));
    EXPECT_GE(preDefault, 0);
    EXPECT_LE(preDefault, 15);
    EXPECT_EQ(corner->child("Default")->values().at(0), "0");
    EXPECT_EQ(std::stod(gain->child("Default")->values().at(0)), 1.0);
}

TEST(AmiParameterFile, HostsThatIgnoreDefaultStillSendTheDefaults)
{
    // Several hosts take the first entry of a List, or the typ of a Range, as
    // the value and never read (Default ...). The file is written so that
    // those hosts send the same text as the ones that do read it.
    const Node root = readAmiFile();
    const Node* ms = root.child("Model_Specific");
    ASSERT_NE(ms, nullptr);
    size_t checked = 0;
    for (size_t i = 1; i < ms->children.size(); ++i) {
        const Node& p = ms->children[i];
        SCOPED_TRACE(p.name());
        ASSERT_NE(p.child("Default"), nullptr);
        const std::string def = p.child("Default")->values().at(0);
        const Node* list = p.child("List");
        const Node* range = p.child("Range");
        ASSERT_TRUE(list != nullptr || range != nullptr);
        if (list != nullptr) {
            ASSERT_FALSE(list->values().empty());
            EXPECT_EQ(list->values()[0], def);
            const Node* tips = p.child("List_Tip");
            if (tips != nullptr) {
                EXPECT_EQ(tips->values().size(), list->values().size());
            }
            ++checked;
        }
        if (range != nullptr) {
            ASSERT_EQ(range->values().size(), 3u);
            EXPECT_EQ(range->values()[0], def);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 4u);
    // The string such a host builds from the first entries runs the model
    // exactly as the defaults do: with AutoInit on.
    std::map<std::string, std::string> firstEntries;
    for (size_t i = 1; i < ms->children.size(); ++i) {
        const Node& p = ms->children[i];
        const Node* f = p.child("List") ? p.child("List") : p.child("Range");
        firstEntries[p.name()] = f->values().at(0);
    }
    EXPECT_EQ(parameterString(root, firstEntries), parameterString(root));
    EXPECT_EQ(firstEntries["AutoInit"], "1");
}

TEST(AmiParameterFile, DefaultsAndEveryAllowedValueRun)
{
    ASSERT_EQ(library().error, "");
    const Node root = readAmiFile();
    const long rows = 1024;
    const std::vector<double> ch = lossyChannel(rows, 0.8);

    const std::string defaults = parameterString(root);
    Result r = call(defaults, ch, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 1) << defaults << "\n" << r.msg;
    EXPECT_NE(r.msg.find("Optimization of PreEmphasis over count = 16 states"), std::string::npos) << r.msg;

    for (const char* v : {"0", "1"}) {
        r = call(parameterString(root, {{"AutoInit", v}}), ch, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 1) << "AutoInit " << v << ": " << r.msg;
    }
    for (int p = 0; p <= 15; ++p) {
        r = call(parameterString(root, {{"AutoInit", "0"}, {"PreEmphasis", std::to_string(p)}}), ch, rows, 0,
                 kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 1) << "PreEmphasis " << p << ": " << r.msg;
    }
    for (int c = 0; c <= 4; ++c) {
        r = call(parameterString(root, {{"CornerCase", std::to_string(c)}}), ch, rows, 0, kSampleInterval,
                 kBitTime);
        EXPECT_EQ(r.ret, 1) << "CornerCase " << c << ": " << r.msg;
    }
    const std::vector<std::string> grange =
        root.child("Model_Specific")->child("OutputGain")->child("Range")->values();
    for (const std::string& g : grange) {
        r = call(parameterString(root, {{"OutputGain", g}}), ch, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 1) << "OutputGain " << g << ": " << r.msg;
    }

    // Just outside the declared sets the model refuses the value.
    r = call(parameterString(root, {{"AutoInit", "2"}}), ch, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    r = call(parameterString(root, {{"AutoInit", "0"}, {"PreEmphasis", "16"}}), ch, rows, 0, kSampleInterval,
             kBitTime);
    EXPECT_EQ(r.ret, 0);
    r = call(parameterString(root, {{"CornerCase", "5"}}), ch, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
}

TEST(AmiParameterFile, IbisFileNamesTheLibrariesAndTheAmiFile)
{
    std::ifstream f(std::string(VM_SOURCE_DIR) + "/VELMOR7700X.ibs");
    ASSERT_TRUE(f.good());
    std::string line;
    bool inAlgo = false, ended = false, linux64 = false, windows64 = false;
    std::vector<std::string> keywords;
    while (std::getline(f, line)) {
        if (!line.empty() && line[0] == '[')
            keywords.push_back(line.substr(0, line.find(']') + 1));
        if (line.rfind("[Algorithmic Model]", 0) == 0)
            inAlgo = true;
        else if (line.rfind("[End Algorithmic Model]", 0) == 0) {
            ended = inAlgo;
            inAlgo = false;
        } else if (inAlgo && line.rfind("Executable", 0) == 0) {
            std::istringstream ls(line);
            std::string kw, platform, lib, ami;
            ls >> kw >> platform >> lib >> ami;
            EXPECT_EQ(ami, "VELMOR7700X.ami");
            if (platform.rfind("Linux", 0) == 0 && platform.size() > 3 &&
                platform.substr(platform.size() - 3) == "_64") {
                EXPECT_EQ(lib, "VELMOR7700X_x64.so");
                linux64 = true;
            }
            if (platform == "Windows_VisualStudio_64") {
                EXPECT_EQ(lib, "VELMOR7700X_x64.dll");
                windows64 = true;
            }
        }
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(linux64);
    EXPECT_TRUE(windows64);
    for (const char* k : {"[IBIS Ver]", "[File Name]", "[File Rev]", "[Component]", "[Manufacturer]",
                          "[Package]", "[Pin]", "[Model]", "[End]"})
        EXPECT_NE(std::find(keywords.begin(), keywords.end(), k), keywords.end()) << k;
}
