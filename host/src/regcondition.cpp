// The conditions of .reg files.
#include "regcondition.h"

#include <cctype>
#include <cstring>

#include "reglines.h"
#include "regtext.h"

namespace host {

using namespace regtext;

bool ReadRegNumber(const std::string& text, unsigned long long* value)
{
    std::string t = Trim(text);
    size_t start = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        start = 2;
    else if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0])))
        return false;
    if (t.size() - start > 16)
        return false;
    unsigned long long v = 0;
    for (size_t i = start; i < t.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(t[i])))
            return false;
        v = v * 16 + static_cast<unsigned long long>(std::isdigit(static_cast<unsigned char>(t[i]))
                                                        ? t[i] - '0'
                                                        : std::toupper(static_cast<unsigned char>(t[i])) - 'A' + 10);
    }
    *value = v;
    return true;
}

namespace {

// Evaluates an #if expression: numbers, names, quoted text, defined NAME /
// defined(NAME), !, ==, !=, &&, || and parentheses.  A defined name stands
// for its value and an undefined one for 0 (but for its own spelling in a
// comparison, so that $(KITL)==SERIAL compares words).  Throws RegLineError
// when it cannot.
class Expression {
public:
    // Looks a name up: true with its value when it is set.
    using Lookup = RegNameLookup;

    Expression(const std::string& text, Lookup lookup) : s_(text), lookup_(std::move(lookup)) {}

    bool Evaluate()
    {
        Operand v = Or();
        pos_ = SkipSpace(s_, pos_);
        if (pos_ != s_.size())
            throw RegLineError{"an operator"};
        return Truth(v);
    }

private:
    struct Operand {
        bool undefined = false;   // a name that is not set
        std::string text;         // its value, or the undefined name's spelling
    };

    static Operand Bool(bool b) { return Operand{false, b ? "1" : "0"}; }

    static bool Truth(const Operand& v)
    {
        if (v.undefined)
            return false;
        unsigned long long n = 0;
        if (ReadRegNumber(v.text, &n))
            return n != 0;
        return true;   // text, or a name defined as nothing
    }

    static bool Equal(const Operand& a, const Operand& b)
    {
        unsigned long long x = 0, y = 0;
        if (ReadRegNumber(a.text, &x) && ReadRegNumber(b.text, &y))
            return x == y;
        return SameNoCase(Trim(a.text), Trim(b.text));
    }

    bool Take(const char* op)
    {
        pos_ = SkipSpace(s_, pos_);
        size_t n = std::strlen(op);
        if (s_.compare(pos_, n, op) != 0)
            return false;
        pos_ += n;
        return true;
    }

    Operand Or()
    {
        Operand v = And();
        while (Take("||")) {
            Operand r = And();
            v = Bool(Truth(v) || Truth(r));
        }
        return v;
    }

    Operand And()
    {
        Operand v = Equality();
        while (Take("&&")) {
            Operand r = Equality();
            v = Bool(Truth(v) && Truth(r));
        }
        return v;
    }

    Operand Equality()
    {
        Operand v = Unary();
        for (;;) {
            if (Take("=="))
                v = Bool(Equal(v, Unary()));
            else if (Take("!="))
                v = Bool(!Equal(v, Unary()));
            else
                return v;
        }
    }

    // Any number of ! are counted, not recursed into; parentheses recurse,
    // kRegMaxNesting deep at most.
    Operand Unary()
    {
        bool negate = false, any = false;
        while (Take("!")) {
            negate = !negate;
            any = true;
        }
        Operand v = Primary();
        return any ? Bool(negate != Truth(v)) : v;
    }

    Operand Primary()
    {
        if (Take("(")) {
            if (++depth_ > kRegMaxNesting)
                throw RegLimitError{"nested too deep (limit " + std::to_string(kRegMaxNesting) + ")"};
            Operand v = Or();
            if (!Take(")"))
                throw RegLineError{")"};
            --depth_;
            return v;
        }
        pos_ = SkipSpace(s_, pos_);
        if (pos_ < s_.size() && s_[pos_] == '"') {
            size_t close = s_.find('"', pos_ + 1);
            if (close == std::string::npos)
                throw RegLineError{"\" to close the text"};
            Operand v{false, s_.substr(pos_ + 1, close - pos_ - 1)};
            pos_ = close + 1;
            return v;
        }
        std::string word = Word();
        if (word.empty())
            throw RegLineError{"a name or a number"};
        if (word == "defined") {
            bool paren = Take("(");
            std::string name = Word();
            if (name.empty() || (paren && !Take(")")))
                throw RegLineError{"defined(NAME)"};
            std::string value;
            return Bool(lookup_(name, &value));
        }
        if (std::isdigit(static_cast<unsigned char>(word[0])))
            return Operand{false, word};
        std::string value;
        if (!lookup_(word, &value))
            return Operand{true, word};
        return Operand{false, value};
    }

    std::string Word()
    {
        pos_ = SkipSpace(s_, pos_);
        size_t start = pos_;
        while (pos_ < s_.size() && IsWordChar(s_[pos_]))
            ++pos_;
        return s_.substr(start, pos_ - start);
    }

    const std::string& s_;
    Lookup lookup_;
    size_t pos_ = 0;
    int depth_ = 0;   // parentheses open
};

}  // namespace

bool EvaluateRegExpression(const std::string& text, const RegNameLookup& lookup)
{
    return Expression(text, lookup).Evaluate();
}

RegConditionTokens::RegConditionTokens(const std::string& text) : text_(text)
{
    Read();
}

std::string RegConditionTokens::Take()
{
    std::string token = std::move(current_);
    Read();
    return token;
}

void RegConditionTokens::Read()
{
    current_.clear();
    pos_ = SkipSpace(text_, pos_);
    end_ = pos_ >= text_.size();
    if (end_)
        return;
    for (const char* op : {"||", "&&", "==", "!=", "=", "!"}) {
        const size_t n = std::strlen(op);
        if (text_.compare(pos_, n, op) == 0) {
            current_ = op;
            pos_ += n;
            return;
        }
    }
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_]) && !std::strchr("=!|&", text_[pos_]))
        ++pos_;
    if (pos_ == start)   // a lone | or &
        ++pos_;
    current_.assign(text_, start, pos_ - start);
}

}  // namespace host
