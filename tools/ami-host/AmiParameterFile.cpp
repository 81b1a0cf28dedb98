#include "tools/ami-host/AmiParameterFile.h"

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/ami-host/LineReader.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

namespace {

// One node of the s-expression tree: an atom (possibly a quoted string) or a
// list whose first element is normally the name.
struct Node {
    bool IsList = false;
    bool Quoted = false;
    std::string Atom;
    long Line = 0;
    std::vector<Node> Children;

    std::string head() const
    {
        return IsList && !Children.empty() && !Children[0].IsList ? Children[0].Atom : "";
    }
    const Node* child(const std::string& name) const
    {
        for (const Node& c : Children)
            if (c.IsList && c.head() == name)
                return &c;
        return nullptr;
    }
    // The atoms after the head.
    std::vector<std::string> values() const
    {
        std::vector<std::string> v;
        for (size_t i = 1; i < Children.size(); ++i)
            if (!Children[i].IsList)
                v.push_back(Children[i].Atom);
        return v;
    }
};

class Reader {
public:
    Reader(const std::string& text, const std::string& source)
        : s_(text),
          source_(source)
    {
    }

    bool read(Node& root, std::string& error)
    {
        skip();
        if (pos_ >= s_.size() || s_[pos_] != '(')
            return fail("the file does not start with '('", error);
        if (!list(root, 0, error))
            return false;
        skip();
        if (pos_ < s_.size())
            return fail("text after the closing parenthesis of the root", error);
        return true;
    }

private:
    const std::string& s_;
    std::string source_;
    size_t pos_ = 0;
    long line_ = 1;

    bool fail(const std::string& what, std::string& error)
    {
        error = source_ + ":" + std::to_string(line_) + ": " + what;
        return false;
    }
    void advance()
    {
        if (s_[pos_] == '\n')
            ++line_;
        ++pos_;
    }
    void skip()
    {
        while (pos_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '|') {
                while (pos_ < s_.size() && s_[pos_] != '\n')
                    ++pos_;
            } else if (std::isspace(c)) {
                advance();
            } else {
                return;
            }
        }
    }
    bool list(Node& n, int depth, std::string& error)
    {
        // A .ami tree is a few levels deep; a limit keeps hostile input from
        // exhausting the stack.
        if (depth > 200)
            return fail("parentheses nested too deeply", error);
        n.IsList = true;
        n.Line = line_;
        advance();  // '('
        while (true) {
            skip();
            if (pos_ >= s_.size())
                return fail("missing ')' (unbalanced parentheses)", error);
            const char c = s_[pos_];
            if (c == ')') {
                advance();
                return true;
            }
            Node child;
            child.Line = line_;
            if (c == '(') {
                if (!list(child, depth + 1, error))
                    return false;
            } else if (c == '"') {
                const long startLine = line_;
                advance();
                while (pos_ < s_.size() && s_[pos_] != '"') {
                    child.Atom += s_[pos_];
                    advance();
                }
                if (pos_ >= s_.size()) {
                    line_ = startLine;
                    return fail("unterminated string", error);
                }
                advance();
                child.Quoted = true;
            } else {
                while (pos_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[pos_])) &&
                       s_[pos_] != '(' && s_[pos_] != ')' && s_[pos_] != '|' && s_[pos_] != '"')
                    child.Atom += s_[pos_++];
            }
            n.Children.push_back(child);
        }
    }
};

bool isFormat(const std::string& h)
{
    return h == "Value" || h == "Range" || h == "List" || h == "Corner" || h == "Increment" || h == "Steps";
}

bool numericType(const std::string& t)
{
    return t == "Integer" || t == "Float" || t == "UI" || t == "Tap";
}

