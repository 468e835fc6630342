#pragma once

// A page script picks one value, as a rule the address of the next document to fetch, out
// of a page whose layout the program does not know. A script file holds named variables;
// each is a short list of instructions that move a cursor through the page, mark the
// start and end of the wanted part, or produce a value directly (a link's address, a
// form's submission string, the title, a constant, a formatted piece of text).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CPageScript {
public:
    enum Op : int32_t {
        kBegin = 0,
        kEnd = 1,
        kHtmlTag = 2,
        kIndex = 3,
        kJump = 4,
        kLink = 5,
        kNop = 6,
        kRepeat = 7,
        kReturn = 8,
        kScan = 9,
        kString = 10,
        kSubmit = 11,
        kTitle = 12,
        kFormat = 13,
        kComment = 14,
        kVariable = 15,
    };

    // Flag bits of an instruction.
    enum Flag : int32_t {
        kFlagExactCase = 0x0001,
        kFlagTrimSubmission = 0x0002,
        kFlagSkip = 0x0020,  // do not perform; mark and stop
        kFlagStop = 0x0040,  // after performing, mark and stop
        kFlagScanAtStart = 0x0080,
        kFlagTrimStart = 0x0100,
        kFlagTrimEnd = 0x0200,
        kFlagJumpBack = 0x0400,
        kFlagToText = 0x0800,
        kFlagAlternative = 0x1000,
        kFlagScanBack = 0x2000,
    };

    // The longest text argument kept; longer ones are cut (on a UTF-8 character boundary).
    static constexpr size_t kMaxText = 239;
    // The most searches and instructions one run may make: a huge Repeat count before a
    // search that keeps finding something ends here instead of holding the program.
    static constexpr int64_t kMaxSteps = 1000000;
    // Bytes of the page one run may search through: a search that starts over from far
    // away again and again (backwards, or an alternative that is never found) costs its
    // distance each time, and a run ends when the sum passes this.
    static constexpr int64_t kMaxSearched = 256LL * 1024 * 1024;
    // The largest script file read; a script is a few dozen lines.
    static constexpr int64_t kMaxFileSize = 4 * 1024 * 1024;

    struct Instruction {
        int32_t op = kBegin;
        int32_t flags = 0;
        std::string text;
        int32_t number = 0;
    };

    // Reads a script file and replaces the program (and forgets the scan memory). False
    // when the file cannot be read; the program is then empty and error() says why.
    bool Load(const std::string& path);
    // The same from text already in memory.
    void LoadText(std::string_view text);

    // Runs variable (its name compared without case) over page; index is what Index
    // gives. start and end receive the part of the page the run ended on. An empty result
    // when the variable is missing or the run finds nothing; error() then says why when
    // there is more to say than "nothing found" (a run stopped after too many steps).
    std::string Run(std::string_view page, std::string_view variable, int index = 1,
                    int64_t* start = nullptr, int64_t* end = nullptr);

    const std::vector<Instruction>& program() const { return program_; }
    // Why the last Load or Run gave nothing (a file that cannot be read, a variable the
    // script does not have, a run stopped at a bound); empty when the run simply found
    // nothing.
    const std::string& error() const { return error_; }
    // Searches the last run made (text, tag and link searches), for checking that a walk
    // down a list costs one search per item.
    int64_t searches() const { return searches_; }
    // The operation that ended the last run (kReturn when it ran to its end): a
    // submission string holds its "|" on purpose, the text of any other does not.
    int32_t endedBy() const { return endedBy_; }

private:
    struct ScanMemory {
        int32_t count = 0;
        int32_t op = -1;
        std::string text;
        int64_t before = -1;
        int64_t after = -1;
        // Which search and which page: a scan that differs in direction or case, or runs
        // over another page, cannot continue from where this one stopped.
        int32_t flags = 0;
        bool alternative = false;  // whether the last search set the alternative flag
        size_t pageSize = 0;
        size_t pageHash = 0;
    };

    std::vector<Instruction> program_;
    ScanMemory scanMemory_;
    std::string error_;
    int64_t searches_ = 0;
    int32_t endedBy_ = kReturn;
};
