// /proc/<pid>/cmdline buffers: split into arguments, and shown as the command
// column of ps. Properties: one argument per NUL-ended piece (and the last
// piece without its NUL); every argument is valid UTF-8, and unchanged when
// it already was; joining valid arguments with NULs gives the buffer back;
// the shown command is valid UTF-8 with no control character and no line
// break, and keeps a printable ASCII command line as it is.

#include <string>
#include <vector>

#include "FuzzCheck.hpp"
#include "Platform/linux/CommandText.hpp"
#include "Platform/linux/ProcFS.hpp"

namespace tracker {
namespace {

using fuzz::literal;
using fuzz::validUTF8;

bool hasControl(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

void checkShown(std::string_view cmdline, std::string_view comm, bool zombie) {
    std::string shown = CommandText::fromCmdline(cmdline, comm, zombie);
    FUZZ_CHECK(!shown.empty() && validUTF8(shown) && !hasControl(shown), literal(cmdline) + " -> " + literal(shown));
    if (cmdline.empty()) {
        FUZZ_CHECK(shown.front() == '[', literal(shown));
        FUZZ_CHECK(shown.ends_with(zombie ? "] <defunct>" : "]"), literal(shown));
        return;
    }
    // Printable ASCII arguments show as themselves, joined by blanks.
    bool plain = cmdline.size() < CommandText::cmdlineLimit;
    for (unsigned char c : cmdline) plain = plain && (c == 0 || (c >= 0x20 && c < 0x7F));
    if (plain) {
        std::string expected(cmdline);
        while (!expected.empty() && expected.back() == '\0') expected.pop_back();
        for (char& c : expected) {
            if (c == '\0') c = ' ';
        }
        if (expected.empty()) expected = "?";
        FUZZ_CHECK(shown == expected, literal(cmdline) + " -> " + literal(shown));
    }
    std::string escaped = CommandText::escaped(cmdline);
    FUZZ_CHECK(validUTF8(escaped) && !hasControl(escaped), literal(escaped));
}

void checkSplit(std::string_view cmdline) {
    std::vector<std::string> arguments = ProcFS::splitArguments(cmdline);
    std::size_t pieces = 0;
    for (std::size_t at = 0; at < cmdline.size(); ++pieces) {
        std::size_t end = cmdline.find('\0', at);
        at = end == std::string_view::npos ? cmdline.size() : end + 1;
    }
    FUZZ_CHECK(arguments.size() == pieces, literal(cmdline));
    std::string joined;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        FUZZ_CHECK(validUTF8(arguments[k]) && arguments[k].find('\0') == std::string::npos, literal(cmdline));
        joined += arguments[k];
        joined += '\0';
    }
    if (validUTF8(cmdline)) {
        // Valid text is never touched: the arguments give the buffer back.
        std::string original(cmdline);
        if (!original.empty() && original.back() != '\0') original += '\0';
        FUZZ_CHECK(joined == original, literal(cmdline));
    }
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    bool zombie = provider.ConsumeBool();
    std::string comm = provider.ConsumeRandomLengthString(16);
    std::string cmdline = provider.ConsumeRemainingBytesAsString();
    checkSplit(cmdline);
    checkShown(cmdline, comm, zombie);
    checkShown("", comm, zombie);
    return 0;
}
