// The .reg preprocessor's conditions: #if, IF and @CESYSGEN IF, and which
// components the image holds.
#include <sstream>

#include "regcondition.h"
#include "regpreprocessor.h"
#include "regtext.h"

namespace host {

using namespace regtext;

// ---- Conditions ----------------------------------------------------------------------

bool RegPreprocessor::HashCondition(const std::string& directive, const std::string& arg, const std::string& file,
                                    int line)
{
    const std::string where = file + ":" + std::to_string(line);
    if (directive != "if") {
        std::string name = arg.substr(0, arg.find_first_of(" \t"));
        if (name.empty())
            throw RegLineError{"a name after #" + directive};
        const bool defined = Lookup(name, where).set;
        return directive == "ifdef" ? defined : !defined;
    }
    std::vector<std::string> unset;
    const std::string expanded = Expand(arg, where, &unset);
    if (!unset.empty()) {
        Warn(where, "#if " + arg + ": $(" + Join(unset, "), $(") + ") not set; taken as false");
        return false;
    }
    try {
        return EvaluateRegExpression(expanded, [&](const std::string& name, std::string* value) {
            Variable v = Lookup(name, where);
            *value = v.value;
            return v.set;
        });
    } catch (const RegLineError& e) {
        Warn(where, "cannot evaluate #if " + arg + " (expected " + e.expected + "); taken as false");
        return false;
    }
}

// NAME [=|==|!= VALUE] [!], joined by || or &&.
bool RegPreprocessor::BuildCondition(const std::string& text, const std::string& file, int line)
{
    const std::string where = file + ":" + std::to_string(line);
    RegConditionTokens t(text);
    bool joined = false;
    auto isOp = [](const std::string& s) { return s == "||" || s == "&&" || s == "=" || s == "==" || s == "!=" || s == "!"; };
    auto term = [&]() {
        if (t.AtEnd() || isOp(t.Peek()))
            throw RegLineError{"a variable after IF"};
        const std::string name = t.Take();
        bool result;
        const Variable v = Lookup(name, where);
        if (t.Peek() == "=" || t.Peek() == "==" || t.Peek() == "!=") {
            const bool differ = t.Take() == "!=";
            if (t.AtEnd() || isOp(t.Peek()))
                throw RegLineError{"a value after IF " + name + " ="};
            const std::string value = t.Take();
            const bool equal = v.set && SameNoCase(v.value, value);
            result = differ ? !equal : equal;
        } else {
            result = v.set;
        }
        if (t.Peek() == "!") {
            t.Take();
            result = !result;
        }
        return result;
    };
    auto all = [&]() {
        bool result = term();
        while (t.Peek() == "&&") {
            t.Take();
            joined = true;
            bool next = term();
            result = result && next;
        }
        return result;
    };
    bool result = all();
    while (t.Peek() == "||") {
        t.Take();
        joined = true;
        bool next = all();
        result = result || next;
    }
    if (!t.AtEnd())
        throw RegLineError{"IF NAME, IF NAME = VALUE or either followed by !"};
    if (joined)
        Warn(where, "IF " + text + ": the image build documents one variable per IF (#if defined A || defined B "
                    "joins them); read here as written");
    return result;
}

// [!]COMPONENT joined by ||, OR, && or AND (AND first).
bool RegPreprocessor::SysgenCondition(const std::string& text, const std::string& where)
{
    RegConditionTokens t(text);
    auto isOr = [&] { return t.Peek() == "||" || Upper(t.Peek()) == "OR"; };
    auto isAnd = [&] { return t.Peek() == "&&" || Upper(t.Peek()) == "AND"; };
    // Any number of ! before a component, counted rather than recursed.
    // One after it ("PM_PMSTUBS !", as IF NAME ! is written) is read as
    // turning it round too, with a warning.
    auto unary = [&]() -> bool {
        bool negate = false;
        for (; t.Peek() == "!"; t.Take())
            negate = !negate;
        const std::string& p = t.Peek();
        if (t.AtEnd() || p == "||" || p == "&&" || p == "=" || p == "==" || p == "!=")
            throw RegLineError{"a component after @CESYSGEN IF"};
        const std::string component = t.Take();
        bool in = InImage(component, where);
        if (t.Peek() == "!") {
            t.Take();
            negate = !negate;
            Warn(where, "@CESYSGEN IF " + text + ": the ! after " + component +
                            " is read as turning it round, as IF NAME ! does (the build documents !" + component +
                            ")");
        }
        return negate ? !in : in;
    };
    auto all = [&]() {
        bool result = unary();
        while (isAnd()) {
            t.Take();
            bool next = unary();
            result = result && next;
        }
        return result;
    };
    bool result = all();
    while (isOr()) {
        t.Take();
        bool next = all();
        result = result || next;
    }
    if (!t.AtEnd())
        throw RegLineError{"@CESYSGEN IF COMPONENT, joined by || or &&"};
    return result;
}

bool RegPreprocessor::InImage(const std::string& component, const std::string& where)
{
    const std::string name = Upper(component);
    auto known = components_.find(name);
    if (known != components_.end())
        return known->second;
    bool in = false, assumed = false;
    std::string why;
    // The filter runs before the merge: only variables from outside count.
    Variable v = LookupOutside(name);
    if (v.set) {
        in = Trim(v.value) != "0";
        why = v.source;
    } else {
        const size_t modules = name.find("_MODULES_");
        const size_t underscore = name.find('_');
        std::string list, item;
        if (modules != std::string::npos) {
            list = name.substr(0, modules) + "_MODULES";
            item = name.substr(modules + 9);
        } else if (underscore != std::string::npos && underscore > 0) {
            list = name.substr(0, underscore) + "_COMPONENTS";
            item = name.substr(underscore + 1);
        }
        Variable l = list.empty() ? Variable() : LookupOutside(list);
        if (l.set) {
            std::istringstream words(l.value);
            std::string word;
            while (words >> word)
                in = in || SameNoCase(word, item);
            why = (in ? "listed in " : "not listed in ") + list + " (" + l.source + ")";
        } else {
            // A board's files name the components its image is built with.
            in = true;
            why = "assumed: not given; first at " + where;
            assumed = true;
            assumed_.emplace_back(name, where);
        }
    }
    components_[name] = in;
    if (options_.report)
        options_.report->components.push_back(RegComponentChoice{name, in, assumed, why});
    return in;
}

void RegPreprocessor::Finish()
{
    if (assumed_.empty())
        return;
    std::vector<std::string> names;
    for (const auto& a : assumed_)
        names.push_back(a.first);
    Warn(assumed_.front().second,
         "@CESYSGEN: " + std::to_string(names.size()) + " component" + (names.size() == 1 ? "" : "s") +
             " not given, taken as in the image: " + Join(names, ", ") +
             " (NAME=0 as a variable takes one out; a list such as CE_MODULES names the image's modules)");
}

}  // namespace host