void collect(const Node& branch, std::vector<std::string>& path, std::vector<AmiParameter>& out)
{
    for (size_t i = 1; i < branch.Children.size(); ++i) {
        const Node& n = branch.Children[i];
        if (!n.IsList || n.head().empty())
            continue;
        const Node* usage = n.child("Usage");
        if (usage == nullptr) {
            // A branch groups parameters when it holds lists that are not
            // descriptions.
            bool hasLists = false;
            for (size_t k = 1; k < n.Children.size(); ++k)
                hasLists = hasLists || (n.Children[k].IsList && n.Children[k].head() != "Description");
            if (hasLists) {
                path.push_back(n.head());
                collect(n, path, out);
                path.pop_back();
            }
            continue;
        }
        AmiParameter p;
        p.Name = n.head();
        p.Branch = path;
        const std::vector<std::string> u = usage->values();
        p.Usage = u.empty() ? "" : u[0];
        if (const Node* t = n.child("Type")) {
            const std::vector<std::string> tv = t->values();
            p.Type = tv.empty() ? "" : tv[0];
        }
        for (size_t k = 1; k < n.Children.size(); ++k) {
            const Node& c = n.Children[k];
            if (!c.IsList)
                continue;
            if (isFormat(c.head())) {
                p.Format = c.head();
                p.FormatValues = c.values();
            } else if (c.head() == "Format") {
                // The older spelling (Format Range typ min max).
                std::vector<std::string> v = c.values();
                if (!v.empty()) {
                    p.Format = v[0];
                    p.FormatValues.assign(v.begin() + 1, v.end());
                }
            }
        }
        if (const Node* tips = n.child("List_Tip"))
            p.ListTips = tips->values();
        if (const Node* d = n.child("Default")) {
            const std::vector<std::string> dv = d->values();
            if (!dv.empty())
                p.Default = dv[0];
        } else if (!p.FormatValues.empty()) {
            p.Default = p.FormatValues[0];  // Value, typ of Range/Corner/Increment/Steps, first of List
        }
        p.Sent = p.Usage == "In" || p.Usage == "InOut";
        out.push_back(p);
    }
}

std::string quoteIfString(const AmiParameter& p, const std::string& v)
{
    return p.Type == "String" ? "\"" + v + "\"" : v;
}

}  // namespace

bool AmiParameterFile::Load(const std::string& path, std::string& error)
{
    // Regular files of sane size only: --ami /dev/zero must not read forever.
    LineReader in;
    in.MaxFileBytes = kMaxFileBytes;
    if (!in.Open(path, ".ami file", error))
        return false;
    std::string text, line;
    while (in.Next(line, error))
        text += line + "\n";
    if (!error.empty())
        return false;
    return Parse(text, path, error);
}

bool AmiParameterFile::Parse(const std::string& text, const std::string& sourceName, std::string& error)
{
    RootName.clear();
    Parameters.clear();
    Node root;
    Reader reader(text, sourceName);
    if (!reader.read(root, error))
        return false;
    RootName = root.head();
    if (RootName.empty()) {
        error = sourceName + ": the root list has no name";
        return false;
    }
    if (const Node* ms = root.child("Model_Specific")) {
        std::vector<std::string> path;
        collect(*ms, path, Parameters);
    }
    for (const AmiParameter& p : Parameters) {
        if (p.Sent && p.Default.empty() && p.Type != "String") {
            error = sourceName + ": parameter " + p.Name + " has no default value";
            return false;
        }
        if (p.Sent && !validValue(p, p.Default)) {
            error = sourceName + ": default '" + p.Default + "' of " + p.Name + " is not of type " + p.Type;
            return false;
        }
    }
    return true;
}

const AmiParameter* AmiParameterFile::find(const std::string& name) const
{
    for (const AmiParameter& p : Parameters) {
        std::string full;
        for (const std::string& b : p.Branch)
            full += b + ".";
        if (p.Name == name || full + p.Name == name)
            return &p;
    }
    return nullptr;
}

bool AmiParameterFile::validValue(const AmiParameter& p, const std::string& text)
{
    if (p.Type == "Integer") {
        long v;
        return NumberText::parseLong(text, v);
    }
    if (numericType(p.Type)) {
        double v;
        return NumberText::parseDouble(text, v);
    }
    if (p.Type == "Boolean")
        return text == "True" || text == "False";
    // Strings: anything that survives quoting in the parameter string.
    return text.find('"') == std::string::npos && text.find('\n') == std::string::npos;
}

