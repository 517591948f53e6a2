// The .reg preprocessor's variables: where a name's value comes from,
// $(NAME) expansion held to the load's expansion limit, and LOC_ strings.
#include <algorithm>
#include <cstdlib>

#include "regpreprocessor.h"
#include "regtext.h"

namespace host {

using namespace regtext;

namespace {

const int kMaxExpansionDepth = 16;
// $(NAME)s replaced in one line, and the longest line they may make: a
// value that names another twice, sixteen deep, would otherwise take
// 65,536 lookups or as many copies.
const size_t kMaxExpansions = 10000;
const size_t kMaxExpandedLine = size_t(1) << 20;

// Room for `capacity` bytes in s, exactly (a string's own reserve rounds up
// to twice what it had).
void GrowTo(std::string& s, size_t capacity)
{
    std::string grown;
    grown.reserve(capacity);
    grown.append(s);
    s.swap(grown);
}

}  // namespace

// The names being expanded and then `name`: "A -> B -> A".
std::string RegPreprocessor::Chain(const std::string& name) const
{
    std::string out;
    for (const std::string& n : expanding_)
        out += n + " -> ";
    return out + name;
}

// ---- Variables -----------------------------------------------------------------------

RegPreprocessor::Variable RegPreprocessor::LookupOutside(const std::string& name) const
{
    Variable v;
    for (const auto& [key, value] : options_.defines)
        if (SameNoCase(key, name)) {
            v.set = true;
            v.value = value;
            v.source = options_.definesLabel;
            v.kind = RegVariableUse::Given;
            v.label = options_.definesLabel;
            return v;
        }
    if (options_.environment) {
        const char* env = std::getenv(name.c_str());
        if (!env || !*env)
            env = std::getenv(Upper(name).c_str());
        // The build's environment has no empty variables: one is not set.
        if (env && *env) {
            v.set = true;
            v.value = env;
            v.source = "environment";
            v.kind = RegVariableUse::Environment;
        }
    }
    return v;
}

RegPreprocessor::Variable RegPreprocessor::Lookup(const std::string& name, const std::string& where)
{
    Variable v;
    auto d = defines_.find(Upper(name));
    if (d != defines_.end()) {
        v.set = true;
        v.value = d->second.first;
        v.source = "#define at " + d->second.second;
        v.kind = RegVariableUse::Defined;
        v.label = d->second.second;
    } else {
        v = LookupOutside(name);
    }
    // Each name once, in the order of first use: with its value once it has
    // one, else as not set.
    if (options_.report) {
        std::vector<RegVariableUse>& list = options_.report->variables;
        auto [at, fresh] = variableAt_.try_emplace(Upper(name), list.size());
        if (fresh)
            list.push_back(RegVariableUse{name, v.kind, v.value, v.label, v.set ? std::string() : where});
        else if (v.set && (list[at->second].source != v.kind || list[at->second].value != v.value ||
                           list[at->second].label != v.label))
            list[at->second] = RegVariableUse{name, v.kind, v.value, v.label, std::string()};
    }
    return v;
}

std::string RegPreprocessor::Expand(const std::string& text, const std::string& where, std::vector<std::string>* unset)
{
    std::string out;
    out.reserve(text.size());
    ExpandInto(text, out, where, unset, 0);
    added_ += out.size() - std::min(out.size(), text.size());
    return out;
}

size_t RegPreprocessor::ExpansionLeft() const
{
    const size_t limit = kRegExpansionFactor * bytesRead_ + kRegExpansionAllowance;
    return limit - std::min(limit, added_);
}

void RegPreprocessor::CheckExpansion(size_t more) const
{
    const size_t limit = kRegExpansionFactor * bytesRead_ + kRegExpansionAllowance;
    if (added_ + more > limit)
        throw RegLimitError{"expansion comes to more than " + std::to_string(limit) + " bytes: " +
                            std::to_string(kRegExpansionFactor) + " times the " + std::to_string(bytesRead_) +
                            " bytes read and " + std::to_string(kRegExpansionAllowance) + " (expansion limit)"};
}

void RegPreprocessor::ExpandInto(const std::string& text, std::string& out, const std::string& where,
                                 std::vector<std::string>* unset, int depth)
{
    if (depth == 0) {
        expansions_ = 0;
        expanding_.clear();
        lineStart_ = out.size();
        lineText_ = text.size();
    }
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (depth == 0 && !quoted && c == ';') {   // a comment is left alone
            out.append(text, i, std::string::npos);
            break;
        }
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && i + 1 < text.size()) {
            out += c;
            out += text[++i];
            continue;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '(') {
            const size_t close = text.find(')', i + 2);
            const std::string name = close == std::string::npos ? std::string() : text.substr(i + 2, close - i - 2);
            bool plain = !name.empty();
            for (char n : name)
                plain = plain && !IsSpace(n) && n != '(';
            if (plain) {
                Variable v = Lookup(name, where);
                if (!v.set) {
                    if (std::find(unset->begin(), unset->end(), name) == unset->end())
                        unset->push_back(name);
                    out.append(text, i, close - i + 1);
                } else {
                    // A name inside its own expansion is a loop; a chain
                    // without one may still be too deep.
                    const std::string upper = Upper(name);
                    if (std::find(expanding_.begin(), expanding_.end(), upper) != expanding_.end())
                        throw RegLineError{"$(" + name + ") to stop expanding (its value refers to itself: " +
                                           Chain(upper) + ")"};
                    if (depth >= kMaxExpansionDepth)
                        throw RegLimitError{"$(" + name + ") is a value inside values more than " +
                                            std::to_string(kMaxExpansionDepth) + " deep (" + Chain(upper) +
                                            "; limit " + std::to_string(kMaxExpansionDepth) + ")"};
                    if (++expansions_ > kMaxExpansions)
                        throw RegLimitError{"more than " + std::to_string(kMaxExpansions) +
                                            " $(NAME) replaced in one line (limit " + std::to_string(kMaxExpansions) + ")"};
                    // Held to the limits before the value is copied in, so
                    // that a line never grows past them.
                    if (out.size() + v.value.size() > kMaxExpandedLine)
                        throw RegLimitError{"$(" + name + ") makes the line longer than " +
                                            std::to_string(kMaxExpandedLine) + " bytes (limit)"};
                    const size_t made = out.size() - lineStart_ + v.value.size();
                    CheckExpansion(made > lineText_ ? made - lineText_ : 0);
                    // Room grows as a string's does, but never past what
                    // the limit lets the line come to.
                    const size_t need = out.size() + v.value.size();
                    if (out.capacity() < need)
                        GrowTo(out, std::max(need, std::min(2 * out.capacity(), lineStart_ + lineText_ + ExpansionLeft())));
                    expanding_.push_back(upper);
                    ExpandInto(v.value, out, where, unset, depth + 1);
                    expanding_.pop_back();
                }
                i = close;
                continue;
            }
        }
        out += c;
    }
}

