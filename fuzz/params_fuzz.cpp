// Runs every ParamParser lookup on arbitrary parameter texts.
//
// Input layout: the parameter text, optionally followed by a NUL and a list
// of raw queries separated by line feeds. The parser sees only the part
// before the first NUL (as a C string would); names for the typed getters
// are also taken from the text itself (the words after each '('), so the
// lookups reach the found-leaf paths and their NUL writes.

#include "params/ParamParser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace Veltramodels20200612;

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::vector<std::string> namesAfterParentheses(const std::string& text, size_t maxNames)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < text.size() && names.size() < maxNames; ++i) {
        if (text[i] != '(')
            continue;
        size_t k = i + 1;
        while (k < text.size() && text[k] == ' ')
            ++k;
        size_t e = k;
        while (e < text.size() && e - k < 64 && text[e] != ' ' && text[e] != '(' && text[e] != ')' &&
               text[e] != '\t' && text[e] != '\n' && text[e] != '"')
            ++e;
        names.push_back(text.substr(k, e - k));
    }
    return names;
}

std::vector<std::string> splitLines(const std::string& text, size_t maxLines)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size() && lines.size() < maxLines) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void runTypedGetters(ParamParser& parser, const char* branch, const std::vector<std::string>& leaves)
{
    for (const std::string& leaf : leaves) {
        std::stringstream msg;
        int i = 12345;
        size_t before = msg.str().size();
        if (!parser.Get_iValue(branch, leaf.c_str(), i, msg)) {
            check(i == 12345);
            check(msg.str().size() > before);
        }
        double d = 0.5;
        before = msg.str().size();
        if (!parser.Get_dValue(branch, leaf.c_str(), d, msg)) {
            check(d == 0.5);
            check(msg.str().size() > before);
        }
        std::stringstream out;
        out << "previous";
        before = msg.str().size();
        if (!parser.Get_ssValue(branch, leaf.c_str(), out, msg)) {
            check(out.str().empty());
            check(msg.str().size() > before);
        }
        char* c = nullptr;
        if (parser.Get_cValue(branch, leaf.c_str(), &c, msg)) {
            check(c != nullptr);
            (void)std::strlen(c);
            delete[] c;
        } else {
            check(c == nullptr);
        }
        std::vector<double> vd{1.0, 2.0};
        if (!parser.Get_ssdValue(branch, leaf.c_str(), vd, msg))
            check(vd.size() == 2 && vd[1] == 2.0);
        std::vector<int> vi{3};
        if (!parser.Get_ssiValue(branch, leaf.c_str(), vi, msg))
            check(vi.size() == 1 && vi[0] == 3);
    }
}

void runRawQueries(ParamParser& parser, const std::vector<std::string>& queries)
{
    for (const std::string& q : queries) {
        int i = 0;
        double d = 0.0;
        std::stringstream out;
        if (!parser.GetValueI(i, q.c_str()))
            check(i == -1);
        if (!parser.GetValueD(d, q.c_str()))
            check(d == -1.0);
        parser.GetValueSS(out, q.c_str());
        if (parser.ParseValueName(q.c_str())) {
            int index = 7;
            if (parser.FindValueIndex(&index))
                check(index >= 0 && static_cast<uint64_t>(index) < parser.ParamLength);
            else
                check(index == -1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string text = input.substr(0, nul);
    const std::string tail = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    std::vector<std::string> names = namesAfterParentheses(text, 12);
    const std::string root = names.empty() ? std::string("VELMOR7700X") : names[0];
    std::vector<std::string> leaves(names.begin() + (names.empty() ? 0 : 1), names.end());
    for (const char* fixed : {"AutoInit", "PreEmphasis", "CornerCase", "OutputGain", "", "x.y", "."})
        leaves.emplace_back(fixed);
    std::vector<std::string> rawQueries = splitLines(tail, 16);

    // The model's own use: root branch first, then every leaf.
    {
        ParamParser parser(text.c_str());
        runTypedGetters(parser, root.c_str(), leaves);
        runTypedGetters(parser, root.c_str(), leaves);  // again, over the NULs written
        runRawQueries(parser, rawQueries);
    }
    // A wrong branch first: the later lookups go by the stored part length.
    {
        ParamParser parser(input.data());
        runTypedGetters(parser, "OTHER", leaves);
        runTypedGetters(parser, nullptr, leaves);
    }
    // Raw queries first, so that they decide the part name; then queries
    // built from the names with sub-branches.
    {
        ParamParser parser(text.c_str());
        runRawQueries(parser, rawQueries);
        std::vector<std::string> built;
        for (size_t a = 0; a < names.size(); ++a)
            for (size_t b = 0; b < names.size() && built.size() < 24; ++b)
                built.push_back(root + "." + names[a] + "." + names[b]);
        runRawQueries(parser, built);
        for (int level = -1; level <= 4; ++level) {
            for (const std::string& name : names) {
                int position = 0;
                while (parser.FindParamName(&position, level, static_cast<int>(name.size()), name.c_str()))
                    check(position >= 0 && static_cast<uint64_t>(position) < parser.ParamLength);
                position = -5;
                parser.FindParamName(&position, level, static_cast<int>(name.size()) + 3, name.c_str());
            }
        }
        for (const std::string& q : rawQueries)
            parser.getPartName(q.c_str());
    }
    return 0;
}
