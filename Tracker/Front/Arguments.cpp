#include "Front/Arguments.hpp"

namespace tracker::Front {

bool Arguments::flag(const std::string& name) {
    if (empty() || peek() != name) return false;
    ++next_;
    return true;
}

std::optional<std::string> Arguments::value(const std::string& name) {
    if (empty()) return std::nullopt;
    const std::string& word = peek();
    std::string value;
    if (word == name) {
        if (next_ + 1 >= words_.size()) throw UsageError(name + " needs a value");
        value = words_[next_ + 1];
        next_ += 2;
    } else if (word.size() > name.size() && word.compare(0, name.size(), name) == 0 && word[name.size()] == '=') {
        value = word.substr(name.size() + 1);
        ++next_;
    } else {
        return std::nullopt;
    }
    if (value.empty()) throw UsageError(name + " needs a value");
    return value;
}

void Arguments::reject() const {
    const std::string& word = peek();
    if (!word.empty() && word[0] == '-') throw UsageError("unknown option: " + word);
    throw UsageError("unexpected argument: " + word);
}

}  // namespace tracker::Front