// LOC_NAME placeholders in a value line, outside quotes and comments.
std::string RegPreprocessor::Localise(const std::string& text, const std::string& file, int line)
{
    const size_t first = SkipSpace(text, 0);
    if (first == text.size() || (text[first] != '"' && text[first] != '@') || text.find("LOC_") == std::string::npos)
        return text;
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!quoted && c == ';') {
            out += text.substr(i);
            break;
        }
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && i + 1 < text.size()) {
            out += c;
            out += text[++i];
            continue;
        } else if (!quoted && text.compare(i, 4, "LOC_") == 0 && (i == 0 || !IsWordChar(text[i - 1]))) {
            size_t end = i + 4;
            while (end < text.size() && IsWordChar(text[end]))
                ++end;
            const std::string name = text.substr(i, end - i);
            const std::string where = file + ":" + std::to_string(line);
            std::string value, source;
            auto s = strings_.find(Upper(name));
            if (s != strings_.end()) {
                value = s->second.first;
                source = s->second.second;
            } else if (Variable v = Lookup(name, where); v.set) {
                value = v.value;
                source = v.source;
            } else {
                if (!missingStrings_[Upper(name)])
                    Warn(where, name + " has no string (no string file or variable gives it): stored as the text " +
                                    name + "; the image build would stop here");
                missingStrings_[Upper(name)] = true;
                value = name;
                source.clear();
            }
            if (value.empty() || value[0] != '"') {
                std::string quotedValue = "\"";
                for (char v : value) {
                    if (v == '\\' || v == '"')
                        quotedValue += '\\';
                    quotedValue += v;
                }
                value = quotedValue + "\"";
            }
            if (!source.empty() && options_.report && !stringNoted_[Upper(name)])
                options_.report->strings.push_back(name + " from " + source);
            stringNoted_[Upper(name)] = true;
            // A string put in is expansion too, held to the same limit
            // before it is copied in.
            const size_t made = out.size() + value.size() + (text.size() - end);
            CheckExpansion(made > text.size() ? made - text.size() : 0);
            out += value;
            i = end - 1;
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace host
