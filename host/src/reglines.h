// What the .reg preprocessor hands the .reg parser, and the error both
// throw.  Host sources and their tests only.
#pragma once

#include <string>

namespace host {

// A line that counts, after the build's preprocessing, with where it came
// from.  `file` points into the preprocessor, which outlives the lines.
struct RegLine {
    const std::string* file;
    int line;
    std::string text;
};

// Stops a load: "file:line: " and the message ("expected ..." for a syntax
// error, "#error ..." for a file that stops the build itself), or "file: "
// and the message for a file that cannot be read (line 0).
struct RegError {
    std::string file;
    int line;
    std::string message;

    std::string Text() const
    {
        return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
    }
};

// Thrown where only the line's text is known; the caller adds the place.
struct RegLineError {
    std::string expected;
};

// A limit the line goes past ("nested too deep (limit 256)"); stops the
// load with the place added, where RegLineError in a condition would only
// make it false.
struct RegLimitError {
    std::string message;
};

// How deep parentheses and blocks of conditions may nest.
const int kRegMaxNesting = 256;

}  // namespace host
