// What the .reg preprocessor hands the .reg parser, and the error both
// throw.  Host sources and their tests only.
#pragma once

#include <string>
#include <vector>

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

// The warnings of one load, "file:line: ..." each, into the caller's list.
// A load lists at most kRegMaxWarnings of them and then how many more there
// were, so that a file of many small lines each warned about cannot make the
// list many times larger than the file.
const size_t kRegMaxWarnings = 200;
class RegWarnings {
public:
    explicit RegWarnings(std::vector<std::string>* list) : list_(list) {}

    void Add(std::string text)
    {
        if (!list_)
            return;
        if (listed_ < kRegMaxWarnings) {
            list_->push_back(std::move(text));
            ++listed_;
        } else {
            ++dropped_;
        }
    }

    // Where the list stands, to go back to when a statement is read again.
    struct Mark {
        size_t size, listed, dropped;
    };
    Mark Here() const { return Mark{list_ ? list_->size() : 0, listed_, dropped_}; }
    void Back(const Mark& m)
    {
        if (list_)
            list_->resize(m.size);
        listed_ = m.listed;
        dropped_ = m.dropped;
    }

    // After the load: how many were not listed.
    void Close()
    {
        if (list_ && dropped_)
            list_->push_back(std::to_string(dropped_) + " more warning" + (dropped_ == 1 ? "" : "s") +
                             " not listed (a load lists its first " + std::to_string(kRegMaxWarnings) + ")");
        dropped_ = 0;
    }

private:
    std::vector<std::string>* list_;
    size_t listed_ = 0;
    size_t dropped_ = 0;
};

// How deep parentheses and blocks of conditions may nest.
const int kRegMaxNesting = 256;

}  // namespace host
