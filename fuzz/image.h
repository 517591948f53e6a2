// The driver library's writable image (.data and .bss), saved once after
// loading and put back before each input, so that every input meets the
// driver exactly as a fresh load leaves it without unloading it.
//
// Why not unload and load per input: the fuzzer keeps pointers to the
// coverage counters of every instrumented module it has seen, so an unloaded
// driver leaves it reading unmapped memory, and every load adds a module to
// its fixed table.  Loading costs far more than the input itself, too.  The
// driver keeps all of its state in its globals (the contexts and packets it
// allocates are accounted for by the host and checked empty after each
// input), so putting .data and .bss back is a fresh load as far as the
// driver can tell.  The coverage counters live in a section of their own and
// are not touched.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/driverlibrary.h"

namespace fuzzing {

class DriverImage {
public:
    // Finds .data and .bss of the library that holds `symbolInLibrary` and
    // saves them.  False with *error set when they cannot be found.
    bool Capture(const void* symbolInLibrary, std::string* error);
    // Writes the saved bytes back.  No driver code may run meanwhile.
    void Restore() const;
    size_t Bytes() const;

private:
    struct Region {
        uint8_t* address;
        std::vector<uint8_t> saved;
    };
    std::vector<Region> regions_;
};

// A fuzz target's start: loads the driver at `path` through the host's
// loader and captures its image into *image.  Either failing ends the
// process with exit 2 and a message that names `target`.
std::unique_ptr<host::DriverModule> LoadDriverWithImage(const char* target, const char* path, DriverImage* image);

// Whether BTWAV_FUZZ_TRACE=1 asks for each input's steps to be printed.
bool TraceRequested();

}  // namespace fuzzing