bool AmiParameterFile::allowedValue(const AmiParameter& p, const std::string& text)
{
    const std::vector<std::string>& f = p.FormatValues;
    if (!numericType(p.Type)) {
        if (p.Format == "List" || p.Format == "Value" || p.Format == "Corner") {
            for (const std::string& v : f)
                if (v == text)
                    return true;
            return f.empty();
        }
        return true;
    }
    double x = 0.0;
    if (!NumberText::parseDouble(text, x))
        return false;
    if ((p.Format == "Range" || p.Format == "Increment" || p.Format == "Steps") && f.size() >= 3) {
        double lo, hi;
        if (NumberText::parseDouble(f[1], lo) && NumberText::parseDouble(f[2], hi))
            return x >= std::fmin(lo, hi) && x <= std::fmax(lo, hi);
        return true;
    }
    if (p.Format == "List" || p.Format == "Value" || p.Format == "Corner") {
        for (const std::string& v : f) {
            double y;
            if (NumberText::parseDouble(v, y) && y == x)
                return true;
        }
        return f.empty();
    }
    return true;
}

std::vector<std::string> AmiParameterFile::choices(const AmiParameter& p)
{
    std::vector<std::string> out;
    if (p.Type != "Integer")
        return out;
    if (p.Format == "List") {
        for (const std::string& v : p.FormatValues) {
            long x;
            if (NumberText::parseLong(v, x))
                out.push_back(v);
        }
        return out;
    }
    if ((p.Format == "Range" || p.Format == "Increment") && p.FormatValues.size() >= 3) {
        long lo, hi, step = 1;
        if (!NumberText::parseLong(p.FormatValues[1], lo) || !NumberText::parseLong(p.FormatValues[2], hi))
            return out;
        if (p.Format == "Increment" && p.FormatValues.size() >= 4 &&
            (!NumberText::parseLong(p.FormatValues[3], step) || step <= 0))
            return out;
        if (hi < lo || (hi - lo) / step > 1000)
            return out;
        for (long v = lo; v <= hi; v += step)
            out.push_back(std::to_string(v));
    }
    return out;
}

bool AmiParameterFile::BuildParameterString(const std::vector<std::pair<std::string, std::string>>& overrides,
                                            std::string& out, std::string& error,
                                            std::vector<std::string>* notes) const
{
    std::vector<std::string> values;
    for (const AmiParameter& p : Parameters)
        values.push_back(p.Default);
    for (const std::pair<std::string, std::string>& o : overrides) {
        const AmiParameter* p = find(o.first);
        if (p == nullptr) {
            std::string known;
            for (const AmiParameter& q : Parameters)
                if (q.Sent)
                    known += (known.empty() ? "" : ", ") + q.Name;
            error = "unknown parameter '" + o.first + "' (parameters of " + RootName + ": " +
                    (known.empty() ? "none" : known) + ")";
            return false;
        }
        if (!p->Sent) {
            error = "parameter '" + o.first + "' has Usage " + p->Usage + " and is not sent to the model";
            return false;
        }
        if (!validValue(*p, o.second)) {
            error = "value '" + o.second + "' of " + p->Name + " is not " +
                    (p->Type == "Integer"   ? "an integer"
                     : p->Type == "Boolean" ? "True or False"
                                            : "a number");
            return false;
        }
        if (notes != nullptr && !allowedValue(*p, o.second))
            notes->push_back(p->Name + "=" + o.second + " lies outside the .ami file's " + p->Format +
                             "; passed to the model as given");
        values[static_cast<size_t>(p - Parameters.data())] = o.second;
    }
    // Parameters in file order, each branch opened where its first parameter
    // appears and holding all of its parameters.
    std::string s = "(" + RootName;
    std::vector<bool> done(Parameters.size(), false);
    bool first = true;
    for (size_t i = 0; i < Parameters.size(); ++i) {
        const AmiParameter& p = Parameters[i];
        if (done[i] || !p.Sent)
            continue;
        s += first ? " " : "";
        first = false;
        if (p.Branch.empty()) {
            s += "(" + p.Name + " " + quoteIfString(p, values[i]) + ")";
            done[i] = true;
            continue;
        }
        // Open the branch path of p and emit every parameter that shares it.
        std::string open, close;
        for (const std::string& b : p.Branch) {
            open += "(" + b + " ";
            close += ")";
        }
        s += open;
        for (size_t k = i; k < Parameters.size(); ++k) {
            if (!done[k] && Parameters[k].Sent && Parameters[k].Branch == p.Branch) {
                s += "(" + Parameters[k].Name + " " + quoteIfString(Parameters[k], values[k]) + ")";
                done[k] = true;
            }
        }
        s += close;
    }
    s += ")";
    out = s;
    return true;
}

}  // namespace amihost
