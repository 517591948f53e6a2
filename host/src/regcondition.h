// The conditions of .reg files: #if expressions, and the words and
// operators of IF lines and @CESYSGEN conditions.  Host sources and their
// tests only; no state.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace host {

// A number as #if compares it: hexadecimal, with or without 0x, as the
// build's language identifiers are written (0409, 0C0A).  False for text.
bool ReadRegNumber(const std::string& text, unsigned long long* value);

// Looks a name up: true with its value when it is set.
using RegNameLookup = std::function<bool(const std::string& name, std::string* value)>;

// Evaluates an #if expression: numbers, names, quoted text, defined NAME /
// defined(NAME), !, ==, !=, &&, || and parentheses.  A defined name stands
// for its value and an undefined one for 0 (but for its own spelling in a
// comparison, so that $(KITL)==SERIAL compares words).  Throws RegLineError
// when it cannot.
bool EvaluateRegExpression(const std::string& text, const RegNameLookup& lookup);

// The words and operators of an IF line or an @CESYSGEN condition, read one
// at a time (a list of them would cost a string for each byte of "!!!!").
// `text` must outlive the reader.
class RegConditionTokens {
public:
    explicit RegConditionTokens(const std::string& text);
    bool AtEnd() const { return end_; }
    // The next token, "" at the end.
    const std::string& Peek() const { return current_; }
    // The next token, moving past it.
    std::string Take();

private:
    void Read();

    const std::string& text_;
    size_t pos_ = 0;
    std::string current_;
    bool end_ = true;
};

}  // namespace host
