// The KERN_PROCARGS2 buffer reader. Properties: whatever it returns is valid
// UTF-8 made of no more arguments than the count announces; a buffer made
// from a known count, path, padding, arguments and environment reads back as
// exactly the arguments the count covers, joined by blanks.

#include <cstring>
#include <string>
#include <vector>

#include "Core/ProcessAncestry.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

using fuzz::literal;

std::string countBytes(std::int32_t count) {
    std::string bytes(sizeof count, '\0');
    std::memcpy(bytes.data(), &count, sizeof count);
    return bytes;
}

void checkAny(std::string_view buffer) {
    auto joined = ProcessAncestry::parseProcArgs2(buffer);
    if (!joined) return;
    FUZZ_CHECK(fuzz::validUTF8(*joined) && joined->find('\0') == std::string::npos, literal(buffer));
    std::int32_t count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    FUZZ_CHECK(count >= 1, literal(buffer));
}

// A word of printable ASCII, never empty (an empty one would read as padding).
std::string word(FuzzedDataProvider& provider, std::size_t most) {
    std::string text = provider.ConsumeRandomLengthString(most);
    for (char& c : text) c = static_cast<char>(0x20 + (static_cast<unsigned char>(c) % 0x5F));
    return text.empty() ? std::string("w") : text;
}

void checkMade(FuzzedDataProvider& provider) {
    std::int32_t count = provider.ConsumeIntegralInRange<std::int32_t>(-1, 8);
    std::string path = word(provider, 20);
    std::size_t padding = provider.ConsumeIntegralInRange<std::size_t>(1, 9);
    // The arguments, then the environment: the count says where the first end.
    std::vector<std::string> items;
    for (int k = provider.ConsumeIntegralInRange<int>(0, 8); k > 0; --k) items.push_back(word(provider, 12));
    bool lastCut = provider.ConsumeBool();

    std::string buffer = countBytes(count) + path + std::string(padding, '\0');
    for (const auto& item : items) buffer += item + '\0';
    std::vector<std::string> complete = items;
    if (lastCut && !items.empty()) {
        buffer.pop_back();  // the last string has lost its NUL
        complete.pop_back();
    }
    std::string expected;
    for (std::size_t k = 0; k < complete.size() && static_cast<std::int32_t>(k) < count; ++k) {
        expected += (k ? " " : "") + complete[k];
    }
    checkAny(buffer);
    auto joined = ProcessAncestry::parseProcArgs2(buffer);
    if (count < 1 || expected.empty()) {
        FUZZ_CHECK(!joined, literal(buffer) + " -> " + literal(joined.value_or("")));
    } else {
        FUZZ_CHECK(joined == expected, literal(buffer) + " -> " + literal(joined.value_or("<none>")));
    }
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    if (provider.ConsumeBool()) {
        checkAny(provider.ConsumeRemainingBytesAsString());
    } else {
        checkMade(provider);
    }
    return 0;
}
